// pellux_agent._terminal: the native terminal of the agent layer.
//
// One type, Terminal, over NativeTerminal. Every method converts its
// arguments to C++ values with the interpreter lock held, runs the terminal
// operation with the lock released (the operation takes the terminal's own
// mutex, so the object needs no owner thread), then builds its result with
// the lock held again.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent_binding/native_terminal.hpp"
#include "binding_support/python_support.hpp"

namespace pellux::agent {
namespace {

struct TerminalObject {
    PyObject_HEAD
    NativeTerminal* terminal;  // owned; null once dealloc started or never built
    pid_t creator;             // the process that started it
};

TerminalObject* as_terminal(PyObject* self) { return reinterpret_cast<TerminalObject*>(self); }

using binding_support::new_clean_str;
using binding_support::released;

// Failures of the core at the boundary: out of memory is MemoryError, an
// internal failure a RuntimeError that says so.
template <class Body>
PyObject* boundary(Body&& body) {
    return binding_support::at_boundary(std::forward<Body>(body), [](const char* what) {
        PyErr_Format(PyExc_RuntimeError, "pellux_agent._terminal internal failure: %s", what);
    });
}

// A terminal that cannot start (again) is an OSError; everything else a
// RuntimeError.
void raise_error(const Error& error) { binding_support::raise_error(error, PyExc_OSError); }

PyObject* none_or_raise(const Result<void>& result) { return binding_support::none_or_raise(result, PyExc_OSError); }

template <class R, class Convert>
PyObject* convert_or_raise(R&& result, Convert&& convert) {
    return binding_support::convert_or_raise(std::forward<R>(result), std::forward<Convert>(convert), PyExc_OSError);
}

const char* end_name(ReadEnd end) {
    switch (end) {
        case ReadEnd::Marker: return "marker";
        case ReadEnd::Quiet: return "quiet";
        case ReadEnd::Input: return "input";
        case ReadEnd::Timeout: return "timeout";
        case ReadEnd::Exited: return "exited";
        case ReadEnd::Cap: return "cap";
        case ReadEnd::Interrupted: return "interrupted";
        case ReadEnd::Closed: return "closed";
        case ReadEnd::Arrived: return "arrived";
    }
    return "timeout";
}

// The input probe says once per process, as a RuntimeWarning, that it cannot
// tell here (the first reason). False with the warning raised as an error.
bool warn_probe_unknown(const std::string& reason) {
    static bool warned = false;  // under the interpreter lock
    if (warned || reason.empty()) return true;
    warned = true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "the input probe cannot tell whether the program waits for input "
                            "(%s); reads fall back on markers or quiet output",
                            reason.c_str()) == 0;
}

// (text, reason) of a read. Everything that can fail comes before the
// commit, so a failure leaves the read's bytes queued for the next one.
PyObject* read_result(Result<HeldRead> held) {
    if (!held) {
        raise_error(held.error());
        return nullptr;
    }
    if (!warn_probe_unknown(held->probe_unknown())) return nullptr;
    PyObject* reason = PyUnicode_FromString(end_name(held->end()));
    if (reason == nullptr) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(reason);
        return nullptr;
    }
    PyObject* text = nullptr;
    try {
        text = binding_support::str_then_commit(held->text(), [&] { held->commit(); });
    } catch (...) {
        Py_DECREF(pair);
        Py_DECREF(reason);
        throw;
    }
    if (text == nullptr) {
        Py_DECREF(pair);
        Py_DECREF(reason);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, text);
    PyTuple_SET_ITEM(pair, 1, reason);
    return pair;
}

// The text alone, of a read that does not wait.
PyObject* read_text(Result<HeldRead> held) {
    return convert_or_raise(held, [](HeldRead& read) {
        return binding_support::str_then_commit(read.text(), [&] { read.commit(); });
    });
}

// The terminal of `self`, or null with RuntimeError when it cannot be used
// here: closed, or inherited across fork (the terminal belongs to the
// process that started it; a child must not touch its program or reader).
NativeTerminal* usable(PyObject* self) {
    TerminalObject* obj = as_terminal(self);
    if (obj->terminal == nullptr || obj->creator != ::getpid()) {
        PyErr_SetString(PyExc_RuntimeError, "the terminal is closed");
        return nullptr;
    }
    return obj->terminal;
}

// ---- argument conversion ---------------------------------------------------

bool to_string(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.100s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool to_string_list(PyObject* value, const char* name, std::vector<std::string>& out) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a list of str, not %.100s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    PyObject* seq = PySequence_Fast(value, name);
    if (seq == nullptr) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    bool ok = true;
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
        std::string item;
        ok = to_string(PySequence_Fast_GET_ITEM(seq, i), name, item);
        if (ok) out.push_back(std::move(item));
    }
    Py_DECREF(seq);
    return ok;
}

// None, or an int in [0, max].
template <class T>
bool to_optional_uint(PyObject* value, const char* name, std::optional<T>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.100s", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 ||
        static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) {
        PyErr_Format(PyExc_ValueError, "%s must be between 0 and %llu", name,
                     static_cast<unsigned long long>(std::numeric_limits<T>::max()));
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

bool to_side(PyObject* value, const char* name, unsigned short& out) {
    std::optional<unsigned short> side;
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not None", name);
        return false;
    }
    if (!to_optional_uint(value, name, side)) return false;
    if (*side == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and 65535, not 0", name);
        return false;
    }
    out = *side;
    return true;
}

// "auto", "markers", "quiet", "input" or "arrival"; absent is "markers".
bool to_rule(PyObject* value, ReadRule& out) {
    if (value == nullptr) {
        out = ReadRule::Markers;
        return true;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "rule must be a str, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    static constexpr std::pair<const char*, ReadRule> kRules[] = {
        {"auto", ReadRule::Auto},
        {"markers", ReadRule::Markers},
        {"quiet", ReadRule::Quiet},
        {"input", ReadRule::Input},
        {"arrival", ReadRule::Arrival},
    };
    for (const auto& [name, rule] : kRules) {
        if (PyUnicode_CompareWithASCIIString(value, name) == 0) {
            out = rule;
            return true;
        }
    }
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_ValueError,
                 "rule must be one of 'auto', 'markers', 'quiet', 'input', 'arrival', not %R", value);
    return false;
}

// None, "output" or "marker".
bool to_primed(PyObject* value, Primed& out) {
    out = Primed::No;
    if (value == nullptr || value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "output") == 0) {
            out = Primed::Output;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(value, "marker") == 0) {
            out = Primed::Marker;
            return true;
        }
        if (PyErr_Occurred()) return false;
    }
    PyErr_Format(PyExc_ValueError, "primed must be None, 'output' or 'marker', not %R", value);
    return false;
}

bool read_params(PyObject* timeout, PyObject* max_bytes, PyObject* settle, PyObject* quiet,
                 PyObject* rule, ReadParams& params) {
    return to_optional_uint(timeout, "timeout_ms", params.timeout_ms) &&
           to_optional_uint(max_bytes, "max_output_bytes", params.max_output_bytes) &&
           to_optional_uint(settle, "settle_ms", params.settle_ms) &&
           to_optional_uint(quiet, "quiet_ms", params.quiet_ms) && to_rule(rule, params.rule);
}

// ---- the type ----------------------------------------------------------------

// The recording of a new terminal at `path`: its header names the command
// and the TERM the program gets. Null with OSError when it cannot be made.
std::shared_ptr<Recording> open_recording(PyObject* path, std::uint64_t max_bytes,
                                          const LaunchPlan& plan) {
    std::string where;
    if (!to_string(path, "record", where)) return nullptr;
    Recording::Header header;
    header.rows = plan.options.rows;
    header.cols = plan.options.cols;
    for (const std::string& arg : plan.argv) {
        if (!header.title.empty()) header.title += ' ';
        header.title += arg;
    }
    if (plan.options.env) {
        for (const std::string& entry : *plan.options.env) {
            if (entry.starts_with("TERM=")) header.term = entry.substr(5);
        }
    }
    auto opened = released([&] { return Recording::open(where, max_bytes, header); });
    if (!opened) {
        if (opened.error() == EINVAL) {
            PyErr_Format(PyExc_ValueError, "record_max_bytes is too small for a recording: %llu",
                         static_cast<unsigned long long>(max_bytes));
        } else {
            errno = opened.error();
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        }
        return nullptr;
    }
    return std::move(*opened);
}

// Terminal(program, argv, env, cwd, rows, cols, ready_markers, *, program_file=None,
//          record=None, record_max_bytes=...)
PyObject* terminal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"program", "argv", "env", "cwd", "rows", "cols", "ready_markers",
                                  "program_file", "record", "record_max_bytes", nullptr};
    PyObject *program = nullptr, *argv = nullptr, *env = Py_None, *cwd = Py_None;
    PyObject *rows = nullptr, *cols = nullptr, *markers = nullptr, *file = Py_None;
    PyObject *record = Py_None, *record_max = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO|$OOO:Terminal",
                                     const_cast<char**>(names), &program, &argv, &env, &cwd, &rows,
                                     &cols, &markers, &file, &record, &record_max)) {
        return nullptr;
    }
    return boundary([&]() -> PyObject* {
        LaunchPlan plan;
        if (!to_string(program, "program", plan.program)) return nullptr;
        // program_file=(path, st_dev, st_ino): execute exactly the file the caller checked.
        if (file != Py_None) {
            PyObject* path = nullptr;
            unsigned long long device = 0, inode = 0;
            if (!PyArg_ParseTuple(file, "UKK:program_file", &path, &device, &inode)) return nullptr;
            if (!to_string(path, "program_file", plan.program)) return nullptr;
            plan.options.expected_file =
                FileIdentity{static_cast<dev_t>(device), static_cast<ino_t>(inode)};
        }
        if (!to_string_list(argv, "argv", plan.argv)) return nullptr;
        if (plan.argv.empty()) {
            PyErr_SetString(PyExc_ValueError, "argv must hold at least the program's name");
            return nullptr;
        }
        if (env != Py_None) {
            std::vector<std::string> entries;
            if (!to_string_list(env, "env", entries)) return nullptr;
            plan.options.env = std::move(entries);
        }
        if (cwd != Py_None) {
            std::string dir;
            if (!to_string(cwd, "cwd", dir)) return nullptr;
            plan.options.cwd = std::move(dir);
        }
        if (!to_side(rows, "rows", plan.options.rows) || !to_side(cols, "cols", plan.options.cols)) {
            return nullptr;
        }
        if (!to_string_list(markers, "ready_markers", plan.ready_markers)) return nullptr;
        for (const std::string& marker : plan.ready_markers) {
            if (marker.empty()) {
                // It would end every read at once, before the program answers.
                PyErr_SetString(PyExc_ValueError, "ready_markers must not contain an empty string");
                return nullptr;
            }
        }
        // The interpreter ignores these for itself; an ignored disposition
        // survives exec, and a program in a pipeline must die of SIGPIPE
        // and of a file grown too large like anywhere else.
        plan.options.default_signals = {SIGPIPE, SIGXFSZ};
        plan.options.end_whole_terminal = true;  // close leaves nothing on the terminal
        plan.options.collect_early = true;       // and returns as soon as the program is gone
        if (record != Py_None) {
            std::optional<std::uint64_t> cap;
            if (!to_optional_uint(record_max, "record_max_bytes", cap)) return nullptr;
            plan.recording = open_recording(record, cap.value_or(kDefaultRecordingCap), plan);
            if (!plan.recording) return nullptr;
        }
        auto started = released([&] { return NativeTerminal::start(std::move(plan)); });
        if (!started) {
            PyObject* error = Py_BuildValue("(is)", started.error().err, started.error().message.c_str());
            if (error != nullptr) {
                PyErr_SetObject(PyExc_OSError, error);
                Py_DECREF(error);
            }
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            std::unique_ptr<NativeTerminal> doomed = std::move(*started);
            released([&] {
                doomed.reset();
                return 0;
            });
            return nullptr;
        }
        as_terminal(self)->terminal = started->release();
        as_terminal(self)->creator = ::getpid();
        return self;
    });
}

void terminal_dealloc(PyObject* self) {
    TerminalObject* obj = as_terminal(self);
    NativeTerminal* terminal = obj->terminal;
    obj->terminal = nullptr;
    if (terminal != nullptr) {
        if (obj->creator == ::getpid()) {
            // Ending the program takes its termination pauses: other threads run meanwhile.
            PyThreadState* state = PyEval_SaveThread();
            delete terminal;
            PyEval_RestoreThread(state);
        }
        // In a forked child the program, the reader thread and the wake-up
        // descriptors are the parent's: touching them would break its
        // terminal, so this copy is left as it is.
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* get_pid(PyObject* self, void*) {
    TerminalObject* obj = as_terminal(self);
    return PyLong_FromLong(obj->terminal == nullptr ? -1L : static_cast<long>(obj->terminal->pid()));
}

PyObject* get_reads_hidden_line(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        return convert_or_raise(released([&] { return t->reads_hidden_line(); }),
                                [](bool hidden) { return PyBool_FromLong(hidden); });
    });
}

PyObject* get_recording_size(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    auto size = released([&] { return t->recording_size(); });
    if (!size) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*size);
}

PyObject* get_app_cursor(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return PyBool_FromLong(released([&] { return t->app_cursor(); }));
}

PyObject* get_alt_screen(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return PyBool_FromLong(released([&] { return t->alt_screen(); }));
}

PyObject* get_bracketed_paste(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return PyBool_FromLong(released([&] { return t->bracketed_paste(); }));
}

PyObject* get_echo_off(PyObject* self, void*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return PyBool_FromLong(released([&] { return t->echo_off(); }));
}

PyObject* m_is_alive(PyObject* self, PyObject*) {
    TerminalObject* obj = as_terminal(self);
    if (obj->terminal == nullptr || obj->creator != ::getpid()) Py_RETURN_FALSE;
    return boundary([&]() -> PyObject* {
        return PyBool_FromLong(released([&] { return obj->terminal->alive(); }));
    });
}

PyObject* m_exit_status(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        auto status = released([&] { return t->exit_status(); });
        if (!status) Py_RETURN_NONE;
        auto opt = [](const std::optional<int>& v) -> PyObject* {
            if (!v) Py_RETURN_NONE;
            return PyLong_FromLong(*v);
        };
        return Py_BuildValue("(NN)", opt(status->code), opt(status->signal));
    });
}

PyObject* m_read(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms", "rule",
                                  "primed",     "stops_seen",       nullptr};
    PyObject *timeout = Py_None, *max_bytes = Py_None, *settle = Py_None, *quiet = Py_None,
             *rule = nullptr, *primed = Py_None, *stops = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO$OO:read", const_cast<char**>(names),
                                     &timeout, &max_bytes, &settle, &quiet, &rule, &primed, &stops)) {
        return nullptr;
    }
    ReadParams params;
    std::optional<std::uint64_t> stops_seen;
    if (!read_params(timeout, max_bytes, settle, quiet, rule, params) ||
        !to_primed(primed, params.primed) || !to_optional_uint(stops, "stops_seen", stops_seen)) {
        return nullptr;
    }
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary(
        [&] { return read_result(released([&] { return t->read_held(params, stops_seen); })); });
}

PyObject* m_stop_count(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    // Takes no lock that a read holds: the interpreter lock can stay.
    return PyLong_FromUnsignedLongLong(t->stop_count());
}

PyObject* m_foreground(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        auto front = released([&] { return t->foreground(); });
        if (!front) Py_RETURN_NONE;
        PyObject* name = PyUnicode_DecodeUTF8(front->name.data(),
                                              static_cast<Py_ssize_t>(front->name.size()), "replace");
        if (name == nullptr) return nullptr;
        return Py_BuildValue("(Nl)", name, static_cast<long>(front->pid));
    });
}

PyObject* m_facts(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        auto facts = released([&] { return t->facts(); });
        PyObject* front = Py_None;
        if (facts.front) {
            PyObject* name = PyUnicode_DecodeUTF8(facts.front->name.data(),
                                                  static_cast<Py_ssize_t>(facts.front->name.size()), "replace");
            if (name == nullptr) return nullptr;
            front = Py_BuildValue("(Nl)", name, static_cast<long>(facts.front->pid));
            if (front == nullptr) return nullptr;
        } else {
            Py_INCREF(front);
        }
        return Py_BuildValue("(ONOO)", facts.alive ? Py_True : Py_False, front,
                             facts.alt_screen ? Py_True : Py_False, facts.echo_off ? Py_True : Py_False);
    });
}

PyObject* m_send(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"input",    "timeout_ms", "max_output_bytes", "settle_ms",
                                  "quiet_ms", "rule",       nullptr};
    PyObject *input = nullptr, *timeout = Py_None, *max_bytes = Py_None, *settle = Py_None,
             *quiet = Py_None, *rule = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:send", const_cast<char**>(names), &input,
                                     &timeout, &max_bytes, &settle, &quiet, &rule)) {
        return nullptr;
    }
    std::string text;
    ReadParams params;
    if (!to_string(input, "input", text) ||
        !read_params(timeout, max_bytes, settle, quiet, rule, params)) {
        return nullptr;
    }
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&] { return read_result(released([&] { return t->send_held(text, params); })); });
}

PyObject* m_write(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"data", "timeout_ms", nullptr};
    Py_buffer data{};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|O:write", const_cast<char**>(names), &data,
                                     &timeout)) {
        return nullptr;
    }
    std::string bytes;
    try {
        bytes.assign(static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len));
    } catch (const std::bad_alloc&) {
        PyBuffer_Release(&data);
        return PyErr_NoMemory();
    }
    PyBuffer_Release(&data);
    return boundary([&]() -> PyObject* {
        std::optional<std::uint64_t> ms;
        if (!to_optional_uint(timeout, "timeout_ms", ms)) return nullptr;
        NativeTerminal* t = usable(self);
        if (t == nullptr) return nullptr;
        return none_or_raise(
            released([&] { return t->write(bytes, ms.value_or(kDefaultTimeoutMs)); }));
    });
}

PyObject* m_write_secret(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"secret", "timeout_ms", nullptr};
    Py_buffer data{};
    PyObject* timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|O:write_secret", const_cast<char**>(names),
                                     &data, &timeout)) {
        return nullptr;
    }
    // The caller's buffer is read in place (the value is copied only into
    // the line that is typed, which is wiped).
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&data};
    std::string_view secret(static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len));
    return boundary([&]() -> PyObject* {
        std::optional<std::uint64_t> ms;
        if (!to_optional_uint(timeout, "timeout_ms", ms)) return nullptr;
        NativeTerminal* t = usable(self);
        if (t == nullptr) return nullptr;
        return none_or_raise(
            released([&] { return t->write_secret(secret, ms.value_or(kDefaultTimeoutMs)); }));
    });
}

PyObject* m_send_ctrl_c(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&] { return none_or_raise(released([&] { return t->interrupt(); })); });
}

PyObject* m_cancel(PyObject* self, PyObject*) {
    TerminalObject* obj = as_terminal(self);
    if (obj->terminal == nullptr || obj->creator != ::getpid()) Py_RETURN_NONE;
    // Takes no lock that a read holds: the interpreter lock can stay.
    obj->terminal->cancel();
    Py_RETURN_NONE;
}

PyObject* m_probe(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        std::string reason;
        return convert_or_raise(released([&] { return t->probe(reason); }), [&](InputVerdict verdict) -> PyObject* {
            switch (verdict) {
                case InputVerdict::Waiting: return PyUnicode_FromString("waiting");
                case InputVerdict::Busy: return PyUnicode_FromString("busy");
                case InputVerdict::Exited: return PyUnicode_FromString("exited");
                case InputVerdict::Unknown: break;
            }
            if (!warn_probe_unknown(reason)) return nullptr;
            return PyUnicode_FromString("unknown");
        });
    });
}

PyObject* m_resize(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"rows", "cols", nullptr};
    PyObject *rows = nullptr, *cols = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:resize", const_cast<char**>(names), &rows,
                                     &cols)) {
        return nullptr;
    }
    unsigned short r = 0, c = 0;
    if (!to_side(rows, "rows", r) || !to_side(cols, "cols", c)) return nullptr;
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&] { return none_or_raise(released([&] { return t->resize(r, c); })); });
}

PyObject* m_read_available(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"max_bytes", nullptr};
    PyObject* max_bytes = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:read_available", const_cast<char**>(names),
                                     &max_bytes)) {
        return nullptr;
    }
    std::optional<std::uint32_t> limit;
    if (!to_optional_uint(max_bytes, "max_bytes", limit)) return nullptr;
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&] { return read_text(released([&] { return t->read_available_held(limit); })); });
}

PyObject* m_get_history(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        return convert_or_raise(released([&] { return t->history(); }),
                                [](const std::string& text) { return new_clean_str(text); });
    });
}

PyObject* m_reset(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        // The program could not start again: an OSError, as at the start.
        return none_or_raise(released([&] { return t->reset(); }));
    });
}

PyObject* m_close(PyObject* self, PyObject*) {
    TerminalObject* obj = as_terminal(self);
    if (obj->terminal == nullptr || obj->creator != ::getpid()) Py_RETURN_NONE;
    return boundary([&]() -> PyObject* {
        released([&] {
            obj->terminal->close();
            return 0;
        });
        Py_RETURN_NONE;
    });
}

PyObject* m_set_tap(PyObject* self, PyObject* arg) {
    std::optional<std::uint32_t> limit;
    if (!to_optional_uint(arg, "limit", limit)) return nullptr;
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        released([&] {
            t->set_tap(limit.value_or(0));
            return 0;
        });
        Py_RETURN_NONE;
    });
}

PyObject* m_take_tap(PyObject* self, PyObject*) {
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        std::string bytes = released([&] { return t->take_tap(); });
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

// The screen's answers: a Python callable fn(output: bytes) -> bytes, called
// from the thread that reads, which holds no interpreter lock then (every
// method releases it before the terminal's mutex, so taking it here cannot
// wait on a thread that waits for this terminal).
class PythonScreenAnswers final : public ScreenAnswers {
public:
    explicit PythonScreenAnswers(PyObject* answer) : answer_(Py_NewRef(answer)) {}
    ~PythonScreenAnswers() override {
        PyGILState_STATE state = PyGILState_Ensure();
        Py_DECREF(answer_);
        PyGILState_Release(state);
    }

    std::string answer(std::string_view output) override {
        std::string answer;
        PyGILState_STATE state = PyGILState_Ensure();
        PyObject* bytes = PyBytes_FromStringAndSize(output.data(), static_cast<Py_ssize_t>(output.size()));
        PyObject* result = bytes != nullptr ? PyObject_CallOneArg(answer_, bytes) : nullptr;
        Py_XDECREF(bytes);
        if (result != nullptr && PyBytes_Check(result)) {
            try {
                answer.assign(PyBytes_AS_STRING(result), static_cast<std::size_t>(PyBytes_GET_SIZE(result)));
            } catch (const std::bad_alloc&) {
                answer.clear();  // no answer rather than a lost read
            }
        } else if (result != nullptr) {
            PyErr_Format(PyExc_TypeError, "the screen's answer must be bytes, not %.100s",
                         Py_TYPE(result)->tp_name);
        }
        Py_XDECREF(result);
        // A failing screen must not end the read: the program goes without
        // an answer, and the error is reported as unraisable.
        if (PyErr_Occurred()) PyErr_WriteUnraisable(answer_);
        PyGILState_Release(state);
        return answer;
    }

private:
    PyObject* answer_;
};

PyObject* m_set_answerer(PyObject* self, PyObject* arg) {
    if (arg != Py_None && !PyCallable_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "answerer must be callable or None, not %.100s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    NativeTerminal* t = usable(self);
    if (t == nullptr) return nullptr;
    return boundary([&]() -> PyObject* {
        std::unique_ptr<ScreenAnswers> answers;
        if (arg != Py_None) answers = std::make_unique<PythonScreenAnswers>(arg);
        released([&] {
            t->set_screen_answers(std::move(answers));
            return 0;
        });
        Py_RETURN_NONE;
    });
}

PyMethodDef kMethods[] = {
    {"is_alive", m_is_alive, METH_NOARGS, "True while the program runs; never waits."},
    {"exit_status", m_exit_status, METH_NOARGS,
     "(exit_code, signal) once the program has ended and been collected, else None."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read(timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None, rule='markers',"
     " *, primed=None, stops_seen=None) -> (text, why)\n"
     "rule: 'auto', 'markers', 'quiet', 'input' or 'arrival'. why: 'marker', 'quiet', 'input',"
     " 'timeout', 'exited', 'cap', 'interrupted', 'closed' or 'arrived'. primed: 'output' or"
     " 'marker' when the caller holds text from before. stops_seen: a stop_count(); a later"
     " stop ends the read at once."},
    {"stop_count", m_stop_count, METH_NOARGS,
     "How many times cancel, send_ctrl_c and close have been called; never waits."},
    {"facts", m_facts, METH_NOARGS,
     "(alive, (name, pid) or None, alt_screen, echo_off) in one look: what a turn tells besides "
     "its text. Nothing is in front once the program has ended."},
    {"foreground", m_foreground, METH_NOARGS,
     "(name, pid) of the terminal's foreground process group leader, or None."},
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_send)),
     METH_VARARGS | METH_KEYWORDS, "send(input, ...) -> (text, why): input and a line feed, then read."},
    {"cancel", m_cancel, METH_NOARGS,
     "Ends the read or send running on another thread at once ('interrupted'); never waits."},
    {"probe", m_probe, METH_NOARGS,
     "One look of the input probe: 'waiting', 'busy', 'exited' or 'unknown'."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_write)),
     METH_VARARGS | METH_KEYWORDS, "write(data: bytes, timeout_ms=None): raw bytes, nothing added."},
    {"write_secret", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_write_secret)),
     METH_VARARGS | METH_KEYWORDS,
     "write_secret(secret: bytes, timeout_ms=None): the value and a line feed, recorded nowhere;"
     " refused unless a password prompt reads the terminal."},
    {"send_ctrl_c", m_send_ctrl_c, METH_NOARGS,
     "Ends a running read ('interrupted'), then Ctrl-C as a terminal types it."},
    {"resize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_resize)),
     METH_VARARGS | METH_KEYWORDS, "resize(rows, cols): the program gets SIGWINCH."},
    {"read_available", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_read_available)),
     METH_VARARGS | METH_KEYWORDS, "What is queued now, without waiting."},
    {"get_history", m_get_history, METH_NOARGS, "The cleaned history."},
    {"reset", m_reset, METH_NOARGS, "Ends the program and starts it again; fresh history."},
    {"close", m_close, METH_NOARGS, "Ends a running read ('closed'), then the program. Idempotent."},
    {"set_tap", m_set_tap, METH_O, "Keeps the raw bytes reads take (at most `limit`); 0 stops."},
    {"take_tap", m_take_tap, METH_NOARGS, "The raw bytes kept since the last call."},
    {"set_answerer", m_set_answerer, METH_O,
     "set_answerer(fn): fn(output: bytes) -> bytes answers the program's queries from a screen,"
     " fed the output up to them ahead of the tap; None: the fixed answers (device attributes,"
     " status)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"pid", get_pid, nullptr, "The program's pid (the last one once closed).", nullptr},
    {"app_cursor", get_app_cursor, nullptr, "Whether the program set application cursor keys.",
     nullptr},
    {"alt_screen", get_alt_screen, nullptr, "Whether the program holds the alternate screen.",
     nullptr},
    {"bracketed_paste", get_bracketed_paste, nullptr,
     "Whether the program asked for bracketed paste.", nullptr},
    {"echo_off", get_echo_off, nullptr,
     "Whether the terminal reads lines with echo off now (a password prompt).", nullptr},
    {"reads_hidden_line", get_reads_hidden_line, nullptr,
     "Whether a password prompt reads the terminal now (a line without echo, from /dev/tty).", nullptr},
    {"recording_size", get_recording_size, nullptr,
     "Bytes written to the recording so far; None without one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(terminal_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(terminal_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("A program in its own pseudo-terminal (pellux_agent's core).")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "pellux_agent._terminal.Terminal",
    sizeof(TerminalObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "Terminal", type) != 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "pellux_agent._terminal", "The native terminal of pellux_agent.", 0,
    nullptr,               kModuleSlots,             nullptr,                                nullptr,
    nullptr,
};

}  // namespace
}  // namespace pellux::agent

extern "C" PyMODINIT_FUNC PyInit__terminal() { return PyModuleDef_Init(&pellux::agent::kModuleDef); }
