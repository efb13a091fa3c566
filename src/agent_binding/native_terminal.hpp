// One program in its own terminal for the agent layer, on pellux's session
// core: started with an argument vector, environment, directory and size;
// raw writes; resize; the exit status; why each read ended; and an optional
// tap of the raw output for a screen emulator.
//
// Unlike a Pellux session it has no owner thread: every operation takes the
// terminal's mutex, so any thread may call it, one call at a time. Callers
// must not hold a lock that another caller needs while it waits here (the
// binding releases the interpreter lock before it calls in). No Python here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent_binding/cursor_mode.hpp"
#include "readiness/readiness.hpp"
#include "session/pty_process.hpp"
#include "session/result.hpp"
#include "session/session.hpp"

namespace pellux::agent {

// What start (and reset) runs.
struct LaunchPlan {
    std::string program;            // a path, or a name looked up along the env's PATH
    std::vector<std::string> argv;  // argv[0] included
    SpawnOptions options;
    std::vector<std::string> ready_markers;  // empty: reads end on quiet output
};

// A failed start: which step, and the errno.
struct StartFailure {
    SpawnFailure::Step step;
    int err;
    std::string message;  // "Failed to spawn process with command 'x': ENOENT: ..."
};

struct ReadResult {
    std::string text;
    ReadEnd end;
};

// How the program ended, once it has: its exit code, or the signal that
// ended it.
struct ExitStatus {
    std::optional<int> code;
    std::optional<int> signal;
};

class NativeTerminal {
public:
    static std::expected<std::unique_ptr<NativeTerminal>, StartFailure> start(LaunchPlan plan);

    NativeTerminal(const NativeTerminal&) = delete;
    NativeTerminal& operator=(const NativeTerminal&) = delete;
    // Ends the program (as close does).
    ~NativeTerminal();

    // The program's pid (also its terminal session's id); the last one after
    // close.
    pid_t pid();
    // True while the program runs; collects it once ended. False once closed.
    bool alive();
    // Once the program has ended and been collected.
    std::optional<ExitStatus> exit_status();

    // Waits as Pellux.read_until_ready does, and says why it ended.
    Result<ReadResult> read(const ReadParams& params);
    // Writes `input` and a line feed, then reads; the write is bounded by the
    // read's timeout.
    Result<ReadResult> send(std::string_view input, const ReadParams& params);
    // What is queued now, without waiting.
    Result<std::string> read_available(std::optional<std::uint32_t> max_bytes);
    // Raw bytes, nothing added, given up after `timeout_ms` with
    // "write failed: timed out ...".
    Result<void> write(std::string_view bytes, std::uint64_t timeout_ms);
    Result<void> interrupt();
    Result<void> resize(unsigned short rows, unsigned short cols);
    Result<std::string> history();
    // Ends the program and starts it again from the same plan, with a fresh
    // history. On failure the terminal stays closed.
    Result<void> reset();
    // Ends the program (its terminal's hangup, then the escalating signals)
    // and the reader. Idempotent; the exit status and pid stay readable.
    void close();

    // The raw-output tap: with a limit above zero, the raw bytes each read
    // takes are also kept (the most recent `limit` bytes) until take_tap.
    void set_tap(std::size_t limit);
    std::string take_tap();
    // The cursor-key mode the program set (DECCKM), followed always.
    bool app_cursor();

private:
    explicit NativeTerminal(LaunchPlan plan) : plan_(std::move(plan)) {}
    Result<void> spawn_locked();
    void close_locked();
    // Tap and cursor mode see the bytes, then the history records them.
    std::string hand_over(CleanRead& read);
    Result<Session*> open_session();

    std::mutex mutex_;
    LaunchPlan plan_;
    std::unique_ptr<Session> session_;
    pid_t pid_ = -1;
    std::optional<int> final_status_;  // waitpid status kept across close
    std::size_t tap_limit_ = 0;
    std::string tap_;
    CursorKeyMode cursor_;
};

// The message of a failed start, as the agent layer shows it.
std::string start_failure_text(const LaunchPlan& plan, const SpawnFailure& failure);

}  // namespace pellux::agent
