// Internal failures at the Python boundary.
//
// The core signals an unrecoverable condition by throwing InternalFailure;
// every entry point runs its body through at_boundary, which turns that (or
// any other C++ exception) into PanicException, so no C++ exception ever
// crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "binding_support/python_support.hpp"
#include "session/result.hpp"

namespace pellux::binding {

// PanicException ("pyo3_runtime.PanicException", derived from BaseException),
// created on first use. Borrowed reference, or null with an error set.
PyObject* panic_type();

// Reports the failure on standard error, then raises PanicException with
// `message`. Interpreter lock held.
void raise_panic(const char* place, const std::string& message);

// Raises an ordinary failure of a session operation.
void raise_error(const Error& error);

// A small number naming the calling thread for its whole life.
std::uint64_t current_thread_id();

[[noreturn]] void abort_at_boundary();

// Runs `body` (which returns a new reference or null with an error set) and
// converts any C++ exception escaping it into PanicException.
//
// Every failure of ours derives from std::exception, and nothing else is
// caught, on purpose: the one other thing that unwinds through here is the
// forced unwind (abi::__forced_unwind) of a daemon thread that the
// interpreter ends with pthread_exit when it asks for the lock back at
// interpreter exit. That must pass untouched: it is not a failure to report,
// and the lock that reporting needs was never taken back. (Naming it in a
// handler to rethrow it would do, but the runtime hands it over as a null
// object, which the undefined-behaviour sanitizer reports.) For the same
// reason this function is not noexcept.
template <class Body>
PyObject* at_boundary(const char* place, Body&& body) {
    return binding_support::at_boundary(std::forward<Body>(body), [place](const char* what) {
        try {
            raise_panic(place, what);
        } catch (...) {
            abort_at_boundary();
        }
    });
}

}  // namespace pellux::binding
