// The Pellux class: construction, disposal and the method table.
//
// Every method runs in the same order: parse arguments, check the owner
// thread, borrow the object (shared or exclusive), convert the arguments,
// run the session operation, build the result, release the borrow.
#include "binding/pellux_type.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/panic.hpp"
#include "binding_support/python_support.hpp"
#include "readiness/readiness.hpp"
#include "sanitize/sanitize.hpp"
#include "session/session.hpp"

namespace pellux::binding {

namespace {

using binding_support::new_clean_str;
using binding_support::PythonLock;
using binding_support::str_then_commit;

constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

struct PelluxObject {
    PyObject_HEAD
    std::unique_ptr<Session> session;
    std::atomic<std::uintptr_t> borrow;
    std::uint64_t owner;
};

PyObject* g_type = nullptr;  // set once, never freed

PelluxObject* as_pellux(PyObject* self) { return reinterpret_cast<PelluxObject*>(self); }

enum class Access { Shared, Exclusive };

// A borrow of the object for one call; released on every path.
class Borrow {
public:
    Borrow(PelluxObject* obj, Access access) : obj_(obj), access_(access) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    bool acquire() {
        if (access_ == Access::Exclusive) {
            std::uintptr_t expected = 0;
            if (!obj_->borrow.compare_exchange_strong(expected, kExclusive)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return false;
            }
        } else {
            std::uintptr_t current = obj_->borrow.load();
            do {
                if (current == kExclusive) {
                    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                    return false;
                }
            } while (!obj_->borrow.compare_exchange_weak(current, current + 1));
        }
        held_ = true;
        return true;
    }

    ~Borrow() {
        if (!held_) return;
        if (access_ == Access::Exclusive) {
            obj_->borrow.store(0);
        } else {
            obj_->borrow.fetch_sub(1);
        }
    }

private:
    PelluxObject* obj_;
    Access access_;
    bool held_ = false;
};

bool check_owner(PelluxObject* obj, const char* place) {
    std::uint64_t caller = current_thread_id();
    if (caller == obj->owner) return true;
    raise_panic(place,
                "assertion `left == right` failed: pellux::Pellux is unsendable, but sent to "
                "another thread\n  left: ThreadId(" +
                    std::to_string(caller) + ")\n right: ThreadId(" + std::to_string(obj->owner) +
                    ")");
    return false;
}

// Receiver checks, then `body(session)` at the boundary.
template <class Body>
PyObject* with_session(PyObject* self, Access access, const char* place, Body&& body) {
    PelluxObject* obj = as_pellux(self);
    if (!check_owner(obj, place)) return nullptr;
    Borrow borrow(obj, access);
    if (!borrow.acquire()) return nullptr;
    return at_boundary(place, [&]() -> PyObject* { return body(*obj->session); });
}

PyObject* new_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// Hands a read's text to Python. Its bytes go into the history only once the
// str exists: a read that fails on the way (MemoryError) gives them back to
// the head of the queue for the next read.
PyObject* hand_over(CleanRead& read) {
    return str_then_commit(read.text, [&] { read.taken.commit(); });
}

PyObject* read_or_raise(Result<CleanRead> result) { return binding_support::convert_or_raise(result, hand_over); }

PyObject* str_or_raise(const Result<std::string>& result) {
    return binding_support::convert_or_raise(result, [](const std::string& text) { return new_clean_str(text); });
}

// ---- argument descriptions -------------------------------------------------

constexpr const char* kNewParams[] = {"command", "interactive", "ready_markers"};
constexpr FunctionDescription kNewDesc{"Pellux", "__new__", kNewParams, 3, 2};

constexpr const char* kSetMarkersParams[] = {"ready_markers"};
constexpr FunctionDescription kSetMarkersDesc{"Pellux", "set_ready_markers", kSetMarkersParams, 1, 1};

constexpr const char* kReadParams[] = {"timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"};
constexpr FunctionDescription kReadDesc{"Pellux", "read_until_ready", kReadParams, 4, 0};

constexpr const char* kSendReadParams[] = {"input", "timeout_ms", "max_output_bytes", "settle_ms",
                                           "quiet_ms"};
constexpr FunctionDescription kSendReadDesc{"Pellux", "send_and_read_until_ready", kSendReadParams,
                                            5, 1};

constexpr const char* kReadAvailableParams[] = {"max_bytes"};
constexpr FunctionDescription kReadAvailableDesc{"Pellux", "read_available", kReadAvailableParams,
                                                 1, 0};

// Converts the four read parameters from slots[0..3].
bool convert_read_params(PyObject* const* slots, ReadParams& params) {
    return convert_optional_u64(slots[0], "timeout_ms", params.timeout_ms) &&
           convert_optional_u32(slots[1], "max_output_bytes", params.max_output_bytes) &&
           convert_optional_u64(slots[2], "settle_ms", params.settle_ms) &&
           convert_optional_u64(slots[3], "quiet_ms", params.quiet_ms);
}

// ---- slots -----------------------------------------------------------------

PyObject* pellux_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[3] = {};
    if (!parse_tuple(kNewDesc, args, kwargs, slots)) return nullptr;
    std::string command;
    bool interactive = false;
    std::optional<std::vector<std::string>> markers;
    if (!convert_text(slots[0], "command", command) ||
        !convert_flag(slots[1], "interactive", interactive) ||
        !convert_optional_text_list(slots[2], "ready_markers", markers)) {
        return nullptr;
    }
    return at_boundary("Pellux.__new__", [&]() -> PyObject* {
        auto spawned = spawn_session(command, interactive, kMaxHistoryBytes);
        if (!spawned) {
            raise_error(spawned.error());
            return nullptr;
        }
        store_initial_markers(**spawned, std::move(markers));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;  // the record is disposed of on the way out
        PelluxObject* obj = as_pellux(self);
        new (&obj->session) std::unique_ptr<Session>(std::move(*spawned));
        new (&obj->borrow) std::atomic<std::uintptr_t>(0);
        obj->owner = current_thread_id();
        return self;
    });
}

void pellux_dealloc(PyObject* self) {
    PelluxObject* obj = as_pellux(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject *err_type, *err_value, *err_tb;
    PyErr_Fetch(&err_type, &err_value, &err_tb);
    if (current_thread_id() == obj->owner) {
        std::unique_ptr<Session> session = std::move(obj->session);
        obj->session.~unique_ptr();
        PythonLock gil;
        dispose_session(std::move(session), &gil);
    } else {
        // None of the record's destructors may run here: it is left running,
        // and only the object's memory goes.
        (void)obj->session.release();
        PyErr_SetString(PyExc_RuntimeError,
                        "pellux::Pellux is unsendable, but is being dropped on another thread");
        PyErr_WriteUnraisable(nullptr);
    }
    obj->borrow.~atomic();
    PyErr_Restore(err_type, err_value, err_tb);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods ---------------------------------------------------------------

PyObject* m_set_ready_markers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!parse_fastcall(kSetMarkersDesc, args, nargs, kwnames, slots)) return nullptr;
    return with_session(self, Access::Shared, "Pellux.set_ready_markers", [&](Session& s) -> PyObject* {
        std::vector<std::string> markers;
        if (!convert_text_list(slots[0], "ready_markers", markers)) return nullptr;
        return binding_support::none_or_raise(set_ready_markers(s, std::move(markers)));
    });
}

PyObject* m_read_until_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject* slots[4] = {};
    if (!parse_fastcall(kReadDesc, args, nargs, kwnames, slots)) return nullptr;
    return with_session(self, Access::Shared, "Pellux.read_until_ready", [&](Session& s) -> PyObject* {
        ReadParams params;
        if (!convert_read_params(slots, params)) return nullptr;
        PythonLock gil;
        CleanRead read = read_until_ready(s, params, gil);
        return hand_over(read);
    });
}

PyObject* m_send_and_read_until_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    PyObject* slots[5] = {};
    if (!parse_fastcall(kSendReadDesc, args, nargs, kwnames, slots)) return nullptr;
    return with_session(self, Access::Exclusive, "Pellux.send_and_read_until_ready",
                        [&](Session& s) -> PyObject* {
                            std::string input;
                            ReadParams params;
                            if (!convert_text(slots[0], "input", input) ||
                                !convert_read_params(slots + 1, params)) {
                                return nullptr;
                            }
                            PythonLock gil;
                            return read_or_raise(send_and_read_until_ready(s, input, params, gil));
                        });
}

PyObject* m_read_available(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!parse_fastcall(kReadAvailableDesc, args, nargs, kwnames, slots)) return nullptr;
    return with_session(self, Access::Shared, "Pellux.read_available", [&](Session& s) -> PyObject* {
        std::optional<std::uint32_t> max_bytes;
        if (!convert_optional_u32(slots[0], "max_bytes", max_bytes)) return nullptr;
        return read_or_raise(take_available(s, max_bytes));
    });
}

PyObject* m_send_ctrl_c(PyObject* self, PyObject*) {
    return with_session(self, Access::Exclusive, "Pellux.send_ctrl_c", [](Session& s) {
        PythonLock gil;
        return binding_support::none_or_raise(send_ctrl_c(s, &gil));
    });
}

PyObject* m_get_history(PyObject* self, PyObject*) {
    return with_session(self, Access::Shared, "Pellux.get_history",
                        [](Session& s) { return str_or_raise(get_history(s)); });
}

PyObject* m_is_alive(PyObject* self, PyObject*) {
    return with_session(self, Access::Shared, "Pellux.is_alive", [](Session& s) -> PyObject* {
        return binding_support::convert_or_raise(is_alive(s), [](bool alive) { return PyBool_FromLong(alive); });
    });
}

PyObject* m_is_interactive(PyObject* self, PyObject*) {
    return with_session(self, Access::Shared, "Pellux.is_interactive",
                        [](Session& s) { return PyBool_FromLong(s.interactive); });
}

PyObject* m_get_initial_command(PyObject* self, PyObject*) {
    return with_session(self, Access::Shared, "Pellux.get_initial_command",
                        [](Session& s) { return new_str(s.command); });
}

PyObject* m_close(PyObject* self, PyObject*) {
    return with_session(self, Access::Exclusive, "Pellux.close", [](Session& s) -> PyObject* {
        PythonLock gil;
        close_inner(s, &gil);
        Py_RETURN_NONE;
    });
}

PyObject* m_reset(PyObject* self, PyObject*) {
    PelluxObject* obj = as_pellux(self);
    return with_session(self, Access::Exclusive, "Pellux.reset", [obj](Session&) -> PyObject* {
        PythonLock gil;
        return binding_support::none_or_raise(reset(obj->session, &gil));
    });
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"set_ready_markers", FASTCALL(m_set_ready_markers), METH_FASTCALL | METH_KEYWORDS,
     "set_ready_markers($self, ready_markers)\n--\n\n"},
    {"read_until_ready", FASTCALL(m_read_until_ready), METH_FASTCALL | METH_KEYWORDS,
     "read_until_ready($self, timeout_ms=None, max_output_bytes=None, settle_ms=None, "
     "quiet_ms=None)\n--\n\nRead until ready marker appears (interactive=true) OR until output "
     "goes quiet (interactive=false)."},
    {"send_and_read_until_ready", FASTCALL(m_send_and_read_until_ready),
     METH_FASTCALL | METH_KEYWORDS,
     "send_and_read_until_ready($self, input, timeout_ms=None, max_output_bytes=None, "
     "settle_ms=None, quiet_ms=None)\n--\n\nSend input and read until ready marker returns "
     "(interactive=true) OR until output goes quiet (interactive=false)."},
    {"read_available", FASTCALL(m_read_available), METH_FASTCALL | METH_KEYWORDS,
     "read_available($self, max_bytes=None)\n--\n\nNon-blocking read of buffered output."},
    {"send_ctrl_c", m_send_ctrl_c, METH_NOARGS, "send_ctrl_c($self)\n--\n\n"},
    {"get_history", m_get_history, METH_NOARGS, "get_history($self)\n--\n\n"},
    {"is_alive", m_is_alive, METH_NOARGS, "is_alive($self)\n--\n\n"},
    {"is_interactive", m_is_interactive, METH_NOARGS, "is_interactive($self)\n--\n\n"},
    {"get_initial_command", m_get_initial_command, METH_NOARGS,
     "get_initial_command($self)\n--\n\n"},
    {"close", m_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"reset", m_reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Pellux(command, interactive, ready_markers=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(pellux_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_base, nullptr},  // filled with &PyBaseObject_Type at creation
    {Py_tp_dealloc, reinterpret_cast<void*>(pellux_dealloc)},
    {0, nullptr},
};

}  // namespace

PyObject* pellux_type() {
    if (g_type == nullptr) {
        kSlots[3].pfunc = &PyBaseObject_Type;
        PyType_Spec type_spec{"builtins.Pellux", static_cast<int>(sizeof(PelluxObject)), 0,
                         Py_TPFLAGS_DEFAULT, kSlots};
        PyObject* type = PyType_FromSpec(&type_spec);
        if (type == nullptr) return nullptr;
        g_type = type;
    }
    return g_type;
}

}  // namespace pellux::binding
