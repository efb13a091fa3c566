// One program in its own terminal for the agent layer, on pellux's session
// core: started with an argument vector, environment, directory and size;
// raw writes; resize; the exit status; why each read ended; what is in
// front (the foreground process, the modes the program set, hidden input);
// and an optional tap of the raw output for a screen emulator.
//
// Unlike a Pellux session it has no owner thread: every operation takes the
// terminal's mutex, so any thread may call it, one call at a time. Three
// calls also reach a read that runs on another thread, without that mutex:
// cancel, interrupt and close end it at once (it returns what it has), then
// interrupt and close do their own work. Callers must not hold a lock that
// another caller needs while it waits here (the binding releases the
// interpreter lock before it calls in). No Python here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent_binding/cursor_mode.hpp"
#include "readiness/input_probe.hpp"
#include "readiness/readiness.hpp"
#include "readiness/terminal_queries.hpp"
#include "session/pty_process.hpp"
#include "session/recording.hpp"
#include "session/result.hpp"
#include "session/session.hpp"

namespace pellux::agent {

// The size a recording stops at unless told otherwise: hours of an ordinary
// session, bounded so that a flood cannot fill the disk.
inline constexpr std::uint64_t kDefaultRecordingCap = 64ull * 1024 * 1024;

// What start (and reset) runs.
struct LaunchPlan {
    std::string program;            // a path, or a name looked up along the env's PATH
    std::vector<std::string> argv;  // argv[0] included
    SpawnOptions options;
    std::vector<std::string> ready_markers;  // empty: reads end on quiet output
    // Records output, input and resizes, across restarts; null records nothing.
    std::shared_ptr<Recording> recording = nullptr;
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
    // Why the input probe could not tell, when it could not during the read.
    std::string probe_unknown;
};

class NativeTerminal;

// A read's result while the terminal stays locked: the caller turns the
// text into what it hands on, then commits, which records the raw bytes
// (tap, cursor-key mode, history). Dropped uncommitted (the hand-over
// failed), it puts the bytes back at the head of the queue: the next read
// starts with them, and nothing is lost or seen twice.
class HeldRead {
public:
    HeldRead(HeldRead&&) noexcept = default;
    HeldRead& operator=(HeldRead&&) = delete;

    const std::string& text() const { return read_.text; }
    ReadEnd end() const { return end_; }
    const std::string& probe_unknown() const { return probe_unknown_; }
    // Records the bytes; all or nothing (throws std::bad_alloc with nothing
    // recorded). Once only.
    void commit();
    // Commits and hands the text over.
    ReadResult commit_and_release();

private:
    friend class NativeTerminal;
    HeldRead(std::unique_lock<std::mutex> lock, NativeTerminal& terminal, CleanRead read, ReadEnd end,
             std::string probe_unknown)
        : lock_(std::move(lock)),
          terminal_(&terminal),
          read_(std::move(read)),
          end_(end),
          probe_unknown_(std::move(probe_unknown)) {}

    std::unique_lock<std::mutex> lock_;  // released last, after the bytes are back or recorded
    NativeTerminal* terminal_;
    CleanRead read_;
    ReadEnd end_;
    std::string probe_unknown_;
};

// The terminal's screen, when the binding keeps one: when the program asks
// something, it takes the output up to the question at once (ahead of the
// tap) and says what its emulator answers, empty for nothing. Called with
// the terminal locked, from the thread that reads.
class ScreenAnswers {
public:
    virtual ~ScreenAnswers() = default;
    virtual std::string answer(std::string_view output) = 0;
};

// How the program ended, once it has: its exit code, or the signal that
// ended it.
struct ExitStatus {
    std::optional<int> code;
    std::optional<int> signal;
};

// The process in front of the terminal: of its foreground process group,
// the youngest member that started no other (see front_of_group): the
// program, or the job or child it runs in front (a pager, an editor).
struct Foreground {
    pid_t pid;
    std::string name;  // its command name, as /proc shows it ("" once gone)
};

// What a turn tells of the terminal besides the text, taken in one look
// when the read ends.
struct TurnFacts {
    bool alive = false;
    std::optional<Foreground> front;  // only while the program runs
    bool alt_screen = false;
    bool echo_off = false;
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

    // Waits under params.rule and says why it ended. The held forms keep the
    // terminal locked until the result is committed or dropped; the others
    // commit at once.
    // `stops_seen`, when given, is a stop_count() the caller took before:
    // a read that begins after another stop (a cancel, an interrupt or a
    // close in between) ends at once as that stop would have ended it. A
    // caller that reads in several steps (a pattern wait) so misses none.
    Result<HeldRead> read_held(const ReadParams& params,
                               std::optional<std::uint64_t> stops_seen = std::nullopt);
    Result<ReadResult> read(const ReadParams& params);
    // How many times cancel, interrupt and close have been called.
    std::uint64_t stop_count();
    // Writes `input` and a line feed, then reads; the write is bounded by the
    // read's timeout. Input of several lines to a program that set
    // bracketed paste goes as one paste, then the line feed.
    Result<HeldRead> send_held(std::string_view input, const ReadParams& params);
    Result<ReadResult> send(std::string_view input, const ReadParams& params);
    // What is queued now, without waiting (its end is Timeout).
    Result<HeldRead> read_available_held(std::optional<std::uint32_t> max_bytes);
    Result<std::string> read_available(std::optional<std::uint32_t> max_bytes);
    // Ends the read or send that runs now on another thread, at once: it
    // returns what it has, with the end Interrupted. No effect when none
    // runs. Never waits for the running call.
    void cancel();
    // One look of the input probe now. `reason` receives why, when Unknown.
    Result<InputVerdict> probe(std::string& reason);
    // Raw bytes, nothing added, given up after `timeout_ms` with
    // "write failed: timed out ...".
    Result<void> write(std::string_view bytes, std::uint64_t timeout_ms);
    // Types `secret` and a line feed, recorded nowhere (the recording gets
    // a marker without the value), and only while a program of the
    // foreground group reads a line without echo from /dev/tty, as a
    // password prompt does: the value cannot come back in the output.
    // Refused, nothing typed, otherwise (echo on, a line editor that echoes
    // by itself, a plain line read). Bounded like write.
    Result<void> write_secret(std::string_view secret, std::uint64_t timeout_ms);
    // Ends a running read (Interrupted), then Ctrl-C as a terminal types it.
    Result<void> interrupt();
    Result<void> resize(unsigned short rows, unsigned short cols);
    Result<std::string> history();
    // Ends the program and starts it again from the same plan, with a fresh
    // history. On failure the terminal stays closed.
    Result<void> reset();
    // Ends a running read (Closed), then the program (its terminal's hangup,
    // then the escalating signals) and the reader. Idempotent; the exit
    // status and pid stay readable.
    void close();

    // The raw-output tap: with a limit above zero, the raw bytes each read
    // takes are also kept (the most recent `limit` bytes) until take_tap.
    void set_tap(std::size_t limit);
    std::string take_tap();
    // Whether a password prompt reads the terminal now: what write_secret
    // requires.
    Result<bool> reads_hidden_line();
    // Bytes written to the recording so far; none without a recording.
    std::optional<std::uint64_t> recording_size();
    // The modes the program set (see TerminalModes), followed always, as of
    // the output reads have taken.
    bool app_cursor();
    // Who answers the program's queries: the screen, or (null) the fixed
    // answers of a terminal without one.
    void set_screen_answers(std::unique_ptr<ScreenAnswers> screen);
    bool alt_screen();
    bool bracketed_paste();
    // The process in front of the terminal now; none once closed or when
    // the terminal has no foreground group. Reads /proc: a few files per
    // process of that group.
    std::optional<Foreground> foreground();
    // Whether the terminal reads lines with echo off now (canonical mode
    // without ECHO): how getpass, sudo and ssh read a secret. A line editor
    // (readline) also turns ECHO off, but reads keys, not lines, and echoes
    // them itself: that is not hidden input.
    bool echo_off();
    // All of the above and whether the program runs, under one lock.
    TurnFacts facts();

private:
    friend class HeldRead;

    // The stop of the read that runs now, as other threads reach it.
    struct RunningRead {
        ReceiveStop stop;
        ChannelWatch channel;
    };
    // Registers a read's stop for the calls that end it, for one scope; a
    // stop requested before the read began (a close or an interrupt on its
    // way) is passed on at once.
    class StopScope;

    explicit NativeTerminal(LaunchPlan plan) : plan_(std::move(plan)) {}
    Result<void> attach(PtyProcess process);
    void close_locked();
    // Asks the running read, if any, to stop.
    void stop_running(ReceiveStop::Why why);
    // The read of read_held and send_held, under `lock` and the stop scope
    // the call registered (a send's covers its write too).
    HeldRead read_locked(std::unique_lock<std::mutex> lock, const ReadParams& params,
                         Session& session, StopScope& scope);
    // The line of send_held: `input` as a paste when the program asked for
    // that and it holds a line feed, then a line feed.
    Result<std::string> typed_line(std::string_view input);
    // Tap and cursor mode see the bytes, then the history records them.
    void record(CleanRead& read);
    // Finds the queries in what a read has taken so far that no earlier
    // look found, and types their answers; true when it typed any.
    bool answer_queries(Session& session, std::string_view taken, const ReceiveStop* stop);
    class Answering;
    Result<Session*> open_session();
    std::optional<Foreground> foreground_locked();
    bool echo_off_locked();

    std::mutex mutex_;
    LaunchPlan plan_;
    std::unique_ptr<Session> session_;
    std::optional<InputProbe> probe_;
    std::atomic<pid_t> pid_{-1};
    // Under stop_mutex_ only, which is never held while anything waits.
    std::mutex stop_mutex_;
    RunningRead* running_ = nullptr;
    int closing_ = 0;       // closes on their way to the lock
    int interrupting_ = 0;  // interrupts on their way to the lock
    std::uint64_t stops_ = 0;  // every stop request so far
    ReceiveStop::Why last_stop_ = ReceiveStop::Why::None;
    std::optional<int> final_status_;  // waitpid status kept across close
    std::size_t tap_limit_ = 0;
    std::string tap_;
        // The program's queries. Both counts are of the output not committed
    // yet, from its first byte: how much the scanner has seen, and how much
    // the screen took ahead of the tap. A read dropped uncommitted puts its
    // bytes back where they were, so the counts stay true for the next.
    QueryScanner queries_;
    std::vector<TerminalQuery> found_;
    std::size_t scanned_ = 0;
    std::size_t fed_ = 0;
    std::unique_ptr<ScreenAnswers> screen_answers_;
    TerminalModes modes_;
};

// The message of a failed start, as the agent layer shows it.
std::string start_failure_text(const LaunchPlan& plan, const SpawnFailure& failure);

}  // namespace pellux::agent
