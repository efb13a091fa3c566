#include "readiness/input_probe.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "readiness/proc_files.hpp"

namespace pellux {

namespace {

using proc::parse_signed;
using proc::parse_stat;
using proc::read_file;
using proc::StatFields;

// System call numbers of the calls a thread can wait in for the terminal, a
// futex or a child. aarch64 has no poll, select or epoll_wait: its C library
// uses ppoll, pselect6 and epoll_pwait. kNone never matches: /proc shows -1
// for a thread blocked outside a system call.
constexpr long kNone = -1000;
struct SyscallNumbers {
    long read, readv, poll, select, pselect6, ppoll, epoll_wait, epoll_pwait, epoll_pwait2, futex,
        wait4, waitid, rt_sigtimedwait;
};
#if defined(__x86_64__)
constexpr bool kDecoded = true;
constexpr SyscallNumbers kCalls{0, 19, 7, 23, 270, 271, 232, 281, 441, 202, 61, 247, 128};
#elif defined(__aarch64__)
constexpr bool kDecoded = true;
constexpr SyscallNumbers kCalls{63, 65, kNone, kNone, 72, 73, kNone, 22, 441, 98, 260, 95, 137};
#else
constexpr bool kDecoded = false;
constexpr SyscallNumbers kCalls{kNone, kNone, kNone, kNone, kNone, kNone, kNone,
                                kNone, kNone, kNone, kNone, kNone, kNone};
#endif

constexpr unsigned kFutexWait = 0;
constexpr unsigned kFutexWaitBitset = 9;
constexpr unsigned kFutexCmdMask = 0x7f;  // without FUTEX_PRIVATE_FLAG and FUTEX_CLOCK_REALTIME

// The C library's helper thread for timers that notify by thread
// (SIGEV_THREAD) waits for this signal alone; vim keeps one.
constexpr std::uint64_t kTimerHelperSet = std::uint64_t{1} << (32 - 1);

// waitid's id types (linux/wait.h).
constexpr int kPAll = 0;
constexpr int kPPid = 1;
constexpr int kPPgid = 2;
constexpr int kPPidfd = 3;

constexpr std::size_t kMaxPollFds = 4096;
constexpr std::int64_t kMaxSelectFds = 65536;
constexpr std::size_t kBigBuffer = 64 * 1024;

// A /proc path in a fixed buffer: no allocation on the hot path.
class ProcPath {
public:
    ProcPath& add(const char* text) {
        while (*text != '\0' && len_ + 1 < sizeof buf_) buf_[len_++] = *text++;
        buf_[len_] = '\0';
        return *this;
    }
    ProcPath& add(long number) {
        char digits[24];
        int n = 0;
        bool negative = number < 0;
        unsigned long value = negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (negative) digits[n++] = '-';
        while (n > 0 && len_ + 1 < sizeof buf_) buf_[len_++] = digits[--n];
        buf_[len_] = '\0';
        return *this;
    }
    const char* c_str() const { return buf_; }

private:
    char buf_[96] = "";
    std::size_t len_ = 0;
};

ProcPath task_path(pid_t pid, pid_t tid, const char* file) {
    ProcPath p;
    p.add("/proc/").add(pid).add("/task/").add(tid).add("/").add(file);
    return p;
}

bool parse_hex(const char*& p, std::uint64_t& out) {
    while (*p == ' ') ++p;
    if (p[0] == '0' && p[1] == 'x') p += 2;
    std::uint64_t value = 0;
    bool any = false;
    for (;; ++p) {
        char c = *p;
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else break;
        value = value << 4 | digit;
        any = true;
    }
    out = value;
    return any;
}

dev_t tty_nr_to_dev(std::int64_t tty_nr) {
    auto nr = static_cast<std::uint64_t>(tty_nr);
    unsigned major_number = (nr >> 8) & 0xfff;
    unsigned minor_number = (nr & 0xff) | ((nr >> 12) & 0xfff00);
    return makedev(major_number, minor_number);
}

// A system call argument as the C int it was (a negative fd or timeout).
int as_int(std::uint64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

bool asleep_or_gone(char state) { return state == 'S' || state == 'Z' || state == 'X'; }

// Calls fn(pid) for each numeric entry of the directory fd, listed with
// getdents64 into buf. False when the listing failed.
template <typename Fn>
bool for_each_number(int dir, std::vector<char>& buf, Fn&& fn) {
    struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
    };
    for (;;) {
        long n = ::syscall(SYS_getdents64, dir, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        for (long at = 0; at < n;) {
            const auto* e = reinterpret_cast<const Entry*>(buf.data() + at);
            at += e->reclen;
            const char* p = e->name;
            std::int64_t number;
            if (*p < '0' || *p > '9' || !parse_signed(p, number) || *p != '\0') continue;
            fn(static_cast<pid_t>(number));
        }
    }
}

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

InputProbe::InputProbe(pid_t pid, int master_fd) : pid_(pid), master_fd_(master_fd) {
    proc_.reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    members_.reserve(64);
    session_threads_.reserve(256);
    session_pids_.reserve(64);
    session_pids_again_.reserve(64);
    known_.reserve(1024);
    known_next_.reserve(1024);
    threads_.reserve(256);
    fds_.reserve(kMaxPollFds);
    big_.resize(kBigBuffer);
    reason_[0] = '\0';
    // Scheduler counters: the schedstat line is a third of the cost of the
    // status file, but a kernel without scheduler statistics shows zeros.
    ssize_t n = read_file("/proc/thread-self/schedstat", small_, sizeof small_);
    counter_source_ = n > 0 && !starts_with(small_, "0 0 0") ? CounterSource::Schedstat : CounterSource::Status;
}

void InputProbe::rescan() {
    members_known_ = false;
    members_.clear();
    session_threads_.clear();
    known_.clear();
}

ProbeLook InputProbe::check(const std::function<bool()>& reader_idle) {
    reason_len_ = 0;
    reason_[0] = '\0';
    reading_ = false;
    in_front_ = true;
    InputVerdict verdict = examine(reader_idle);
    return {verdict, reading_, in_front_};
}

void InputProbe::set_reason(const char* text) {
    int n = std::snprintf(reason_, sizeof reason_, "%s", text);
    reason_len_ = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof reason_ - 1);
}

void InputProbe::set_reason(const char* path, int err) {
    char text[128];
    const char* description = ::strerror_r(err, text, sizeof text);  // the GNU variant
    int n = std::snprintf(reason_, sizeof reason_, "%s: %s", path, description);
    reason_len_ = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof reason_ - 1);
}

InputVerdict InputProbe::examine(const std::function<bool()>& reader_idle) {
    if (!kDecoded) {
        utsname names{};
        ::uname(&names);
        char text[160];
        std::snprintf(text, sizeof text, "system calls of %s are not decoded", names.machine);
        set_reason(text);
        return InputVerdict::Unknown;
    }
    ProcPath leader_path;
    leader_path.add("/proc/").add(pid_).add("/stat");
    ssize_t n = read_file(leader_path.c_str(), small_, sizeof small_);
    if (n < 0) {
        if (errno == ENOENT || errno == ESRCH) return InputVerdict::Exited;
        set_reason(leader_path.c_str(), errno);
        return InputVerdict::Unknown;
    }
    StatFields leader{};
    if (!parse_stat(small_, static_cast<std::size_t>(n), leader)) {
        set_reason("/proc/<pid>/stat has an unexpected format");
        return InputVerdict::Unknown;
    }
    if (leader.state == 'Z' || leader.state == 'X') return InputVerdict::Exited;
    if (leader.tty_nr == 0 || leader.tpgid <= 0) return InputVerdict::Busy;  // no terminal, or no foreground
    in_front_ = leader.tpgid == pid_;  // the program leads its own session and group
    if (!ensure_terminal()) return reason_len_ != 0 ? InputVerdict::Unknown : InputVerdict::Busy;
    if (tty_nr_to_dev(leader.tty_nr) != terminal_) return InputVerdict::Busy;  // not (or no longer) ours

    // Threads first as the last listing found them: a busy one ends the look
    // without listing anything. Settled ones are believed complete only while
    // nothing in the session ran since that listing; else /proc is listed
    // afresh and the new picture looked at.
    bool scanned = false;
    if (!members_known_ || leader.session != scan_session_ || leader.tpgid != scan_tpgid_) {
        scan(leader.session, leader.tpgid);
        scanned = true;
    }
    for (;;) {
        if (members_.empty()) return InputVerdict::Busy;
        Look result = look(leader.session, leader.tpgid);
        if (result == Look::Unknown) return InputVerdict::Unknown;
        if (result == Look::Unsettled) return InputVerdict::Busy;
        if (result == Look::Settled && session_unchanged()) break;
        if (scanned) return InputVerdict::Busy;  // it moved while we looked
        scan(leader.session, leader.tpgid);
        scanned = true;
    }

    bool unknown = false;
    if (input_pending(unknown)) return unknown ? InputVerdict::Unknown : InputVerdict::Busy;
    // Every byte written must be with the reader, which must hold nothing.
    InputVerdict drained = output_drained(reader_idle);
    if (drained != InputVerdict::Waiting) return drained;
    // The same threads still asleep and not woken meanwhile: nothing was
    // written after the checks above.
    if (!still_asleep()) return InputVerdict::Busy;
    // Once more. The kernel moves the program's output to the master in a
    // work item, and a poll of the master waits for that item; but when the
    // master's buffer filled and the reader emptied it meanwhile, the item
    // requeues itself to move the rest, and the poll returns after the first
    // pass with the rest (up to a buffer's worth) not yet readable. The second
    // poll waits for the requeued pass. Seen about once in a few thousand
    // turns that end with 300 kB of output, under load.
    drained = output_drained(reader_idle);
    if (drained != InputVerdict::Waiting) return drained;
    n = read_file(leader_path.c_str(), small_, sizeof small_);
    StatFields again{};
    if (n < 0 || !parse_stat(small_, static_cast<std::size_t>(n), again)) return InputVerdict::Exited;
    if (again.state == 'Z' || again.state == 'X') return InputVerdict::Exited;
    if (again.tpgid != leader.tpgid) return InputVerdict::Busy;  // another group took the terminal
    return InputVerdict::Waiting;
}

// Waiting when the master polls empty (the poll pushes what the kernel still
// holds for it through first) and then the reader thread holds nothing; Busy
// or Unknown otherwise.
InputVerdict InputProbe::output_drained(const std::function<bool()>& reader_idle) {
    pollfd master{master_fd_, POLLIN, 0};
    int ready = ::poll(&master, 1, 0);
    if (ready < 0 || (master.revents & POLLNVAL) != 0) {
        set_reason("the terminal's master", ready < 0 ? errno : EBADF);
        return InputVerdict::Unknown;
    }
    if (ready > 0 || !reader_idle()) return InputVerdict::Busy;
    return InputVerdict::Waiting;
}

bool InputProbe::ensure_terminal() {
    if (terminal_known_) return true;
    int slave = ::ioctl(master_fd_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        int err = errno;
        if (err == EIO) return false;  // the terminal is going away
        set_reason("the terminal's master (TIOCGPTPEER)", err);
        return false;
    }
    UniqueFd owner(slave);
    struct stat info {};
    if (::fstat(slave, &info) != 0) {
        set_reason("the terminal's slave", errno);
        return false;
    }
    terminal_ = info.st_rdev;
    terminal_known_ = true;
    return true;
}

// Lists /proc: the live pids of the session into `pids` (ascending), and
// the foreground group's into members_. False when /proc could not be listed.
bool InputProbe::list_session(pid_t session, pid_t tpgid, std::vector<pid_t>& pids) {
    members_.clear();
    pids.clear();
    known_next_.clear();
    bool ascending = true;
    pid_t last = 0;
    bool listed = ::lseek(proc_.get(), 0, SEEK_SET) == 0 && for_each_number(proc_.get(), big_, [&](pid_t pid) {
        if (pid < last) ascending = false;
        last = pid;
        auto at = std::lower_bound(known_.begin(), known_.end(), pid,
                                   [](const KnownPid& k, pid_t p) { return k.pid < p; });
        if (at != known_.end() && at->pid == pid && !at->ours) {
            known_next_.push_back({pid, false});  // another session: it cannot move into ours
            return;
        }
        ProcPath path;
        path.add("/proc/").add(pid).add("/stat");
        ssize_t n = read_file(path.c_str(), small_, sizeof small_);
        StatFields fields{};
        if (n < 0 || !parse_stat(small_, static_cast<std::size_t>(n), fields)) return;  // ended meanwhile
        bool ours = fields.session == session;
        known_next_.push_back({pid, ours});
        if (!ours || fields.state == 'Z' || fields.state == 'X') return;  // a zombie runs nothing
        pids.push_back(pid);
        if (fields.pgrp == tpgid) members_.push_back({pid, fields.ppid});
    });
    if (!ascending) {
        auto by_pid = [](const KnownPid& a, const KnownPid& b) { return a.pid < b.pid; };
        std::sort(known_next_.begin(), known_next_.end(), by_pid);
        std::sort(pids.begin(), pids.end());
    }
    known_.swap(known_next_);
    return listed;
}

// The session's processes and threads afresh, with their counters. The
// counters are read after the listing and /proc listed once more: a process
// that forked before its counters were read shows its child in the second
// listing (then all is read again); one that forks later changes them.
void InputProbe::scan(pid_t session, pid_t tpgid) {
    members_known_ = false;
    scan_session_ = session;
    scan_tpgid_ = tpgid;
    for (int attempt = 0; attempt < 3; ++attempt) {
        session_threads_.clear();
        if (!list_session(session, tpgid, session_pids_)) return;
        for (pid_t pid : session_pids_) {
            bool member = std::any_of(members_.begin(), members_.end(), [pid](const Member& m) { return m.pid == pid; });
            ProcPath task_dir;
            task_dir.add("/proc/").add(pid).add("/task");
            UniqueFd dir(::open(task_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir) continue;  // ended meanwhile
            for_each_number(dir.get(), big_, [&](pid_t tid) {
                session_threads_.push_back({pid, tid, member, false, {}, {}});
            });
        }
        for (SessionThread& thread : session_threads_) {
            if (!read_counters(thread.pid, thread.tid, thread.counters)) thread.counters = {~0ULL, ~0ULL};
        }
        if (!list_session(session, tpgid, session_pids_again_)) return;
        if (session_pids_again_ == session_pids_) {
            members_known_ = true;
            return;
        }
    }
}

InputProbe::Look InputProbe::look(pid_t session, pid_t tpgid) {
    threads_.clear();
    reading_ = false;
    bool settled = true;
    bool orphan = false;
    for (SessionThread& thread : session_threads_) {
        thread.seen = false;
        if (!thread.member) continue;
        pid_t pid = thread.pid;
        pid_t tid = thread.tid;
        ProcPath stat_path = task_path(pid, tid, "stat");
        ssize_t n = read_file(stat_path.c_str(), small_, sizeof small_);
        StatFields fields{};
        if (n < 0 || !parse_stat(small_, static_cast<std::size_t>(n), fields)) return Look::Stale;  // it ended
        if (fields.session != session || fields.pgrp != tpgid) return Look::Stale;  // it left the group
        if (tid == pid) {
            for (Member& member : members_) {
                if (member.pid == pid) member.ppid = fields.ppid;
            }
        }
        if (fields.state == 'Z' || fields.state == 'X') {  // an ended thread runs nothing
            thread.seen = true;
            thread.seen_counters = thread.counters;
            continue;
        }
        if (fields.state != 'S') {
            settled = false;
            continue;
        }
        bool unknown = false;
        Wait wait = classify(pid, tid, unknown);
        if (unknown) return Look::Unknown;
        if (wait == Wait::Terminal || wait == Wait::Loose) reading_ = true;
        if (wait == Wait::Orphan) orphan = true;
        if (wait != Wait::Terminal && wait != Wait::Parked && wait != Wait::Child) {
            settled = false;
            continue;
        }
        // Settled: its counters, then the same call still: it did not move
        // between the two reads, and still_asleep() proves it stayed.
        Counters counters;
        if (!read_counters(pid, tid, counters)) return Look::Stale;
        ProcPath call_path = task_path(pid, tid, "syscall");
        n = read_file(call_path.c_str(), small_, sizeof small_);
        if (n < 0 || std::strcmp(small_, call_) != 0) {
            settled = false;
            continue;
        }
        thread.seen = true;
        thread.seen_counters = counters;
        threads_.push_back({pid, tid, counters});
    }
    // A wait for a child the members known do not hold may be for a new
    // member: only a fresh listing tells.
    if (orphan) return Look::Stale;
    return settled && reading_ ? Look::Settled : Look::Unsettled;
}

// Whether nothing in the session ran since the last listing: every member
// thread just looked at and every other thread of the session shows the
// counters read after that listing.
bool InputProbe::session_unchanged() {
    if (!members_known_) return false;
    for (const SessionThread& thread : session_threads_) {
        if (thread.member) {
            if (!thread.seen || thread.seen_counters != thread.counters) return false;
            continue;
        }
        Counters now;
        if (!read_counters(thread.pid, thread.tid, now) || now != thread.counters) return false;
    }
    return true;
}

bool InputProbe::still_asleep() {
    for (const ThreadLook& thread : threads_) {
        Counters now;
        if (!read_counters(thread.pid, thread.tid, now) || now != thread.counters) return false;
        // A woken thread counts its switch only when it sleeps again; until
        // then its state is no longer S.
        ProcPath stat_path = task_path(thread.pid, thread.tid, "stat");
        ssize_t n = read_file(stat_path.c_str(), small_, sizeof small_);
        StatFields fields{};
        if (n < 0 || !parse_stat(small_, static_cast<std::size_t>(n), fields)) return false;
        if (!asleep_or_gone(fields.state)) return false;
    }
    return true;
}

bool InputProbe::read_counters(pid_t pid, pid_t tid, Counters& out) {
    if (counter_source_ == CounterSource::Schedstat) {
        ProcPath path = task_path(pid, tid, "schedstat");
        ssize_t n = read_file(path.c_str(), small_, sizeof small_);
        if (n < 0) return false;
        const char* p = small_;
        std::int64_t runtime, delay, scheduled;
        if (!parse_signed(p, runtime) || !parse_signed(p, delay) || !parse_signed(p, scheduled)) return false;
        out = {static_cast<std::uint64_t>(runtime), static_cast<std::uint64_t>(scheduled)};
        return true;
    }
    ProcPath path = task_path(pid, tid, "status");
    ssize_t n = read_file(path.c_str(), small_, sizeof small_);
    if (n < 0) return false;
    const char* voluntary = std::strstr(small_, "\nvoluntary_ctxt_switches:");
    const char* involuntary = std::strstr(small_, "\nnonvoluntary_ctxt_switches:");
    if (voluntary == nullptr || involuntary == nullptr) return false;
    voluntary += std::strlen("\nvoluntary_ctxt_switches:");
    involuntary += std::strlen("\nnonvoluntary_ctxt_switches:");
    std::int64_t a, b;
    while (*voluntary == '\t') ++voluntary;
    while (*involuntary == '\t') ++involuntary;
    if (!parse_signed(voluntary, a) || !parse_signed(involuntary, b)) return false;
    out = {static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(b)};
    return true;
}

InputProbe::Wait InputProbe::classify(pid_t pid, pid_t tid, bool& unknown) {
    ProcPath path = task_path(pid, tid, "syscall");
    ssize_t n = read_file(path.c_str(), call_, sizeof call_);
    if (n < 0) {
        if (errno == EACCES || errno == EPERM) {
            set_reason(path.c_str(), errno);
            unknown = true;
        }
        call_[0] = '\0';
        return Wait::Other;
    }
    const char* p = call_;
    std::int64_t nr;
    if (!parse_signed(p, nr) || nr < 0) return Wait::Other;  // on a CPU, or blocked outside a call
    std::uint64_t args[6] = {};
    for (auto& arg : args) {
        if (!parse_hex(p, arg)) return Wait::Other;
    }
    if (nr == kCalls.futex) {
        unsigned command = static_cast<unsigned>(args[1]) & kFutexCmdMask;
        bool untimed = args[3] == 0;
        return (command == kFutexWait || command == kFutexWaitBitset) && untimed ? Wait::Parked : Wait::Other;
    }
    if (nr == kCalls.rt_sigtimedwait) {
        // Untimed, for the timer signal only: the helper thread of the
        // program's own timers, parked like an idle worker.
        if (args[2] != 0 || args[3] != sizeof(std::uint64_t)) return Wait::Other;
        if (!read_memory(pid, args[0], sizeof(std::uint64_t), unknown)) return Wait::Other;
        std::uint64_t set;
        std::memcpy(&set, big_.data(), sizeof set);
        return set == kTimerHelperSet ? Wait::Parked : Wait::Other;
    }
    if (nr == kCalls.read || nr == kCalls.readv) {
        return is_terminal(pid, as_int(args[0])) ? Wait::Terminal : Wait::Other;
    }
    if (nr == kCalls.wait4) {
        // wait4(pid, ...): > 0 one child, -1 any, 0 any of our group, < -1 any of that group.
        int target = as_int(args[0]);
        if (target > 0) return waits_for_member(pid, kPPid, target) ? Wait::Child : Wait::Orphan;
        if (target == -1) return waits_for_member(pid, kPAll, 0) ? Wait::Child : Wait::Orphan;
        return waits_for_member(pid, kPPgid, target == 0 ? 0 : -static_cast<std::int64_t>(target))
                   ? Wait::Child
                   : Wait::Orphan;
    }
    if (nr == kCalls.waitid) {
        return waits_for_member(pid, as_int(args[0]), static_cast<std::int64_t>(as_int(args[1])))
                   ? Wait::Child
                   : Wait::Orphan;
    }
    fds_.clear();
    bool decoded = false;
    bool finite = false;
    if (nr == kCalls.poll) {
        decoded = decode_poll(pid, args[0], args[1], unknown);
        finite = as_int(args[2]) >= 0;
    } else if (nr == kCalls.ppoll) {
        decoded = decode_poll(pid, args[0], args[1], unknown);
        finite = args[2] != 0;
    } else if (nr == kCalls.select || nr == kCalls.pselect6) {
        decoded = decode_select(pid, as_int(args[0]), &args[1], unknown);
        finite = args[4] != 0;
    } else if (nr == kCalls.epoll_wait || nr == kCalls.epoll_pwait) {
        decoded = decode_epoll(pid, as_int(args[0]));
        finite = as_int(args[3]) >= 0;
    } else if (nr == kCalls.epoll_pwait2) {
        decoded = decode_epoll(pid, as_int(args[0]));
        finite = args[3] != 0;
    }
    if (!decoded) return Wait::Other;
    return classify_set(pid, finite);
}

InputProbe::Wait InputProbe::classify_set(pid_t pid, bool finite) {
    bool terminal = false;
    bool others_inert = true;
    for (int fd : fds_) {
        if (is_terminal(pid, fd)) {
            terminal = true;
        } else if (others_inert && !is_inert(pid, fd)) {
            others_inert = false;
        }
    }
    if (!terminal) return Wait::Other;
    // A timer, or a descriptor someone else can make ready, may end the wait:
    // the program may act on its own.
    if (finite || !others_inert) return Wait::Loose;
    return Wait::Terminal;
}

bool InputProbe::waits_for_member(pid_t pid, int idtype, std::int64_t id) const {
    bool any_child = false;
    switch (idtype) {
        case kPAll:
        case kPPidfd:  // the descriptor's process is not resolved: any child of the group
            any_child = true;
            break;
        case kPPgid:
            if (id != 0 && id != scan_tpgid_) return false;  // a child of another group
            any_child = true;
            break;
        case kPPid:
            break;
        default:
            return false;
    }
    for (const Member& member : members_) {
        if (member.ppid != pid) continue;
        if (any_child || member.pid == id) return true;
    }
    return false;
}

bool InputProbe::read_memory(pid_t pid, std::uint64_t address, std::size_t size, bool& unknown) {
    if (size > big_.size()) return false;
    ProcPath path;
    path.add("/proc/").add(pid).add("/mem");
    UniqueFd mem(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!mem) {
        if (errno == EACCES || errno == EPERM) {
            set_reason(path.c_str(), errno);
            unknown = true;
        }
        return false;
    }
    ssize_t n = ::pread(mem.get(), big_.data(), size, static_cast<off_t>(address));
    if (n < 0 && (errno == EACCES || errno == EPERM)) {
        set_reason(path.c_str(), errno);
        unknown = true;
    }
    return n == static_cast<ssize_t>(size);
}

bool InputProbe::decode_poll(pid_t pid, std::uint64_t address, std::uint64_t count, bool& unknown) {
    if (count > kMaxPollFds) return false;
    std::size_t size = static_cast<std::size_t>(count) * sizeof(pollfd);
    if (!read_memory(pid, address, size, unknown)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        pollfd entry;
        std::memcpy(&entry, big_.data() + i * sizeof(pollfd), sizeof entry);
        if (entry.fd < 0) continue;
        if ((entry.events & (POLLIN | POLLPRI)) == 0) return false;  // waits to write: not an input wait
        fds_.push_back(entry.fd);
    }
    return true;
}

bool InputProbe::decode_select(pid_t pid, std::int64_t nfds, const std::uint64_t* sets, bool& unknown) {
    if (nfds <= 0 || nfds > kMaxSelectFds) return false;
    std::size_t size = static_cast<std::size_t>((nfds + 63) / 64 * 8);
    for (int kind = 0; kind < 3; ++kind) {  // read, write, except
        if (sets[kind] == 0) continue;
        if (!read_memory(pid, sets[kind], size, unknown)) return false;
        const auto* bytes = reinterpret_cast<const unsigned char*>(big_.data());
        for (std::int64_t fd = 0; fd < nfds; ++fd) {
            if ((bytes[fd / 8] >> (fd % 8) & 1) == 0) continue;
            // An empty write set passed anyway (Python 3.10's select does)
            // waits on nothing; a descriptor in it is not an input wait.
            if (kind == 1) return false;
            fds_.push_back(static_cast<int>(fd));
        }
    }
    return true;
}

bool InputProbe::decode_epoll(pid_t pid, int epfd) {
    ProcPath path;
    path.add("/proc/").add(pid).add("/fdinfo/").add(epfd);
    ssize_t n = read_file(path.c_str(), big_.data(), big_.size());
    if (n < 0 || static_cast<std::size_t>(n) + 1 >= big_.size()) return false;  // unreadable or too many to tell
    for (const char* line = big_.data(); line != nullptr && *line != '\0';) {
        if (starts_with(line, "tfd:")) {
            const char* p = line + 4;
            std::int64_t fd;
            if (parse_signed(p, fd)) fds_.push_back(static_cast<int>(fd));
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    return true;
}

bool InputProbe::is_terminal(pid_t pid, int fd) {
    if (fd < 0) return false;
    ProcPath path;
    path.add("/proc/").add(pid).add("/fd/").add(fd);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    // /dev/tty is the process's controlling terminal, which is ours: only
    // processes of the terminal's session are asked about.
    return info.st_rdev == terminal_ || info.st_rdev == makedev(5, 0);
}

bool InputProbe::is_inert(pid_t pid, int fd) {
    ProcPath path;
    path.add("/proc/").add(pid).add("/fd/").add(fd);
    char target[128];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) return false;
    target[n] = '\0';
    if (std::strcmp(target, "anon_inode:[eventfd]") == 0 || std::strcmp(target, "anon_inode:[signalfd]") == 0) {
        return true;
    }
    if (std::strcmp(target, "anon_inode:[timerfd]") == 0) {
        ProcPath info_path;
        info_path.add("/proc/").add(pid).add("/fdinfo/").add(fd);
        ssize_t m = read_file(info_path.c_str(), small_, sizeof small_);
        return m > 0 && std::strstr(small_, "it_value: (0, 0)") != nullptr;
    }
    if (!starts_with(target, "pipe:")) return false;
    // Its own pipe: the program holds the other end too, so only it (asleep)
    // can write there.
    ProcPath fd_dir;
    fd_dir.add("/proc/").add(pid).add("/fd");
    UniqueFd dir(::open(fd_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    bool own = false;
    for_each_number(dir.get(), big_, [&](pid_t other) {
        if (own || other == fd) return;
        ProcPath other_path;
        other_path.add("/proc/").add(pid).add("/fd/").add(other);
        char other_target[128];
        ssize_t k = ::readlink(other_path.c_str(), other_target, sizeof other_target - 1);
        if (k == n && std::memcmp(other_target, target, static_cast<std::size_t>(n)) == 0) own = true;
    });
    return own;
}

bool InputProbe::input_pending(bool& unknown) {
    // Polling the slave pushes what is still in the kernel's flip buffer
    // through first. The descriptor is closed at once: holding the slave
    // open would hide the program's exit from the reader thread.
    int slave = ::ioctl(master_fd_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        if (errno != EIO) {
            set_reason("the terminal's master (TIOCGPTPEER)", errno);
            unknown = true;
        }
        return true;  // the terminal is going away: certainly not waiting
    }
    UniqueFd owner(slave);
    pollfd entry{slave, POLLIN, 0};
    if (::poll(&entry, 1, 0) != 0) return true;
    termios attributes{};
    if (::tcgetattr(slave, &attributes) != 0) return true;
    // A non-canonical read with a timer returns by itself: the program acts
    // on its own soon.
    return (attributes.c_lflag & ICANON) == 0 && attributes.c_cc[VTIME] != 0;
}

}  // namespace pellux
