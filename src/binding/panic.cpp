#include "binding/panic.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>

namespace pellux::binding {

namespace {

PyObject* g_panic_type = nullptr;  // set once, under the interpreter lock; never freed

constexpr const char* kPanicDoc =
    "The exception raised when pellux meets an internal failure.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it\n"
    "will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

}  // namespace

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) return nullptr;
        g_panic_type = type;
    }
    return g_panic_type;
}

std::uint64_t current_thread_id() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

void raise_panic(const char* place, const std::string& message) {
    char name[32] = "<unnamed>";
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    std::fprintf(stderr, "\nthread '%s' panicked at %s:\n%s\n", name, place, message.c_str());
    std::fflush(stderr);
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation error stays set
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_error(const Error& error) { binding_support::raise_error(error); }

void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace pellux::binding
