// Whether the program of a terminal waits for input, as the kernel shows it
// through /proc: one look at a time, for the read loop.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace pellux {

enum class InputVerdict { Waiting, Busy, Exited, Unknown };

struct ProbeLook {
    InputVerdict verdict;
    bool reading;  // some thread of the foreground group sleeps waiting on the terminal (even when Busy)
};

class InputProbe {
public:
    // pid: the program (the leader of the terminal's session). master_fd: this process's descriptor of
    // the terminal's master, borrowed (polled, and used with TIOCGPTPEER for the pending-input check;
    // never read or written).
    InputProbe(pid_t pid, int master_fd);
    // Forget cached process info; the read loop calls it when a read starts.
    void rescan();
    // One look. reader_idle() tells whether the session's reader thread holds nothing and waits in poll
    // on the master; the probe calls it at the right point of its sequence (after the master poll).
    ProbeLook check(const std::function<bool()>& reader_idle);
    // Why the last answer was Unknown (empty otherwise), e.g. "/proc/123/task/123/syscall: Permission denied".
    std::string_view reason() const;

private:
    pid_t pid_;
    int master_fd_;
    std::string reason_;
};

}  // namespace pellux
