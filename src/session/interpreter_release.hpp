// Letting the interpreter run other threads while a session waits.
//
// The core never sees Python: the binding implements InterpreterRelease with
// the interpreter's own calls, and the core gives the lock up only through
// without_interpreter, for stretches that touch no Python object (waiting
// for output, for room in the terminal, for the child and the reader thread
// to end).
//
// Taking the lock back can end the thread. At interpreter exit CPython 3.10
// to 3.13 end a daemon thread that asks for the lock with pthread_exit, which
// unwinds the thread's stack as abi::__forced_unwind. That unwind must pass
// through our frames: no destructor that reacquires may be noexcept (it would
// terminate the process), no catch (...) may keep it from going on, and nothing may call
// the interpreter on the way out, since the lock was never taken back.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace pellux {

class InterpreterRelease {
public:
    // Gives the lock up. Never fails.
    virtual void release() noexcept = 0;
    // Takes it back; may end the thread with a forced unwind (above).
    virtual void reacquire() = 0;

protected:
    ~InterpreterRelease() = default;
};

// The lock released for one scope; a null InterpreterRelease releases
// nothing (callers without an interpreter, such as the native tests).
//
// The destructor takes the lock back and is where the forced unwind of an
// exiting daemon thread starts, so it is noexcept(false). It must not run
// while another exception unwinds through it, since a second one would
// terminate the process: use it through without_interpreter, which catches
// every failure inside the scope first.
class InterpreterReleased {
public:
    explicit InterpreterReleased(InterpreterRelease* lock) noexcept : lock_(lock) {
        if (lock_ != nullptr) lock_->release();
    }
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;
    ~InterpreterReleased() noexcept(false) {
        if (lock_ != nullptr) lock_->reacquire();
    }

private:
    InterpreterRelease* lock_;
};

// Runs `body` with the lock released and returns its result once the lock
// is held again. A failure of `body` (every failure of ours derives from
// std::exception) travels on after the lock is back, so that the binding
// can raise it. `body` must not end its thread.
template <class Body>
auto without_interpreter(InterpreterRelease* lock, Body&& body) -> std::invoke_result_t<Body&> {
    using Value = std::invoke_result_t<Body&>;
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Value>) {
        {
            InterpreterReleased released(lock);
            try {
                body();
            } catch (const std::exception&) {
                failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Value> value;
        {
            InterpreterReleased released(lock);
            try {
                value.emplace(body());
            } catch (const std::exception&) {
                failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
        return std::move(*value);
    }
}

}  // namespace pellux
