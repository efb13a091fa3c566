// What both extension modules need at the Python boundary, in one place:
// the interpreter lock as the core sees it, the one-pass str of a read's
// clean text, the hand-over that records a read's bytes only once its str
// exists, the mapping of the core's errors, and the guard that keeps C++
// failures from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "session/interpreter_release.hpp"
#include "session/result.hpp"

namespace pellux::binding_support {

// The interpreter lock as the core sees it: given up while a session waits,
// taken back before anything touches a Python object. At interpreter exit
// PyEval_RestoreThread ends a daemon thread instead of returning
// (interpreter_release.hpp says how the core lets that pass).
class PythonLock final : public InterpreterRelease {
public:
    void release() noexcept override { state_ = PyEval_SaveThread(); }
    void reacquire() override { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_ = nullptr;
};

// Runs `work` without the interpreter lock. An exception it throws is
// carried across and rethrown once the lock is held again.
template <class Work>
auto released(Work&& work) -> decltype(work()) {
    PythonLock lock;
    return without_interpreter(&lock, work);
}

// A str from text the sanitizer made, which is always well-formed UTF-8:
// one pass sizes it (code points, and the width the largest needs), the
// next writes the code points straight into the str, with no second
// validation and no widening as it goes. A bulk read's text is tens of MB.
PyObject* new_clean_str(std::string_view text);

// Hands a read's text to Python: the str first, then `commit()` records the
// read's bytes. When either fails (MemoryError) nothing is recorded and the
// caller's read, dropped, gives its bytes back to the head of the queue for
// the next read. New reference, or null with an error set; commit's own
// failures go on as C++ exceptions for the boundary.
template <class Commit>
PyObject* str_then_commit(std::string_view text, Commit&& commit) {
    PyObject* str = new_clean_str(text);
    if (str == nullptr) return nullptr;
    try {
        commit();
    } catch (...) {
        Py_DECREF(str);
        throw;
    }
    return str;
}

// Raises an ordinary failure of the core: RuntimeError for a running
// session's, `start_type` for one that could not start.
void raise_error(const Error& error, PyObject* start_type = PyExc_Exception);

// None, or the failure raised as raise_error raises it.
PyObject* none_or_raise(const Result<void>& result, PyObject* start_type = PyExc_Exception);

// `convert(value)` of a result that holds one (a new reference, or null with
// an error set), or its failure raised as raise_error raises it. The value is
// handed over as the result is (a read's, to be committed, is not const).
template <class R, class Convert>
PyObject* convert_or_raise(R&& result, Convert&& convert, PyObject* start_type = PyExc_Exception) {
    if (!result) {
        raise_error(result.error(), start_type);
        return nullptr;
    }
    return convert(*result);
}

// Runs `body` (a new reference, or null with an error set). Out of memory
// is MemoryError; any other failure of ours (all derive from std::exception)
// goes to `internal(what)`, which sets the error.
//
// Nothing else is caught, on purpose: the one other thing that unwinds
// through here is the forced unwind (abi::__forced_unwind) of a daemon
// thread that the interpreter ends with pthread_exit when it asks for the
// lock back at interpreter exit. That must pass untouched: it is not a
// failure to report, and the lock that reporting needs was never taken
// back. For the same reason this function is not noexcept.
template <class Body, class Internal>
PyObject* at_boundary(Body&& body, Internal&& internal) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        internal(failure.what());
    }
    return nullptr;
}

}  // namespace pellux::binding_support
