// The Pellux class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pellux::binding {

// The class object, created on first use. Borrowed reference, or null with
// an error set.
PyObject* pellux_type();

}  // namespace pellux::binding
