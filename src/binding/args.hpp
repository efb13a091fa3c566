// Argument parsing and conversion for the Pellux class.
//
// Every function here runs on the calling thread with the interpreter lock
// held. Each returns false with a Python exception set on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pellux::binding {

// One constant record per callable that takes arguments. Every parameter may
// be given by position or by keyword; the first `required` are required.
struct FunctionDescription {
    const char* class_name;      // always "Pellux"
    const char* function_name;   // "__new__", "read_available", ...
    const char* const* parameters;
    std::size_t parameter_count;
    std::size_t required;
};

// Fills `slots` (parameter_count entries, borrowed references, nullptr when
// not given) from a vectorcall-style argument list.
bool parse_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Same, from an argument tuple and an optional keyword dict (tp_new).
bool parse_tuple(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                 PyObject** slots);

// Conversions. `name` is the parameter name used in the "argument '...': "
// prefix of TypeErrors. The optional forms treat a null slot and None alike.
bool convert_text(PyObject* obj, const char* name, std::string& out);
bool convert_flag(PyObject* obj, const char* name, bool& out);
bool convert_text_list(PyObject* obj, const char* name, std::vector<std::string>& out);
bool convert_optional_u64(PyObject* slot, const char* name, std::optional<std::uint64_t>& out);
bool convert_optional_u32(PyObject* slot, const char* name, std::optional<std::uint32_t>& out);
bool convert_optional_text_list(PyObject* slot, const char* name,
                                std::optional<std::vector<std::string>>& out);

}  // namespace pellux::binding
