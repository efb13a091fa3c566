#include "agent_binding/native_terminal.hpp"

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "readiness/proc_files.hpp"
#include "session/errno_text.hpp"

namespace pellux::agent {

namespace {

using Clock = std::chrono::steady_clock;

// The core's waits may hand the interpreter back while they wait; the binding
// has already released it for the whole call, so there is nothing to do.
class AlreadyReleased final : public InterpreterRelease {
public:
    void release() noexcept override {}
    void reacquire() override {}
};

Result<void> closed_error() { return runtime_error("the terminal is closed"); }

// What /proc says of one process: its group, whether it is still a running
// process (not a zombie), and when it started.
struct ProcessLook {
    pid_t group = -1;
    bool live = false;
    unsigned long long started = 0;
};

ProcessLook look_at(pid_t pid) {
    ProcessLook look;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    char line[1024];
    const ssize_t n = proc::read_file(path, line, sizeof line);
    proc::StatFields fields{};
    std::int64_t started = 0;
    if (n <= 0 || !proc::parse_stat(line, static_cast<std::size_t>(n), fields) ||
        !proc::parse_start_time(line, static_cast<std::size_t>(n), started)) {
        return look;
    }
    look.group = fields.pgrp;
    look.live = fields.state != 'Z' && fields.state != 'X';
    look.started = static_cast<unsigned long long>(started);
    return look;
}

// The children of every thread of `pid`, as /proc lists them.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> found;
    char tasks[64];
    std::snprintf(tasks, sizeof tasks, "/proc/%d/task", static_cast<int>(pid));
    DIR* dir = ::opendir(tasks);
    if (dir == nullptr) return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        char path[sizeof tasks + sizeof entry->d_name + 16];
        std::snprintf(path, sizeof path, "%s/%s/children", tasks, entry->d_name);
        char list[4096];
        if (proc::read_file(path, list, sizeof list) <= 0) continue;
        for (const char* at = list; *at != '\0';) {
            char* end = nullptr;
            const long child = std::strtol(at, &end, 10);
            if (end == at) break;
            found.push_back(static_cast<pid_t>(child));
            at = end;
        }
    }
    ::closedir(dir);
    return found;
}

// The process of a foreground group that a person sees in front: the group
// leader hands the terminal to the children it starts in its own group
// (git to its pager or editor, man to its pager, a program's shell-less
// subprocess), so the answer is the youngest member that has started no
// other member, found by walking down from the leader. A pipeline's last
// command (a pager) is its youngest. Bounded, for a group that forks
// without end.
pid_t front_of_group(pid_t group) {
    constexpr std::size_t kMostMembers = 256;
    std::vector<pid_t> leaves;
    std::vector<pid_t> pending{group};
    std::size_t seen = 0;
    while (!pending.empty() && seen < kMostMembers) {
        const pid_t pid = pending.back();
        pending.pop_back();
        ++seen;
        bool leaf = true;
        for (pid_t child : children_of(pid)) {
            const ProcessLook look = look_at(child);
            if (look.group == group && look.live) {
                leaf = false;
                pending.push_back(child);
            }
        }
        if (leaf) leaves.push_back(pid);
    }
    // Mostly the leader alone (a shell or a REPL at its prompt): then there
    // is nothing to compare.
    if (leaves.size() == 1) return leaves.front();
    pid_t best = group;
    unsigned long long best_started = 0;
    bool found = false;
    for (pid_t pid : leaves) {
        const ProcessLook self = look_at(pid);
        if (!found || self.started > best_started || (self.started == best_started && pid > best)) {
            best = pid;
            best_started = self.started;
            found = true;
        }
    }
    return best;
}

// What a terminal sends around pasted text once the program asked for it.
constexpr std::string_view kPasteStart = "\x1b[200~";
constexpr std::string_view kPasteEnd = "\x1b[201~";

// Whether a process of the terminal's foreground group sleeps in a read of
// a descriptor it opened as /dev/tty. That is how a password prompt reads
// (getpass, sudo, ssh, su, psql open the controlling terminal by that name,
// so that no redirected input can answer them), and what tells it from a
// plain line read: this terminal starts with echo off, so echo alone does
// not. Reads /proc; a process it may not look at does not count.
bool foreground_reads_dev_tty(int master) {
    const pid_t group = ::tcgetpgrp(master);
    if (group <= 0) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return false;
    while (const dirent* entry = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        char path[sizeof entry->d_name + 32];
        std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        char stat[512];
        const ssize_t n = proc::read_file(path, stat, sizeof stat);
        proc::StatFields fields{};
        if (n <= 0 || !proc::parse_stat(stat, static_cast<std::size_t>(n), fields) || fields.pgrp != group) {
            continue;
        }
        std::snprintf(path, sizeof path, "/proc/%s/syscall", entry->d_name);
        char call[256];
        if (proc::read_file(path, call, sizeof call) <= 0) continue;
        long number = -1;
        unsigned long fd = 0;
        if (std::sscanf(call, "%ld %lx", &number, &fd) != 2 || number != SYS_read) continue;
        char target[64] = {};
        char link[sizeof entry->d_name + 64];
        std::snprintf(link, sizeof link, "/proc/%s/fd/%lu", entry->d_name, fd);
        const ssize_t linked = ::readlink(link, target, sizeof target - 1);
        if (linked > 0 && std::string_view(target, static_cast<std::size_t>(linked)) == "/dev/tty") return true;
    }
    return false;
}

// Why a value typed now would not be hidden, or nothing when the terminal
// reads a line without echo. A password prompt (getpass, sudo, ssh, psql)
// reads a line with echo off. A line editor (readline at a shell prompt)
// also turns echo off, but reads key by key and echoes by itself: the value
// would show, and run as a command. Only the first is a hidden read. The
// master reports the settings the program set on its side.
std::optional<std::string> hidden_line_refusal(int master) {
    termios settings{};
    if (::tcgetattr(master, &settings) != 0) {
        return "failed: cannot read the terminal's settings: " + errno_text(errno);
    }
    const char* why = nullptr;
    if ((settings.c_lflag & ECHO) != 0) {
        why = "the terminal echoes input";
    } else if ((settings.c_lflag & ICANON) == 0) {
        why = "it reads key by key and may echo by itself";
    } else if (!foreground_reads_dev_tty(master)) {
        why = "no program reads a password prompt on /dev/tty";
    } else {
        return std::nullopt;
    }
    return std::string("refused: the program is not reading a hidden line now (") + why +
           "), so the value could show in its output; nothing was typed. Wait for its password "
           "prompt, which reads a line with echo off";
}

}  // namespace

std::string start_failure_text(const LaunchPlan& plan, const SpawnFailure& failure) {
    if (failure.step == SpawnFailure::Step::Cwd) {
        return "Failed to change directory to '" + plan.options.cwd.value_or("") +
               "': " + errno_text(failure.err);
    }
    if (failure.step == SpawnFailure::Step::Changed) {
        return "Failed to spawn process with command '" + plan.program +
               "': the file is no longer the one that was checked";
    }
    return "Failed to spawn process with command '" + plan.program + "': " + errno_text(failure.err);
}

class NativeTerminal::StopScope {
public:
    StopScope(NativeTerminal& terminal, Session& session,
              std::optional<std::uint64_t> stops_seen = std::nullopt)
        : terminal_(terminal), running_{ReceiveStop{}, session.channel} {
        std::lock_guard lock(terminal_.stop_mutex_);
        if (stops_seen && *stops_seen != terminal_.stops_) {
            running_.stop.request(terminal_.last_stop_);
        } else if (terminal_.closing_ > 0) {
            running_.stop.request(ReceiveStop::Why::Closed);
        } else if (terminal_.interrupting_ > 0) {
            running_.stop.request(ReceiveStop::Why::Interrupted);
        }
        terminal_.running_ = &running_;
    }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;
    ~StopScope() {
        std::lock_guard lock(terminal_.stop_mutex_);
        terminal_.running_ = nullptr;
    }

    const ReceiveStop* stop() const { return &running_.stop; }

private:
    NativeTerminal& terminal_;
    RunningRead running_;
};

// The read loop's watch: the answers go out while the read waits.
class NativeTerminal::Answering final : public OutputWatch {
public:
    Answering(NativeTerminal& terminal, Session& session, const ReceiveStop* stop)
        : terminal_(terminal), session_(session), stop_(stop) {}
    bool saw(std::string_view taken, std::size_t) override {
        return terminal_.answer_queries(session_, taken, stop_);
    }

private:
    NativeTerminal& terminal_;
    Session& session_;
    const ReceiveStop* stop_;
};

void HeldRead::commit() {
    terminal_->record(read_);
}

ReadResult HeldRead::commit_and_release() {
    commit();
    return ReadResult{std::move(read_.text), end_, std::move(probe_unknown_)};
}

std::expected<std::unique_ptr<NativeTerminal>, StartFailure> NativeTerminal::start(LaunchPlan plan) {
    std::unique_ptr<NativeTerminal> terminal(new NativeTerminal(std::move(plan)));
    auto process = PtyProcess::spawn(terminal->plan_.program, terminal->plan_.argv,
                                     terminal->plan_.options);
    if (!process) {
        return std::unexpected(StartFailure{process.error().step, process.error().err,
                                            start_failure_text(terminal->plan_, process.error())});
    }
    if (auto attached = terminal->attach(std::move(*process)); !attached) {
        return std::unexpected(
            StartFailure{SpawnFailure::Step::Exec, EIO, std::move(attached.error().message)});
    }
    return terminal;
}

Result<void> NativeTerminal::attach(PtyProcess process) {
    pid_.store(process.child_pid());
    const int master = process.master();
    auto session = attach_session(std::move(process), plan_.program, true, kMaxHistoryBytes,
                                  plan_.recording);
    if (!session) return std::unexpected(session.error());
    session_ = std::move(*session);
    probe_.emplace(pid_.load(), master);
    return set_ready_markers(*session_, plan_.ready_markers);
}

NativeTerminal::~NativeTerminal() {
    std::lock_guard lock(mutex_);
    close_locked();
    if (plan_.recording) plan_.recording->finish();
}

pid_t NativeTerminal::pid() { return pid_.load(); }

bool NativeTerminal::alive() {
    std::lock_guard lock(mutex_);
    if (!session_) return false;
    auto alive = session_->process.is_alive();
    if (!alive) return false;  // a failed status query: nothing to wait for
    if (!*alive) final_status_ = session_->process.wait_status();
    return *alive;
}

std::optional<ExitStatus> NativeTerminal::exit_status() {
    std::lock_guard lock(mutex_);
    if (session_) {
        auto alive = session_->process.is_alive();
        if (alive && !*alive) final_status_ = session_->process.wait_status();
    }
    if (!final_status_) return std::nullopt;
    int status = *final_status_;
    if (WIFEXITED(status)) return ExitStatus{WEXITSTATUS(status), std::nullopt};
    if (WIFSIGNALED(status)) return ExitStatus{std::nullopt, WTERMSIG(status)};
    return std::nullopt;
}

Result<Session*> NativeTerminal::open_session() {
    if (!session_) return std::unexpected(closed_error().error());
    return session_.get();
}

void NativeTerminal::record(CleanRead& read) {
    std::string_view raw = read.taken.bytes();
    // The history first: it is the one step that may fail, and then nothing
    // else has seen the bytes, which go back to the queue.
    read.taken.commit();
    modes_.feed(raw);
    scanned_ -= std::min(scanned_, raw.size());
    // What the screen took ahead does not go through the tap again.
    const std::size_t early = std::min(fed_, raw.size());
    fed_ -= early;
    raw.remove_prefix(early);
    if (tap_limit_ > 0 && !raw.empty()) {
        if (raw.size() >= tap_limit_) {
            tap_.assign(raw.substr(raw.size() - tap_limit_));
        } else {
            std::size_t keep = std::min(tap_.size(), tap_limit_ - raw.size());
            tap_.erase(0, tap_.size() - keep);
            tap_.append(raw);
        }
    }
}

bool NativeTerminal::answer_queries(Session& session, std::string_view taken, const ReceiveStop* stop) {
    if (scanned_ >= taken.size()) return false;
    found_.clear();
    queries_.scan(taken.substr(scanned_), found_);
    scanned_ = taken.size();
    if (found_.empty()) return false;
    std::string answer;
    if (screen_answers_) {
        // The screen takes everything up to here, in order: what the tap
        // holds, then what this read took that it has not had.
        std::string output = std::exchange(tap_, std::string());
        if (fed_ < taken.size()) output.append(taken.substr(fed_));
        fed_ = std::max(fed_, taken.size());
        answer = screen_answers_->answer(output);
    } else {
        for (TerminalQuery query : found_) answer.append(fixed_answer(query));
    }
    if (answer.empty()) return false;
    // Typed as a terminal types it; a program that has ended or reads
    // nothing (its input full for a second) goes without.
    AlreadyReleased released;
    return write_bytes(session, answer, &released,
                       deadline_after(Clock::now(), static_cast<std::uint64_t>(kInterruptWriteBound.count())),
                       stop)
        .has_value();
}

void NativeTerminal::stop_running(ReceiveStop::Why why) {
    std::lock_guard lock(stop_mutex_);
    ++stops_;
    last_stop_ = why;
    if (running_ == nullptr) return;
    running_->stop.request(why);
    running_->channel.wake_receiver();
}

HeldRead NativeTerminal::read_locked(std::unique_lock<std::mutex> lock, const ReadParams& params,
                                     Session& session, StopScope& scope) {
    AlreadyReleased released;
    ReadEnd end = ReadEnd::Timeout;
    std::string unknown;
    Answering answering(*this, session, scope.stop());
    ReadAids aids{probe_ ? &*probe_ : nullptr, scope.stop(), &unknown, &answering};
    CleanRead read = read_until_ready(session, params, released, &end, aids);
    return HeldRead(std::move(lock), *this, std::move(read), end, std::move(unknown));
}

Result<HeldRead> NativeTerminal::read_held(const ReadParams& params,
                                           std::optional<std::uint64_t> stops_seen) {
    std::unique_lock lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    StopScope scope(*this, **session, stops_seen);
    return read_locked(std::move(lock), params, **session, scope);
}

Result<ReadResult> NativeTerminal::read(const ReadParams& params) {
    auto held = read_held(params);
    if (!held) return std::unexpected(held.error());
    return held->commit_and_release();
}

std::uint64_t NativeTerminal::stop_count() {
    std::lock_guard lock(stop_mutex_);
    return stops_;
}

Result<std::string> NativeTerminal::typed_line(std::string_view input) {
    std::string line;
    if (!modes_.bracketed_paste() || input.find('\n') == std::string_view::npos) {
        line.reserve(input.size() + 1);
        line.append(input);
        line.push_back('\n');
        return line;
    }
    // The program takes the lines as one piece of input, as pasted text, and
    // runs it when Enter follows: no line is read (and run, or answered with
    // a continuation prompt) before the rest has arrived. The paste's end
    // inside the text would end the paste early and type the rest as keys.
    if (input.find(kPasteEnd) != std::string_view::npos) {
        return runtime_error(
            "send failed: the input holds ESC [ 201 ~, which would end the paste early; nothing "
            "was typed");
    }
    line.reserve(kPasteStart.size() + input.size() + kPasteEnd.size() + 1);
    line.append(kPasteStart);
    line.append(input);
    line.append(kPasteEnd);
    line.push_back('\n');
    return line;
}

Result<HeldRead> NativeTerminal::send_held(std::string_view input, const ReadParams& params) {
    std::unique_lock lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    // A line the terminal would cut is refused before anything is typed.
    auto fits = check_line_lengths((*session)->process.master(), input);
    if (!fits) return runtime_error("send failed: " + fits.error());
    auto typed = typed_line(input);
    if (!typed) return std::unexpected(typed.error());
    const std::string& line = *typed;
    // The write is bounded by the same timeout as the read that follows, and
    // ends like the read when another thread stops the call: then the read
    // returns at once with what is queued and why it ended.
    StopScope scope(*this, **session);
    AlreadyReleased released;
    const auto deadline = deadline_after(Clock::now(), params.timeout_ms.value_or(kDefaultTimeoutMs));
    if (auto written = write_bytes(**session, line, &released, deadline, scope.stop()); !written) {
        if (!scope.stop()->requested()) return std::unexpected(written.error());
    } else if (plan_.recording) {
        plan_.recording->input(line);
    }
    return read_locked(std::move(lock), params, **session, scope);
}

Result<ReadResult> NativeTerminal::send(std::string_view input, const ReadParams& params) {
    auto held = send_held(input, params);
    if (!held) return std::unexpected(held.error());
    return held->commit_and_release();
}

Result<HeldRead> NativeTerminal::read_available_held(std::optional<std::uint32_t> max_bytes) {
    std::unique_lock lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    auto read = take_available(**session, max_bytes);
    if (!read) return std::unexpected(read.error());
    answer_queries(**session, read->taken.bytes(), nullptr);
    return HeldRead(std::move(lock), *this, std::move(*read), ReadEnd::Timeout, {});
}

Result<std::string> NativeTerminal::read_available(std::optional<std::uint32_t> max_bytes) {
    auto held = read_available_held(max_bytes);
    if (!held) return std::unexpected(held.error());
    return held->commit_and_release().text;
}

void NativeTerminal::cancel() { stop_running(ReceiveStop::Why::Interrupted); }

Result<InputVerdict> NativeTerminal::probe(std::string& reason) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    Session& s = **session;
    probe_->rescan();
    const ProbeLook look = probe_->check([&s] { return s.reader_idle(); });
    reason.assign(look.verdict == InputVerdict::Unknown ? probe_->reason() : std::string_view());
    return look.verdict;
}

Result<void> NativeTerminal::write(std::string_view bytes, std::uint64_t timeout_ms) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    // Another thread's interrupt or close ends a write that waits for room,
    // as it ends a read: "write failed: stopped ...", nothing left behind.
    StopScope scope(*this, **session);
    AlreadyReleased released;
    auto written = write_bytes(**session, bytes, &released, deadline_after(Clock::now(), timeout_ms),
                               scope.stop());
    if (written && plan_.recording) plan_.recording->input(bytes);
    return written;
}

Result<void> NativeTerminal::write_secret(std::string_view secret, std::uint64_t timeout_ms) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    const int master = (*session)->process.master();
    if (auto refused = hidden_line_refusal(master)) return runtime_error("send_secret " + *refused);
    auto fits = check_line_lengths(master, secret);
    if (!fits) return runtime_error("send_secret failed: " + fits.error());
    std::string line;
    line.reserve(secret.size() + 1);
    line.append(secret);
    line.push_back('\n');
    StopScope scope(*this, **session);
    AlreadyReleased released;
    auto written = write_bytes(**session, line, &released, deadline_after(Clock::now(), timeout_ms),
                               scope.stop());
    ::explicit_bzero(line.data(), line.size());
    if (written && plan_.recording) plan_.recording->marker("hidden input typed");
    return written;
}

Result<void> NativeTerminal::interrupt() {
    {
        std::lock_guard lock(stop_mutex_);
        ++interrupting_;
    }
    stop_running(ReceiveStop::Why::Interrupted);
    std::unique_lock lock(mutex_);
    {
        std::lock_guard stop_lock(stop_mutex_);
        --interrupting_;
    }
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    AlreadyReleased released;
    auto sent = send_ctrl_c(**session, &released);
    if (sent && plan_.recording) plan_.recording->input("\x03");
    return sent;
}

Result<void> NativeTerminal::resize(unsigned short rows, unsigned short cols) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    if (int e = (*session)->process.resize(rows, cols); e != 0) {
        return runtime_error("resize failed: " + errno_text(e));
    }
    plan_.options.rows = rows;  // a restart keeps the size the program last had
    plan_.options.cols = cols;
    if (plan_.recording) plan_.recording->resize(rows, cols);
    return {};
}

Result<std::string> NativeTerminal::history() {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    return get_history(**session);
}

Result<void> NativeTerminal::reset() {
    std::lock_guard lock(mutex_);
    close_locked();
    final_status_.reset();
    tap_.clear();
    modes_ = TerminalModes{};
    queries_ = QueryScanner{};
    scanned_ = fed_ = 0;
    auto process = PtyProcess::spawn(plan_.program, plan_.argv, plan_.options);
    if (!process) return start_error(start_failure_text(plan_, process.error()));
    // A player starts a fresh screen here, as the terminal's screen does.
    if (plan_.recording) plan_.recording->marker("restart");
    return attach(std::move(*process));
}

void NativeTerminal::close() {
    {
        std::lock_guard lock(stop_mutex_);
        ++closing_;
    }
    stop_running(ReceiveStop::Why::Closed);
    std::lock_guard lock(mutex_);
    close_locked();
    // After the reader thread has ended: the program's last output is in.
    if (plan_.recording) plan_.recording->finish();
    std::lock_guard stop_lock(stop_mutex_);
    --closing_;
}

void NativeTerminal::close_locked() {
    if (!session_) return;
    probe_.reset();
    close_inner(*session_);
    if (auto status = session_->process.wait_status()) final_status_ = status;
    session_.reset();
}

void NativeTerminal::set_tap(std::size_t limit) {
    std::lock_guard lock(mutex_);
    tap_limit_ = limit;
    if (tap_.size() > limit) tap_.erase(0, tap_.size() - limit);
}

std::string NativeTerminal::take_tap() {
    std::lock_guard lock(mutex_);
    return std::exchange(tap_, std::string());
}

void NativeTerminal::set_screen_answers(std::unique_ptr<ScreenAnswers> screen) {
    std::unique_ptr<ScreenAnswers> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(screen_answers_, std::move(screen));
    }
    // The old one goes outside the lock: its end may wait for the binding.
}

std::optional<std::uint64_t> NativeTerminal::recording_size() {
    if (!plan_.recording) return std::nullopt;  // set at start, never changed
    return plan_.recording->size();
}

Result<bool> NativeTerminal::reads_hidden_line() {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    return !hidden_line_refusal((*session)->process.master()).has_value();
}

bool NativeTerminal::app_cursor() {
    std::lock_guard lock(mutex_);
    return modes_.app_cursor();
}

bool NativeTerminal::alt_screen() {
    std::lock_guard lock(mutex_);
    return modes_.alt_screen();
}

bool NativeTerminal::bracketed_paste() {
    std::lock_guard lock(mutex_);
    return modes_.bracketed_paste();
}

std::optional<Foreground> NativeTerminal::foreground() {
    std::lock_guard lock(mutex_);
    return foreground_locked();
}

std::optional<Foreground> NativeTerminal::foreground_locked() {
    if (!session_) return std::nullopt;
    const pid_t group = ::tcgetpgrp(session_->process.master());
    if (group <= 0) return std::nullopt;
    // The name is what ps shows; a process that has just ended leaves it
    // empty.
    Foreground front{front_of_group(group), {}};
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(front.pid));
    char name[64];
    if (const ssize_t got = proc::read_file(path, name, sizeof name); got > 0) {
        const auto length = static_cast<std::size_t>(got);
        front.name.assign(name, name[length - 1] == '\n' ? length - 1 : length);
    }
    return front;
}

bool NativeTerminal::echo_off() {
    std::lock_guard lock(mutex_);
    return echo_off_locked();
}

bool NativeTerminal::echo_off_locked() {
    if (!session_) return false;
    termios attrs{};
    // The master reports the settings of the program's side.
    if (::tcgetattr(session_->process.master(), &attrs) != 0) return false;
    return (attrs.c_lflag & ICANON) != 0 && (attrs.c_lflag & ECHO) == 0;
}

TurnFacts NativeTerminal::facts() {
    std::lock_guard lock(mutex_);
    TurnFacts facts;
    if (!session_) return facts;
    auto alive = session_->process.is_alive();
    if (!alive) return facts;  // a failed status query
    if (!*alive) {
        final_status_ = session_->process.wait_status();
        return facts;  // once the program has ended nothing is in front
    }
    facts.alive = true;
    facts.front = foreground_locked();
    facts.alt_screen = modes_.alt_screen();
    facts.echo_off = echo_off_locked();
    return facts;
}

}  // namespace pellux::agent
