#include "agent_binding/native_terminal.hpp"

#include <sys/wait.h>

#include <cerrno>

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

std::expected<std::unique_ptr<NativeTerminal>, StartFailure> NativeTerminal::start(LaunchPlan plan) {
    std::unique_ptr<NativeTerminal> terminal(new NativeTerminal(std::move(plan)));
    auto process = PtyProcess::spawn(terminal->plan_.program, terminal->plan_.argv,
                                     terminal->plan_.options);
    if (!process) {
        return std::unexpected(StartFailure{process.error().step, process.error().err,
                                            start_failure_text(terminal->plan_, process.error())});
    }
    terminal->pid_ = process->child_pid();
    auto session = attach_session(std::move(*process), terminal->plan_.program, true,
                                  kMaxHistoryBytes);
    if (!session) {
        return std::unexpected(
            StartFailure{SpawnFailure::Step::Exec, EIO, std::move(session.error().message)});
    }
    terminal->session_ = std::move(*session);
    if (auto stored = set_ready_markers(*terminal->session_, terminal->plan_.ready_markers); !stored) {
        return std::unexpected(
            StartFailure{SpawnFailure::Step::Exec, EIO, std::move(stored.error().message)});
    }
    return terminal;
}

NativeTerminal::~NativeTerminal() {
    std::lock_guard lock(mutex_);
    close_locked();
}

pid_t NativeTerminal::pid() {
    std::lock_guard lock(mutex_);
    return pid_;
}

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

std::string NativeTerminal::hand_over(CleanRead& read) {
    std::string_view raw = read.taken.bytes();
    cursor_.feed(raw);
    if (tap_limit_ > 0 && !raw.empty()) {
        if (raw.size() >= tap_limit_) {
            tap_.assign(raw.substr(raw.size() - tap_limit_));
        } else {
            std::size_t keep = std::min(tap_.size(), tap_limit_ - raw.size());
            tap_.erase(0, tap_.size() - keep);
            tap_.append(raw);
        }
    }
    read.taken.commit();
    return std::move(read.text);
}

Result<ReadResult> NativeTerminal::read(const ReadParams& params) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    AlreadyReleased released;
    ReadEnd end = ReadEnd::Timeout;
    CleanRead read = read_until_ready(**session, params, released, &end);
    return ReadResult{hand_over(read), end};
}

Result<ReadResult> NativeTerminal::send(std::string_view input, const ReadParams& params) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    auto fits = check_line_lengths((*session)->process.master(), input);
    if (!fits) return runtime_error("send failed: " + fits.error());
    AlreadyReleased released;
    ReadEnd end = ReadEnd::Timeout;
    auto read = send_and_read_until_ready(**session, input, params, released, &end);
    if (!read) return std::unexpected(read.error());
    return ReadResult{hand_over(*read), end};
}

Result<std::string> NativeTerminal::read_available(std::optional<std::uint32_t> max_bytes) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    auto read = take_available(**session, max_bytes);
    if (!read) return std::unexpected(read.error());
    return hand_over(*read);
}

Result<void> NativeTerminal::write(std::string_view bytes, std::uint64_t timeout_ms) {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    AlreadyReleased released;
    return write_bytes(**session, bytes, &released, deadline_after(Clock::now(), timeout_ms));
}

Result<void> NativeTerminal::interrupt() {
    std::lock_guard lock(mutex_);
    auto session = open_session();
    if (!session) return std::unexpected(session.error());
    AlreadyReleased released;
    return send_ctrl_c(**session, &released);
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
    cursor_ = CursorKeyMode{};
    auto process = PtyProcess::spawn(plan_.program, plan_.argv, plan_.options);
    if (!process) return start_error(start_failure_text(plan_, process.error()));
    pid_ = process->child_pid();
    auto session = attach_session(std::move(*process), plan_.program, true, kMaxHistoryBytes);
    if (!session) return std::unexpected(session.error());
    session_ = std::move(*session);
    return set_ready_markers(*session_, plan_.ready_markers);
}

void NativeTerminal::close() {
    std::lock_guard lock(mutex_);
    close_locked();
}

void NativeTerminal::close_locked() {
    if (!session_) return;
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

bool NativeTerminal::app_cursor() {
    std::lock_guard lock(mutex_);
    return cursor_.application();
}

}  // namespace pellux::agent
