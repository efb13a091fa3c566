// The child of a new pseudo-terminal.
//
// PtyProcess owns the master side of the terminal and the child's pid. It is
// used by one thread at a time: whoever holds the session (a Pellux's owner
// thread, or the agent terminal's lock), with exclusive access to it for
// exit() and for destruction.
#pragma once

#include <sys/types.h>

#include <signal.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "session/unique_fd.hpp"

namespace pellux {

// Window size given to every terminal, on both sides.
inline constexpr unsigned short kTermRows = 24;
inline constexpr unsigned short kTermCols = 80;

// Sets the window size of a terminal descriptor to 80 columns by 24 rows.
// Async-signal-safe. Returns 0 or an errno value.
int set_term_size(int fd) noexcept;
// The same with a size of the caller's.
int set_term_size(int fd, unsigned short rows, unsigned short cols) noexcept;

// A file as the kernel tells files apart.
struct FileIdentity {
    dev_t device;
    ino_t inode;
};

// What a start may set beyond the program and its arguments; the defaults
// are what every Pellux session gets.
struct SpawnOptions {
    // The whole environment ("NAME=value" each); the host's when absent. Its
    // PATH, when it has one, is also where a program name without a slash
    // is looked up.
    std::optional<std::vector<std::string>> env;
    // The program's working directory; the host's when absent.
    std::optional<std::string> cwd;
    unsigned short rows = kTermRows;
    unsigned short cols = kTermCols;
    // Signals that start at their default action even when the host ignores
    // them (an ignored disposition survives exec).
    std::vector<int> default_signals;
    // The file the caller checked, when it checked one. The program must
    // then be a path (no PATH search); the parent opens it once, the start
    // fails with Step::Changed unless the opened file is this one, and the
    // child executes that descriptor, so no rename, link or swap of a
    // directory between the check and the exec can change what runs.
    std::optional<FileIdentity> expected_file;
    // Whether ending the program also ends what it leaves behind on its
    // terminal (see PtyProcess::exit). Off for pellux, whose close ends the
    // child alone.
    bool end_whole_terminal = false;
    // Whether each termination pause ends as soon as the child is gone,
    // rather than running its whole length. Off for pellux, whose close
    // pauses after every signal it sends.
    bool collect_early = false;
};

// Which step of a start failed, and why. Changed: the program's path no
// longer names the file the caller checked (err is ESTALE).
struct SpawnFailure {
    enum class Step { Exec, Cwd, Changed } step;
    int err;
};

// The slave's path name for a master descriptor, or an errno value.
std::expected<std::string, int> get_slave_name(int master);

class PtyProcess {
public:
    // Starts `program` with `argv` in a new pseudo-terminal and returns once
    // the child has executed it or reported why it could not. The program is
    // looked up along PATH when it has no slash. Errors are errno values.
    static std::expected<PtyProcess, int> spawn(const std::string& program,
                                                const std::vector<std::string>& argv);
    // The same with an environment, a directory and a size, all applied in
    // the child before exec.
    static std::expected<PtyProcess, SpawnFailure> spawn(const std::string& program,
                                                         const std::vector<std::string>& argv,
                                                         const SpawnOptions& options);

    PtyProcess(PtyProcess&&) noexcept;
    PtyProcess& operator=(PtyProcess&&) = delete;
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    // Terminates a still-running child, then closes the master. A failing
    // termination or a master found already closed cannot be raised from
    // here; it is reported on standard error.
    ~PtyProcess();

    int master() const { return master_.get(); }
    pid_t child_pid() const { return child_pid_; }

    // A new close-on-exec descriptor for the master, owned by the caller.
    std::expected<UniqueFd, int> get_raw_handle() const;

    // True while the child runs. A status query that never waits; it collects
    // an exited child, so the child never lingers as a zombie.
    std::expected<bool, int> is_alive();

    // Forced termination: SIGHUP, SIGCONT, SIGINT, SIGTERM, SIGKILL, each
    // followed by the termination pause and a status check (with
    // `collect_early`, status checks through the pause). True once the
    // child is gone. The signals are skipped when the child has already
    // exited. Started with `end_whole_terminal`, it then ends (SIGKILL) every
    // process left in the child's terminal session (background jobs, a
    // nohup'ed server) and every process that still holds the terminal open
    // (one that left the session with setsid, say), as far as /proc shows
    // them to this user: repeated sweeps catch processes that fork meanwhile,
    // for at most kStragglerBound. Those are what the reader would otherwise
    // wait on. Processes that left the session and closed the terminal are
    // not found and are not ended.
    std::expected<bool, int> exit();

    // The status waitpid reported once the child was collected (by is_alive
    // or exit); nothing while it runs or when someone else collected it.
    std::optional<int> wait_status() const { return wait_status_; }

    // Sets the terminal's window size; the kernel sends SIGWINCH to the
    // terminal's foreground process group. Returns 0 or an errno value.
    int resize(unsigned short rows, unsigned short cols) noexcept {
        return set_term_size(master_.get(), rows, cols);
    }

private:
    PtyProcess(UniqueFd master, pid_t pid) : master_(std::move(master)), child_pid_(pid) {}
    std::expected<bool, int> end_child();
    void end_stragglers();

    UniqueFd master_;
    pid_t child_pid_ = -1;
    // Once the child has been collected its pid may be reused by an unrelated
    // process; from then on no waitpid or kill may name it.
    bool collected_ = false;
    std::optional<int> wait_status_;
    std::chrono::milliseconds termination_pause_{100};
    bool end_whole_terminal_ = false;
    bool collect_early_ = false;
    bool stragglers_ended_ = false;
};

// How long exit() keeps sweeping for processes left on the terminal.
inline constexpr std::chrono::milliseconds kStragglerBound{2000};

}  // namespace pellux
