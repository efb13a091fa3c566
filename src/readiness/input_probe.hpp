// Whether the program on a pellux terminal waits for input, from Linux /proc.
//
// A prompt string or a quiet period only guesses that a program has finished
// answering; the kernel knows. A program that waits for input sleeps in a
// read of its terminal (or a poll/select/epoll wait that includes it); a
// program that computes does not. InputProbe looks at the terminal's
// foreground process group and answers Waiting only when all of these hold:
//
// - every thread of every process of the group sleeps in a call that waits
//   on the terminal without a timeout, or is parked in an untimed futex wait
//   (an idle worker: whoever would wake it sleeps too), or waits for a child
//   that is itself a member of the group (a shell and its foreground job,
//   git and its editor or pager: the child's threads are judged like every
//   other member's); at least one thread waits on the terminal;
// - a poll/select/epoll wait covers nothing but the terminal and descriptors
//   only the program itself can make ready (its own pipe, both ends held; an
//   eventfd or signalfd; a disarmed timerfd). A socket, a foreign pipe or a
//   timer can wake an event loop that looks idle (node always keeps a timer);
// - no input is pending for the program (a line sent and not yet taken, or a
//   non-canonical read with a timer, VTIME, that ends by itself);
// - everything the program wrote has left the kernel and the session's
//   reader: the master polls empty (which pushes the kernel's flip buffer
//   through) and the reader thread is idle (the caller's callback), once
//   before the threads are looked at again and once after;
// - none of those threads woke while we looked (their scheduler counters and
//   states are read again), and the group still holds the terminal.
//
// Beside the verdict, ProbeLook::reading says whether some thread of the group
// sleeps waiting on the terminal at all, even when the verdict is Busy: a
// prompt printed while nobody reads the terminal is not a prompt yet.
//
// Where /proc cannot tell (the syscall or mem file refused under ptrace
// rules, an architecture whose system calls are not decoded), the verdict is
// Unknown and reason() says why; never Waiting.
//
// Cost: the probe reads small /proc files into fixed buffers. It lists /proc
// and the session's threads (to find the group's members) only when the
// threads it knows look settled and something in the session ran since the
// last listing: a check of a busy or sleeping program costs two or three
// reads per thread, a repeated check of a waiting one a few more, and the
// first Waiting after a turn one listing. A steady repeated check allocates
// nothing; a new process or thread may grow a pre-reserved container once.
//
// Thread use: one probe belongs to the read loop of its terminal; it keeps
// caches and is not safe to share between threads. It only reads /proc and
// polls descriptors: it never reads from or writes to the terminal, never
// signals anything.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "session/unique_fd.hpp"

namespace pellux {

enum class InputVerdict { Waiting, Busy, Exited, Unknown };

struct ProbeLook {
    InputVerdict verdict;
    bool reading;  // some thread of the foreground group sleeps waiting on the terminal (even when Busy)
    // The program's own process group holds the terminal's foreground, not a
    // job or a child that took it (an editor git started, a pager): only
    // then can the program's prompt be what the terminal shows last.
    bool program_in_front = true;
};

// When a read loop checks the probe: at once when output arrives (the prompt
// just came, the program is about to wait), then, while the program stays
// silent, after the first delay, doubling up to the longest. A program that
// prints its prompt and waits is seen within about the first delay; one that
// sleeps or computes silently is looked at about 1000 / 100 = 10 times a
// second, a few microseconds each (benchmarks/readiness_probe.py
// --probe-cost measures both).
inline constexpr std::chrono::microseconds kProbeFirstDelay{500};
inline constexpr std::chrono::milliseconds kProbeLongestDelay{100};
inline constexpr unsigned kProbeDelayGrowth = 2;

class InputProbe {
public:
    // pid: the program (the leader of the terminal's session). master_fd: this
    // process's descriptor of the terminal's master, borrowed (polled, and
    // used with TIOCGPTPEER for the pending-input check; never read or written).
    InputProbe(pid_t pid, int master_fd);
    InputProbe(const InputProbe&) = delete;
    InputProbe& operator=(const InputProbe&) = delete;

    // Forget cached process info; the read loop calls it when a read starts
    // (pids are reused, and a pause between reads gives them time).
    void rescan();

    // One look. reader_idle() tells whether the session's reader thread holds
    // nothing and waits in poll on the master; it is called after the master
    // polled empty, and only then.
    ProbeLook check(const std::function<bool()>& reader_idle);

    // Why the last answer was Unknown (empty otherwise), e.g.
    // "/proc/123/task/123/syscall: Operation not permitted".
    std::string_view reason() const { return {reason_, reason_len_}; }

private:
    // How a scheduler counter pair is read: /proc/.../schedstat (run time,
    // times scheduled) where the kernel keeps it, else the context-switch
    // lines of /proc/.../status.
    enum class CounterSource : std::uint8_t { Unset, Schedstat, Status };
    struct Counters {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        bool operator==(const Counters&) const = default;
    };
    struct Member {
        pid_t pid;
        pid_t ppid;
    };
    struct ThreadLook {
        pid_t pid;
        pid_t tid;
        Counters counters;
    };
    // A thread of the terminal's session as the last listing found it, with
    // its counters read after that listing. While none of them changes,
    // nothing in the session ran, so nothing forked or joined the group: the
    // listing still holds.
    struct SessionThread {
        pid_t pid;
        pid_t tid;
        bool member;  // of the foreground group
        bool seen;    // looked at by this check, with these counters:
        Counters seen_counters;
        Counters counters;
    };
    struct KnownPid {
        pid_t pid;
        bool ours;  // in the terminal's session; pids of other sessions are skipped until they go
    };
    // How one thread waits.
    enum class Wait : std::uint8_t {
        Other,     // runs, or sleeps on something else
        Terminal,  // on the terminal, and nothing else can end the wait
        Loose,     // on the terminal, but a timer or another descriptor may end it first
        Parked,    // untimed futex wait
        Child,     // waits for a child that is a member of the group
        Orphan,    // waits for a child, none of which is known as a member
    };
    enum class Look : std::uint8_t { Settled, Unsettled, Stale, Unknown };

    InputVerdict examine(const std::function<bool()>& reader_idle);
    InputVerdict output_drained(const std::function<bool()>& reader_idle);
    void scan(pid_t session, pid_t tpgid);
    bool list_session(pid_t session, pid_t tpgid, std::vector<pid_t>& pids);
    Look look(pid_t session, pid_t tpgid);
    bool session_unchanged();
    bool still_asleep();
    Wait classify(pid_t pid, pid_t tid, bool& unknown);
    Wait classify_set(pid_t pid, bool finite);
    bool decode_poll(pid_t pid, std::uint64_t address, std::uint64_t count, bool& unknown);
    bool decode_select(pid_t pid, std::int64_t nfds, const std::uint64_t* sets, bool& unknown);
    bool decode_epoll(pid_t pid, int epfd);
    bool waits_for_member(pid_t pid, int idtype, std::int64_t id) const;
    bool read_memory(pid_t pid, std::uint64_t address, std::size_t size, bool& unknown);
    bool is_terminal(pid_t pid, int fd);
    bool is_inert(pid_t pid, int fd);
    bool read_counters(pid_t pid, pid_t tid, Counters& out);
    bool input_pending(bool& unknown);
    bool ensure_terminal();
    void set_reason(const char* path, int err);
    void set_reason(const char* text);

    pid_t pid_;
    int master_fd_;
    dev_t terminal_ = 0;  // the slave's device, from the master
    bool terminal_known_ = false;
    bool reading_ = false;
    bool in_front_ = true;
    CounterSource counter_source_ = CounterSource::Unset;
    UniqueFd proc_;  // /proc, listed with getdents64

    pid_t scan_session_ = 0;
    pid_t scan_tpgid_ = 0;
    bool members_known_ = false;
    std::vector<Member> members_;
    std::vector<SessionThread> session_threads_;
    std::vector<pid_t> session_pids_;
    std::vector<pid_t> session_pids_again_;
    std::vector<KnownPid> known_;
    std::vector<KnownPid> known_next_;
    std::vector<ThreadLook> threads_;  // the settled threads of this check's look
    std::vector<int> fds_;  // descriptors of the wait being classified

    std::vector<char> big_;  // getdents64 listings, poll/select sets, epoll fdinfo
    char small_[4096];       // one small /proc file
    char call_[256];         // a thread's syscall line, as first read
    char reason_[320];
    std::size_t reason_len_ = 0;
};

}  // namespace pellux
