// Starting and ending the child of a pseudo-terminal.
//
// The parent prepares everything the child needs (slave name, exec
// candidates, argv, environment) before fork; the child side runs only
// async-signal-safe system calls on that memory and ends in exec or _exit.
#include "session/pty_process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace pellux {

int set_term_size(int fd) noexcept { return set_term_size(fd, kTermRows, kTermCols); }

int set_term_size(int fd, unsigned short rows, unsigned short cols) noexcept {
    struct winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    size.ws_xpixel = 0;
    size.ws_ypixel = 0;
    return ::ioctl(fd, TIOCSWINSZ, &size) == 0 ? 0 : errno;
}

std::expected<std::string, int> get_slave_name(int master) {
    char name[64] = {};
    int err = ::ptsname_r(master, name, sizeof name);
    if (err != 0) return std::unexpected(err);
    return std::string(name, ::strnlen(name, sizeof name));
}

namespace {

// Stack for the child between clone and exec: child_after_fork needs a few
// KiB (a termios record, a sigaction, a handful of locals).
constexpr std::size_t kChildStackBytes = 64 * 1024;

// Address and thread sanitizer runtimes cannot follow a child that runs on
// our memory (they report races and stack mix-ups that are not there); their
// builds fork.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kChildSharesMemory = false;
#else
constexpr bool kChildSharesMemory = true;
#endif

class ChildStack {
public:
    explicit ChildStack(bool needed)
        : base_(needed ? ::mmap(nullptr, kChildStackBytes, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)
                       : nullptr) {}
    ~ChildStack() {
        if (base_ != nullptr && valid()) ::munmap(base_, kChildStackBytes);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;
    bool valid() const { return base_ != MAP_FAILED; }
    void* top() const { return static_cast<char*>(base_) + kChildStackBytes; }  // stacks grow down

private:
    void* base_;
};

// Everything the child touches between fork and exec, built in the parent.
struct ChildPlan {
    const char* slave_name;
    int master;
    int pipe_read;
    int pipe_write;
    char* const* exec_paths;   // candidates to execve, in PATH order, null-terminated
    char* const* const* script_argvs;  // per candidate: /bin/sh running it, for ENOEXEC
    int exec_fd;                       // the checked file to execute, or -1: the candidates
    char* const* fd_script_argv;       // /bin/sh running /dev/fd/<exec_fd>, for ENOEXEC
    char* const* argv;
    char* const* envp;
    const sigset_t* exec_mask;  // the mask the program inherits
    const char* cwd;            // null: stay in the host's directory
    unsigned short rows;
    unsigned short cols;
    const int* default_signals;  // reset to their default action
    std::size_t default_signal_count;
};

// Or'ed into the errno the child reports when changing directory failed, so
// the parent can name the step. Errno values stay far below it.
constexpr std::uint32_t kCwdStepFlag = 1u << 24;

// Terminal attributes are carried as sets of known flags; bits outside them
// are dropped on the way back, as a strict flag type would do.
constexpr tcflag_t kKnownInputFlags = 0x7DFF;
constexpr tcflag_t kKnownOutputFlags = 0xFFFF;
constexpr tcflag_t kKnownControlFlags = 0xD00F1FFF;
constexpr tcflag_t kKnownLocalFlags = 0x1DFFB;

constexpr const char* kShell = "/bin/sh";

// What a terminal sends its foreground programs, and what ends them: these
// always start at their default action and unblocked in the child.
constexpr int kTerminalSignals[] = {SIGINT, SIGQUIT, SIGTSTP, SIGHUP, SIGTERM};

// Child side: executes the descriptor the parent opened and checked, never a
// path. A script's interpreter is handed /dev/fd/<n> for the file and opens
// it again, which a close-on-exec descriptor would not survive: the kernel
// refuses that exec with ENOENT, and the descriptor is then kept open across
// exec for the interpreter (a binary never sees it). A file without an
// interpreter line runs under the shell, as execvp does, reading the same
// descriptor. Same contract as child_after_fork; returns only the errno of a
// failed exec, through `fail`.
template <class Fail>
[[noreturn]] void exec_checked_file(const ChildPlan& plan, Fail&& fail) noexcept {
    auto exec_fd = [&] {
        ::syscall(SYS_execveat, plan.exec_fd, "", plan.argv, plan.envp, AT_EMPTY_PATH);
        return errno;
    };
    int err = exec_fd();
    if (err == ENOENT || err == ENOEXEC) {
        if (::fcntl(plan.exec_fd, F_SETFD, 0) != 0) fail(errno);
        if (err == ENOENT) err = exec_fd();
        if (err == ENOEXEC) {
            ::execve(kShell, plan.fd_script_argv, plan.envp);
            err = errno;
        }
    }
    fail(err);
    ::_exit(127);  // not reached
}

// Child side. Contract: runs in the child of a possibly multithreaded
// process, usually sharing the parent's memory until exec (the parent waits),
// so it may only make async-signal-safe system calls, read memory the parent
// prepared and write nothing but its own stack (errno aside); no allocation,
// no locks, no exceptions. Never returns.
[[noreturn]] void child_after_fork(const ChildPlan& plan) noexcept {
    int err = 0;
    auto fail = [&](int e) {
        err = e != 0 ? e : EIO;
        unsigned char msg[4] = {
            static_cast<unsigned char>((static_cast<std::uint32_t>(err) >> 24) & 0xFF),
            static_cast<unsigned char>((static_cast<std::uint32_t>(err) >> 16) & 0xFF),
            static_cast<unsigned char>((static_cast<std::uint32_t>(err) >> 8) & 0xFF),
            static_cast<unsigned char>(static_cast<std::uint32_t>(err) & 0xFF)};
        ssize_t ignored = ::write(plan.pipe_write, msg, sizeof msg);
        (void)ignored;
        ::close(plan.pipe_write);
        // _exit, not exit: the host's atexit handlers and stdio buffers are
        // not ours to run or flush, and exit is unsafe after fork in a
        // threaded process.
        ::_exit(err);
    };

    // Handlers installed by the host (the interpreter's among them) must not
    // run in this child; exec would reset them anyway. The signals a terminal
    // sends start at their default action even when the host ignores them (a
    // host started in the background by a non-interactive shell ignores
    // SIGINT and SIGQUIT): the program gets them as a terminal's shell does.
    // Every other ignored signal stays ignored, as exec would keep it.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old{};
        if (::sigaction(sig, nullptr, &old) != 0) continue;
        bool terminal_signal = false;
        for (int t : kTerminalSignals) terminal_signal = terminal_signal || t == sig;
        if ((old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) ||
            (terminal_signal && old.sa_handler == SIG_IGN)) {
            struct sigaction dfl{};
            dfl.sa_handler = SIG_DFL;
            ::sigaction(sig, &dfl, nullptr);
        }
    }
    for (std::size_t i = 0; i < plan.default_signal_count; ++i) {
        struct sigaction dfl{};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(plan.default_signals[i], &dfl, nullptr);
    }

    // Probe for an inherited controlling terminal, then leave it.
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty >= 0) {
        if (::close(tty) != 0) fail(errno);
    } else if (errno != ENXIO) {
        fail(errno);
    }
    if (::setsid() < 0) fail(errno);
    tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty >= 0) {
        if (::close(tty) != 0) fail(errno);
        fail(EOPNOTSUPP);
    } else if (errno != ENXIO) {
        fail(EOPNOTSUPP);
    }

    // Opening the slave without O_NOCTTY makes it the controlling terminal of
    // the session leader we just became.
    int fd = ::open(plan.slave_name, O_RDWR);
    if (fd < 0) fail(errno);
    if (::close(fd) != 0) fail(errno);
    tty = ::open("/dev/tty", O_WRONLY);
    if (tty < 0) fail(errno);
    if (::close(tty) != 0) fail(errno);

    int slave = ::open(plan.slave_name, O_RDWR | O_NOCTTY);
    if (slave < 0) fail(errno);
    for (int std_fd = 0; std_fd <= 2; ++std_fd) {
        if (::close(std_fd) != 0) fail(errno);
    }
    for (int std_fd = 0; std_fd <= 2; ++std_fd) {
        if (::dup2(slave, std_fd) < 0) fail(errno);
    }

    struct termios attrs{};
    if (::tcgetattr(0, &attrs) != 0) fail(errno);
    attrs.c_iflag &= kKnownInputFlags;
    attrs.c_oflag &= kKnownOutputFlags;
    attrs.c_cflag &= kKnownControlFlags;
    attrs.c_lflag &= kKnownLocalFlags;
    attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (::tcsetattr(0, TCSANOW, &attrs) != 0) fail(errno);
    if (int e = set_term_size(0, plan.rows, plan.cols); e != 0) fail(e);

    // Sweep every other inherited descriptor. close_range costs the same
    // whatever the open-file limit; the per-number loop is the fallback for
    // kernels without it.
    int keep[5] = {slave, plan.pipe_write, plan.pipe_read, plan.master, plan.exec_fd};
    for (int i = 1; i < 5; ++i) {  // insertion sort: five entries
        for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j) {
            int t = keep[j];
            keep[j] = keep[j - 1];
            keep[j - 1] = t;
        }
    }
    bool swept = true;
    unsigned int low = 3;
    for (int k : keep) {
        if (k < static_cast<int>(low)) continue;
        if (static_cast<unsigned int>(k) > low &&
            ::syscall(SYS_close_range, low, static_cast<unsigned int>(k) - 1, 0U) != 0) {
            swept = false;
            break;
        }
        low = static_cast<unsigned int>(k) + 1;
    }
    if (swept && ::syscall(SYS_close_range, low, ~0U, 0U) != 0) swept = false;
    if (!swept) {
        errno = 0;
        long limit = ::sysconf(_SC_OPEN_MAX);
        if (limit < 0) {
            if (errno != 0) fail(errno);
            limit = 65536;  // no limit reported
        }
        for (long n = 3; n < limit; ++n) {
            int d = static_cast<int>(n);
            if (d != slave && d != plan.pipe_write && d != plan.pipe_read && d != plan.master &&
                d != plan.exec_fd) {
                ::close(d);
            }
        }
    }
    ::close(slave);
    ::close(plan.pipe_read);
    ::close(plan.master);
    if (::fcntl(plan.pipe_write, F_SETFD, FD_CLOEXEC) != 0) fail(errno);

    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    ::sigprocmask(SIG_SETMASK, plan.exec_mask, nullptr);

    if (plan.cwd != nullptr && ::chdir(plan.cwd) != 0) {
        fail(static_cast<int>(kCwdStepFlag | static_cast<std::uint32_t>(errno)));
    }

    if (plan.exec_fd >= 0) exec_checked_file(plan, fail);

    // execvp's search, over candidates the parent prepared.
    bool saw_eacces = false;
    int exec_err = ENOENT;
    for (std::size_t i = 0; plan.exec_paths[i] != nullptr; ++i) {
        ::execve(plan.exec_paths[i], plan.argv, plan.envp);
        exec_err = errno;
        if (exec_err == ENOEXEC) {
            // A script without an interpreter line runs under the shell, as
            // execvp has always done; the command text itself is never parsed.
            ::execve(kShell, plan.script_argvs[i], plan.envp);
            exec_err = errno;
        }
        if (exec_err == EACCES) {
            saw_eacces = true;
        } else if (exec_err != ENOENT && exec_err != ENOTDIR && exec_err != ESTALE &&
                   exec_err != ENODEV && exec_err != ETIMEDOUT) {
            fail(exec_err);
        }
    }
    fail(saw_eacces ? EACCES : exec_err);
    ::_exit(127);  // not reached
}

// The files execvp would try for `program`, in order.
std::vector<std::string> exec_candidates(const std::string& program, const char* path_env) {
    std::vector<std::string> paths;
    if (program.empty()) return paths;
    if (program.find('/') != std::string::npos) {
        paths.push_back(program);
        return paths;
    }
    std::string search;
    if (path_env != nullptr) {
        search = path_env;
    } else {
        search = "/bin:/usr/bin";
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = search.find(':', start);
        std::string dir = search.substr(start, end == std::string::npos ? end : end - start);
        if (dir.empty()) {
            paths.push_back(program);  // an empty entry means the working directory
        } else {
            paths.push_back(dir + (dir.back() == '/' ? "" : "/") + program);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return paths;
}

// Reads the child's 4-byte exec status. EOF before any byte means exec
// succeeded. Interrupted reads are retried: a signal landing here says
// nothing about the child.
std::expected<std::uint32_t, int> read_exec_status(int fd) {
    unsigned char buf[4] = {0, 0, 0, 0};
    std::size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = ::read(fd, buf + got, sizeof buf - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return (std::uint32_t{buf[0]} << 24) | (std::uint32_t{buf[1]} << 16) |
           (std::uint32_t{buf[2]} << 8) | std::uint32_t{buf[3]};
}

// Keeps a host descriptor off 0, 1 and 2: when the host runs with one of
// them closed, a descriptor that took its number would be closed over the
// child's standard streams.
int keep_above_stdio(UniqueFd& fd) {
    if (fd.get() > 2) return 0;
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    fd.reset(moved);
    return 0;
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

namespace {

// Phase 1: the terminal and the exec-status pipe, all close-on-exec and off
// descriptors 0-2.
struct OpenedTerminal {
    UniqueFd master;
    std::string slave_name;
    UniqueFd pipe_read;
    UniqueFd pipe_write;
};

std::expected<OpenedTerminal, int> open_terminal() {
    OpenedTerminal t;
    t.master.reset(::posix_openpt(O_RDWR | O_CLOEXEC));
    if (!t.master) return std::unexpected(errno);
    if (int e = keep_above_stdio(t.master); e != 0) return std::unexpected(e);
    if (::grantpt(t.master.get()) != 0 || ::unlockpt(t.master.get()) != 0) {
        return std::unexpected(errno);
    }
    auto slave_name = get_slave_name(t.master.get());
    if (!slave_name) return std::unexpected(slave_name.error());
    t.slave_name = std::move(*slave_name);
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return std::unexpected(errno);
    t.pipe_read.reset(pipe_fds[0]);
    t.pipe_write.reset(pipe_fds[1]);
    if (int e = keep_above_stdio(t.pipe_read); e != 0) return std::unexpected(e);
    if (int e = keep_above_stdio(t.pipe_write); e != 0) return std::unexpected(e);
    return t;
}

// Phase 2: every string and pointer array the child reads, owned here for as
// long as the child may still read them (until the handshake).
class ExecPlan {
public:
    // `exec_fd`: the checked file to execute, or -1 to search for `program`.
    ExecPlan(const std::string& program, const std::vector<std::string>& argv,
             const SpawnOptions& options, int exec_fd)
        : candidates_(exec_fd >= 0 ? std::vector<std::string>{}
                                   : exec_candidates(program, search_path(options))),
          exec_fd_(exec_fd),
          argv_(argv),
          cwd_(options.cwd),
          rows_(options.rows),
          cols_(options.cols),
          default_signals_(options.default_signals) {
        if (options.env) {
            env_ = *options.env;
            envp_.reserve(env_.size() + 1);
            for (auto& e : env_) envp_.push_back(e.data());
            envp_.push_back(nullptr);
        }
        exec_paths_.reserve(candidates_.size() + 1);
        for (auto& c : candidates_) exec_paths_.push_back(c.data());
        exec_paths_.push_back(nullptr);
        script_storage_.reserve(candidates_.size());
        for (auto& c : candidates_) {
            std::vector<char*> v{shell_.data(), c.data()};
            for (std::size_t i = 1; i < argv_.size(); ++i) v.push_back(argv_[i].data());
            v.push_back(nullptr);
            script_storage_.push_back(std::move(v));
        }
        script_argvs_.reserve(candidates_.size() + 1);
        for (auto& v : script_storage_) script_argvs_.push_back(v.data());
        script_argvs_.push_back(nullptr);
        argv_ptrs_.reserve(argv_.size() + 1);
        for (auto& a : argv_) argv_ptrs_.push_back(a.data());
        argv_ptrs_.push_back(nullptr);
        if (exec_fd_ >= 0) {
            fd_path_ = "/dev/fd/" + std::to_string(exec_fd_);
            fd_script_argv_ = {shell_.data(), fd_path_.data()};
            for (std::size_t i = 1; i < argv_.size(); ++i) fd_script_argv_.push_back(argv_[i].data());
            fd_script_argv_.push_back(nullptr);
        }
    }
    ExecPlan(const ExecPlan&) = delete;
    ExecPlan& operator=(const ExecPlan&) = delete;

    ChildPlan for_child(const OpenedTerminal& t, const sigset_t* exec_mask) const {
        return ChildPlan{t.slave_name.c_str(),
                         t.master.get(),
                         t.pipe_read.get(),
                         t.pipe_write.get(),
                         exec_paths_.data(),
                         script_argvs_.data(),
                         exec_fd_,
                         fd_script_argv_.empty() ? nullptr : fd_script_argv_.data(),
                         argv_ptrs_.data(),
                         envp_.empty() ? environ : envp_.data(),
                         exec_mask,
                         cwd_ ? cwd_->c_str() : nullptr,
                         rows_,
                         cols_,
                         default_signals_.data(),
                         default_signals_.size()};
    }

private:
    // The PATH a program name is looked up along: the program's own
    // environment's when one is given, else the host's.
    static const char* search_path(const SpawnOptions& options) {
        if (!options.env) return ::getenv("PATH");
        const char* found = nullptr;
        for (const auto& e : *options.env) {
            if (e.starts_with("PATH=")) found = e.c_str() + 5;  // the last one wins, as getenv's
        }
        return found;
    }

    std::vector<std::string> candidates_;
    int exec_fd_;
    std::string fd_path_;
    std::vector<char*> fd_script_argv_;
    std::vector<std::string> argv_;
    std::string shell_ = kShell;
    std::vector<char*> exec_paths_;
    std::vector<std::vector<char*>> script_storage_;
    std::vector<char* const*> script_argvs_;
    std::vector<char*> argv_ptrs_;
    std::optional<std::string> cwd_;
    unsigned short rows_;
    unsigned short cols_;
    std::vector<int> default_signals_;
    std::vector<std::string> env_;
    std::vector<char*> envp_;
};

// Phase 3: starts the child. Returns its pid or an errno value; the child
// has either executed the program or written its errno to the pipe.
std::expected<pid_t, int> launch(const OpenedTerminal& t, const ExecPlan& exec) {
    // Mapped afresh each time and unmapped at once, so only the few pages
    // the child touched were ever resident.
    ChildStack stack(kChildSharesMemory);
    if (!stack.valid()) return std::unexpected(errno);

    // Signals stay blocked from fork until the child has reset the host's
    // handlers, so no host handler ever runs in the child.
    sigset_t all, old_mask;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old_mask);

    // The program gets the creating thread's mask, except that the signals a
    // terminal delivers always get through: a host that blocks SIGINT in
    // this thread must not make Ctrl-C dead for the program.
    sigset_t exec_mask = old_mask;
    for (int sig : kTerminalSignals) ::sigdelset(&exec_mask, sig);
    ChildPlan plan = exec.for_child(t, &exec_mask);

    // The child shares our memory until it executes the program (the parent
    // thread waits meanwhile), so starting it copies no page tables and
    // leaves no copy-on-write faults behind, however large the host process
    // is. child_after_fork already touches only the plan and makes only
    // async-signal-safe calls; it runs on a stack of its own, and with every
    // signal blocked no handler can run on it.
    pid_t pid;
    if constexpr (kChildSharesMemory) {
        pid = ::clone(
            [](void* arg) -> int { child_after_fork(*static_cast<const ChildPlan*>(arg)); },
            stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    } else {
        pid = ::fork();
        if (pid == 0) child_after_fork(plan);
    }
    int fork_err = errno;
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (pid < 0) return std::unexpected(fork_err);
    return pid;
}

// Phase 4: learns from the pipe whether the program was executed. A failed
// child is collected, so a failed spawn leaves no zombie.
int handshake(pid_t pid, OpenedTerminal& t) {
    if (t.pipe_write.reset() != 0) {
        int e = errno;
        ::kill(pid, SIGKILL);
        reap(pid);
        return e;
    }
    auto status = read_exec_status(t.pipe_read.get());
    int close_result = t.pipe_read.reset();
    int close_err = errno;
    if (!status) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return status.error();
    }
    if (*status != 0) {
        reap(pid);
        return static_cast<int>(*status);
    }
    if (close_result != 0) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return close_err;
    }
    return 0;
}

}  // namespace

namespace {

// Opens the program the caller checked, as a path (relative ones from `cwd`,
// where the child will run), and makes sure it is still the same file.
std::expected<UniqueFd, SpawnFailure> open_checked_file(const std::string& program,
                                                        const SpawnOptions& options) {
    using Step = SpawnFailure::Step;
    UniqueFd dir;
    if (options.cwd && !program.starts_with('/')) {
        dir.reset(::open(options.cwd->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return std::unexpected(SpawnFailure{Step::Cwd, errno});
    }
    UniqueFd file(::openat(dir ? dir.get() : AT_FDCWD, program.c_str(), O_PATH | O_CLOEXEC));
    if (!file) return std::unexpected(SpawnFailure{Step::Exec, errno});
    if (int e = keep_above_stdio(file); e != 0) return std::unexpected(SpawnFailure{Step::Exec, e});
    struct stat st{};
    if (::fstat(file.get(), &st) != 0) return std::unexpected(SpawnFailure{Step::Exec, errno});
    if (st.st_dev != options.expected_file->device || st.st_ino != options.expected_file->inode) {
        return std::unexpected(SpawnFailure{Step::Changed, ESTALE});
    }
    // What execve itself would refuse, refused the same way.
    if (!S_ISREG(st.st_mode)) return std::unexpected(SpawnFailure{Step::Exec, EACCES});
    return file;
}

}  // namespace

std::expected<PtyProcess, int> PtyProcess::spawn(const std::string& program,
                                                 const std::vector<std::string>& argv) {
    auto process = spawn(program, argv, SpawnOptions{});
    if (!process) return std::unexpected(process.error().err);
    return std::move(*process);
}

std::expected<PtyProcess, SpawnFailure> PtyProcess::spawn(const std::string& program,
                                                          const std::vector<std::string>& argv,
                                                          const SpawnOptions& options) {
    using Step = SpawnFailure::Step;
    auto failed = [](int e, Step step = Step::Exec) {
        return std::unexpected(SpawnFailure{step, e});
    };
    // A NUL cannot reach exec; it would silently cut the program name.
    auto has_nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
    if (has_nul(program)) return failed(EINVAL);
    for (const auto& arg : argv) {
        if (has_nul(arg)) return failed(EINVAL);
    }
    if (options.env) {
        for (const auto& e : *options.env) {
            if (has_nul(e)) return failed(EINVAL);
        }
    }
    if (options.cwd && has_nul(*options.cwd)) return failed(EINVAL, Step::Cwd);
    UniqueFd checked;
    if (options.expected_file) {
        auto file = open_checked_file(program, options);
        if (!file) return std::unexpected(file.error());
        checked = std::move(*file);
    }
    auto terminal = open_terminal();
    if (!terminal) return failed(terminal.error());
    ExecPlan exec(program, argv, options, checked ? checked.get() : -1);
    auto pid = launch(*terminal, exec);
    if (!pid) return failed(pid.error());
    if (int e = handshake(*pid, *terminal); e != 0) {
        auto code = static_cast<std::uint32_t>(e);
        if (code & kCwdStepFlag) return failed(static_cast<int>(code & ~kCwdStepFlag), Step::Cwd);
        return failed(e);
    }
    // From here the process owns the child: a late failure still ends it.
    PtyProcess process(std::move(terminal->master), *pid);
    process.end_whole_terminal_ = options.end_whole_terminal;
    process.collect_early_ = options.collect_early;
    if (int e = set_term_size(process.master(), options.rows, options.cols); e != 0) {
        return failed(e);
    }
    return process;
}

namespace {

// The fields of /proc/<pid>/stat used here. The command name sits in
// parentheses and may itself hold blanks and parentheses, so fields are
// counted from the last ')'.
struct ProcStat {
    char state = '?';
    pid_t parent = 0;
    pid_t session = 0;
};

std::optional<ProcStat> read_proc_stat(int proc_dir, pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "%d/stat", static_cast<int>(pid));
    UniqueFd fd(::openat(proc_dir, path, O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    char buf[1024];
    ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    buf[n] = '\0';
    const char* close = std::strrchr(buf, ')');
    if (close == nullptr) return std::nullopt;
    ProcStat st;
    int pgrp = 0;
    if (std::sscanf(close + 1, " %c %d %d %d", &st.state, &st.parent, &pgrp, &st.session) != 4) {
        return std::nullopt;
    }
    return st;
}

// Whether the process holds a descriptor of the terminal `device`.
bool holds_terminal(int proc_dir, pid_t pid, dev_t device) {
    char path[64];
    std::snprintf(path, sizeof path, "%d/fd", static_cast<int>(pid));
    int fd_dir = ::openat(proc_dir, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) return false;  // gone, or not ours to look at
    DIR* fds = ::fdopendir(fd_dir);
    if (fds == nullptr) {
        ::close(fd_dir);
        return false;
    }
    bool found = false;
    while (!found) {
        dirent* entry = ::readdir(fds);
        if (entry == nullptr) break;
        if (entry->d_name[0] == '.') continue;
        struct stat st{};
        // Following the descriptor's link reaches the file itself.
        found = ::fstatat(fd_dir, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == device;
    }
    ::closedir(fds);
    return found;
}

}  // namespace

void PtyProcess::end_stragglers() {
    if (stragglers_ended_) return;
    // The terminal's number cannot go to another terminal while we hold its
    // master, so whatever holds this device holds our terminal. A session
    // id cannot be reused while a process of the session lives, so a
    // process other than the collected leader with the leader's number as
    // its session id is one of ours.
    std::optional<dev_t> device;
    if (auto name = get_slave_name(master_.get())) {
        struct stat st{};
        if (::stat(name->c_str(), &st) == 0) device = st.st_rdev;
    }
    const pid_t self = ::getpid();
    const auto deadline = std::chrono::steady_clock::now() + kStragglerBound;
    std::vector<pid_t> found;
    while (true) {
        found.clear();
        UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!proc) return;
        DIR* dir = ::fdopendir(::fcntl(proc.get(), F_DUPFD_CLOEXEC, 0));
        if (dir == nullptr) return;
        while (dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            long pid = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0' || pid == self || pid == child_pid_) continue;
            auto st = read_proc_stat(proc.get(), static_cast<pid_t>(pid));
            if (!st || st->state == 'X') continue;
            bool member = st->session == child_pid_;
            if (st->state == 'Z') {
                // Handed to us when the host runs as PID 1 or a subreaper,
                // and nobody else would collect it.
                if (member && st->parent == self) ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
                continue;
            }
            if (member || (device && holds_terminal(proc.get(), static_cast<pid_t>(pid), *device))) {
                found.push_back(static_cast<pid_t>(pid));
            }
        }
        ::closedir(dir);
        std::size_t signalled = 0;
        for (pid_t pid : found) signalled += ::kill(pid, SIGKILL) == 0 ? 1 : 0;
        // Done when nothing is left that this process may end. Once the
        // leader is collected and nothing was left, nothing can join.
        if (signalled == 0) {
            stragglers_ended_ = collected_;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

PtyProcess::PtyProcess(PtyProcess&& other) noexcept
    : master_(std::move(other.master_)),
      child_pid_(std::exchange(other.child_pid_, -1)),
      collected_(other.collected_),
      wait_status_(other.wait_status_),
      termination_pause_(other.termination_pause_),
      end_whole_terminal_(other.end_whole_terminal_),
      collect_early_(other.collect_early_),
      stragglers_ended_(other.stragglers_ended_) {}

std::expected<UniqueFd, int> PtyProcess::get_raw_handle() const {
    int fd = ::fcntl(master_.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(errno);
    return UniqueFd(fd);
}

std::expected<bool, int> PtyProcess::is_alive() {
    if (collected_ || child_pid_ <= 0) return false;
    int status = 0;
    pid_t r = ::waitpid(child_pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == child_pid_) wait_status_ = status;
    if (r == child_pid_ || errno == ECHILD || errno == ESRCH) {
        collected_ = true;
        return false;
    }
    return std::unexpected(errno);
}

std::expected<bool, int> PtyProcess::exit() {
    auto gone = end_child();
    if (end_whole_terminal_) end_stragglers();
    return gone;
}

std::expected<bool, int> PtyProcess::end_child() {
    auto alive = is_alive();
    if (!alive) return std::unexpected(alive.error());
    if (!*alive) return true;
    for (int sig : {SIGHUP, SIGCONT, SIGINT, SIGTERM, SIGKILL}) {
        if (::kill(child_pid_, sig) != 0) return std::unexpected(errno);
        // Each signal gets the whole pause to work. Collecting early, a
        // program that ends at once (most do, at the hangup) is collected at
        // once: the pause is watched in short, growing steps.
        const auto until = std::chrono::steady_clock::now() + termination_pause_;
        std::chrono::steady_clock::duration step = termination_pause_;
        if (collect_early_) step = std::chrono::microseconds(200);
        for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_for(std::min(step, until - now));
            alive = is_alive();
            if (!alive) return std::unexpected(alive.error());
            if (!*alive) return true;
            if (collect_early_) step = std::min<std::chrono::steady_clock::duration>(step * 2, std::chrono::milliseconds(10));
        }
    }
    return false;
}

PtyProcess::~PtyProcess() {
    if (child_pid_ > 0) {
        auto alive = is_alive();
        if (alive && !*alive && end_whole_terminal_) {
            end_stragglers();
        } else if (alive && *alive) {
            auto gone = exit();
            if (!gone) {
                std::fprintf(stderr, "pellux: failed to terminate child %d: errno %d\n",
                             static_cast<int>(child_pid_), gone.error());
            }
        }
    }
    if (master_.valid() && master_.reset() != 0 && errno == EBADF) {
        std::fprintf(stderr, "pellux: Closing an invalid file descriptor!\n");
    }
}

}  // namespace pellux
