// Argument parsing and conversion for the Pellux class.
//
// The parser only sorts borrowed references into slots; it never allocates on
// the success path, so the common call costs a few comparisons. Conversions
// run the caller's Python code (__index__, __len__, __iter__, __bool__), so
// every step checks for a pending error before it goes on.
#include "binding/args.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace pellux::binding {
namespace {

// Attribute names looked up on every refused argument or numpy flag. They
// are interned once and kept for the life of the process; a failed attempt is
// retried on the next use rather than remembered.
PyObject* interned(PyObject*& cache, const char* text) {
    if (cache == nullptr) cache = PyUnicode_InternFromString(text);
    return cache;
}

PyObject* qualname_key() {
    static PyObject* key = nullptr;
    return interned(key, "__qualname__");
}

PyObject* module_key() {
    static PyObject* key = nullptr;
    return interned(key, "__module__");
}

PyObject* name_key() {
    static PyObject* key = nullptr;
    return interned(key, "__name__");
}

// ---------------------------------------------------------------------------
// Parser

bool raise_too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (desc.required == desc.parameter_count) {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given",
                     desc.class_name, desc.function_name, desc.parameter_count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s.%s() takes from %zu to %zu positional arguments but %zd %s given",
                     desc.class_name, desc.function_name, desc.required, desc.parameter_count,
                     given, verb);
    }
    return false;
}

// Lists every required parameter still without a value, in declaration
// order: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
bool raise_missing_required(const FunctionDescription& desc, PyObject* const* slots) {
    try {
        std::size_t missing = 0;
        for (std::size_t i = 0; i < desc.required; ++i) {
            if (slots[i] == nullptr) ++missing;
        }
        std::string names;
        std::size_t listed = 0;
        for (std::size_t i = 0; i < desc.required; ++i) {
            if (slots[i] != nullptr) continue;
            if (listed > 0) {
                if (missing > 2) names += ",";
                names += " ";
                if (listed + 1 == missing) names += "and ";
            }
            names.append("'").append(desc.parameters[i]).append("'");
            ++listed;
        }
        PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s",
                     desc.class_name, desc.function_name, missing,
                     missing == 1 ? "argument" : "arguments", names.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

// Puts one keyword argument into its slot. The interpreter guarantees
// string keys for ordinary calls; anything else is refused like it would be.
bool assign_keyword(const FunctionDescription& desc, PyObject* key, PyObject* value,
                    PyObject** slots) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s.%s() keywords must be strings", desc.class_name,
                     desc.function_name);
        return false;
    }
    for (std::size_t i = 0; i < desc.parameter_count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, desc.parameters[i]) != 0) continue;
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'",
                         desc.class_name, desc.function_name, desc.parameters[i]);
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'",
                 desc.class_name, desc.function_name, key);
    return false;
}

bool assign_positional(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                       PyObject** slots) {
    for (std::size_t i = 0; i < desc.parameter_count; ++i) slots[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > desc.parameter_count) {
        return raise_too_many_positional(desc, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    return true;
}

bool check_required(const FunctionDescription& desc, Py_ssize_t nargs, PyObject* const* slots) {
    if (static_cast<std::size_t>(nargs) >= desc.required) return true;
    for (std::size_t i = static_cast<std::size_t>(nargs); i < desc.required; ++i) {
        if (slots[i] == nullptr) return raise_missing_required(desc, slots);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Errors of conversions

// "'list' object cannot be cast as 'str'". The type's __qualname__ is read
// the way Python code would read it, so a metaclass can still interfere; a
// failure there must not hide the real complaint, hence the stand-in.
bool raise_cast_error(PyObject* obj, const char* target) {
    PyObject* qualname = nullptr;
    if (PyObject* key = qualname_key()) {
        qualname = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), key);
    }
    if (qualname != nullptr && !PyUnicode_Check(qualname)) Py_CLEAR(qualname);
    if (qualname == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "'<failed to extract type name>' object cannot be cast as '%s'", target);
        return false;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname, target);
    Py_DECREF(qualname);
    return false;
}

// Takes the pending exception out of the thread state, normalized.
PyObject* take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Puts an exception taken by take_pending_exception back unchanged.
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// Called with a conversion's error pending. A plain TypeError is replaced by
// one that names the argument, keeping the original's cause; every other
// exception (OverflowError, UnicodeEncodeError, whatever the caller's
// __index__ or __iter__ raised, TypeError subclasses included) goes on as is.
// Always returns false so conversions can end with `return name_error(...)`.
bool name_error(const char* name) {
    // The type check on the raw pending type saves normalizing errors that
    // pass through anyway.
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr || pending != PyExc_TypeError) return false;

    PyObject* original = take_pending_exception();
    if (original == nullptr) return false;
    if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        // Normalization itself failed and left a different error.
        restore_exception(original);
        return false;
    }

    PyObject* message = PyObject_Str(original);
    PyObject* renamed = nullptr;
    if (message != nullptr) {
        renamed = PyUnicode_FromFormat("argument '%s': %U", name, message);
        Py_DECREF(message);
    } else {
        PyErr_Clear();
        renamed = PyUnicode_FromFormat("argument '%s': <exception str() failed>", name);
    }
    if (renamed == nullptr) {
        Py_DECREF(original);
        return false;
    }
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, renamed);
    Py_DECREF(renamed);
    if (replacement == nullptr) {
        Py_DECREF(original);
        return false;
    }
    // SetCause steals the (possibly null) reference GetCause handed out.
    PyException_SetCause(replacement, PyException_GetCause(original));
    Py_DECREF(original);
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
    return false;
}

// ---------------------------------------------------------------------------
// Conversions without the argument name; the public forms add it.

bool extract_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return raise_cast_error(obj, "str");
    Py_ssize_t size = 0;
    // For ASCII strings this is the string's own storage; otherwise the
    // interpreter caches the encoding in the object. Either way the only copy
    // made here is the one into `out`.
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    try {
        out.assign(data, static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// True when `attr` of `type` is a str equal to one of the given ASCII names.
// A failing lookup simply means "no": the caller then refuses the object
// with the cast error, which is the more useful message.
bool type_attr_is(PyObject* type, PyObject* key, const char* first, const char* second) {
    if (key == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* value = PyObject_GetAttr(type, key);
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool match = PyUnicode_Check(value) &&
                 (PyUnicode_CompareWithASCIIString(value, first) == 0 ||
                  (second != nullptr && PyUnicode_CompareWithASCIIString(value, second) == 0));
    Py_DECREF(value);
    return match;
}

// numpy's boolean scalars are not bool subclasses, yet an agent computing a
// flag with numpy naturally hands one over. They are recognised by name, so
// numpy need not be importable, and asked for their truth through the type's
// own slot, never through a generic truth test that would accept 0 or [].
bool extract_flag(PyObject* obj, bool& out) {
    if (obj == Py_True) {
        out = true;
        return true;
    }
    if (obj == Py_False) {
        out = false;
        return true;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (!type_attr_is(type, module_key(), "numpy", nullptr) ||
        !type_attr_is(type, name_key(), "bool_", "bool")) {
        return raise_cast_error(obj, "bool");
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     type);
        return false;
    }
    int truth = number->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool extract_u64(PyObject* obj, std::uint64_t& out) {
    unsigned long long value = 0;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyObject* index = PyNumber_Index(obj);
        if (index == nullptr) return false;
        value = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool extract_u32(PyObject* obj, std::uint32_t& out) {
    std::uint64_t wide = 0;
    if (!extract_u64(obj, wide)) return false;
    if (wide > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

// The reported length only sizes the first allocation. A __len__ may claim
// anything, so the reservation is bounded; the items iteration yields are
// what counts, and the vector grows past the bound as needed.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

bool extract_text_list(PyObject* obj, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj)) {
        // A str is a sequence of one-character strings: accepting it would
        // silently turn "$ " into the markers "$" and " ".
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) return raise_cast_error(obj, "Sequence");

    std::vector<std::string> items;
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    try {
        items.reserve(static_cast<std::size_t>(hint < kMaxReservedItems ? hint : kMaxReservedItems));
    } catch (const std::bad_alloc&) {
        // Only a hint: carry on and let the vector grow.
    }

    PyObject* iterator = PyObject_GetIter(obj);
    if (iterator == nullptr) return false;
    bool ok = true;
    while (PyObject* item = PyIter_Next(iterator)) {
        std::string text;
        ok = extract_text(item, text);
        Py_DECREF(item);
        if (!ok) break;
        try {
            items.push_back(std::move(text));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            ok = false;
            break;
        }
    }
    Py_DECREF(iterator);
    if (!ok || PyErr_Occurred()) return false;
    out = std::move(items);
    return true;
}

bool is_absent(PyObject* slot) { return slot == nullptr || slot == Py_None; }

}  // namespace

// ---------------------------------------------------------------------------
// Parsing

bool parse_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    // The interpreter strips the offset flag for METH_FASTCALL, but masking it
    // costs nothing and keeps a vectorcall caller from miscounting.
    nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    if (!assign_positional(desc, args, nargs, slots)) return false;
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!assign_keyword(desc, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
                return false;
            }
        }
    }
    return check_required(desc, nargs, slots);
}

bool parse_tuple(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                 PyObject** slots) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!assign_positional(desc, PySequence_Fast_ITEMS(args), nargs, slots)) return false;
    if (kwargs != nullptr) {
        // Dictionaries keep insertion order, which is the order of the call.
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!assign_keyword(desc, key, value, slots)) return false;
        }
    }
    return check_required(desc, nargs, slots);
}

// ---------------------------------------------------------------------------
// Conversions

bool convert_text(PyObject* obj, const char* name, std::string& out) {
    return extract_text(obj, out) || name_error(name);
}

bool convert_flag(PyObject* obj, const char* name, bool& out) {
    return extract_flag(obj, out) || name_error(name);
}

bool convert_text_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
    return extract_text_list(obj, out) || name_error(name);
}

bool convert_optional_u64(PyObject* slot, const char* name, std::optional<std::uint64_t>& out) {
    if (is_absent(slot)) {
        out.reset();
        return true;
    }
    std::uint64_t value = 0;
    if (!extract_u64(slot, value)) return name_error(name);
    out = value;
    return true;
}

bool convert_optional_u32(PyObject* slot, const char* name, std::optional<std::uint32_t>& out) {
    if (is_absent(slot)) {
        out.reset();
        return true;
    }
    std::uint32_t value = 0;
    if (!extract_u32(slot, value)) return name_error(name);
    out = value;
    return true;
}

bool convert_optional_text_list(PyObject* slot, const char* name,
                                std::optional<std::vector<std::string>>& out) {
    if (is_absent(slot)) {
        out.reset();
        return true;
    }
    std::vector<std::string> items;
    if (!extract_text_list(slot, items)) return name_error(name);
    out = std::move(items);
    return true;
}

}  // namespace pellux::binding
