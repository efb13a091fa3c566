// Module initialisation: single-phase, one module object per process.
#include <atomic>
#include <cstdint>

#include "binding/panic.hpp"
#include "binding/pellux_type.hpp"

namespace pellux::binding {
namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // set once, never freed

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "pellux",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds Pellux to the module and to its __all__.
bool init_body(PyObject* module) {
    PyObject* type = pellux_type();
    if (type == nullptr) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return false;
        if (PyObject_SetAttrString(module, "__all__", all) != 0) {
            Py_DECREF(all);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "'__all__' of the module is not a list");
        return false;
    }
    PyObject* name = PyUnicode_FromString("Pellux");
    if (name == nullptr || PyList_Append(all, name) != 0) {
        Py_XDECREF(name);
        Py_DECREF(all);
        PyErr_Clear();
        raise_panic("pellux module init", "could not append __name__ to __all__");
        return false;
    }
    Py_DECREF(name);
    Py_DECREF(all);
    return PyObject_SetAttrString(module, "Pellux", type) == 0;
}

PyObject* init_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    PyObject* module = PyModule_Create2(&kModuleDef, 1013);
    if (module == nullptr) return nullptr;
    if (!init_body(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    g_module = module;  // the slot keeps this reference for the life of the process
    return Py_NewRef(module);
}

}  // namespace
}  // namespace pellux::binding

PyMODINIT_FUNC PyInit_pellux(void) {
    return pellux::binding::at_boundary("PyInit_pellux", [] { return pellux::binding::init_module(); });
}
