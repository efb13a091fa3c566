// A program on a pseudo-terminal this process opens, for the input probe's
// tests and benchmark: the program leads its own session with the terminal
// as its controlling terminal, as under a pellux session; this process plays
// the session's reader (it drains the master before every check, and its
// reader_idle callback drains again and says idle), so a Waiting verdict
// promises that every byte the program wrote is in Program::output.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "readiness/input_probe.hpp"
#include "session/unique_fd.hpp"

extern char** environ;

namespace pellux::probe_support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr double kWaitS = 20.0;  // generous bound for every wait: the machine is shared and noisy

struct Skip {
    std::string why;
};

inline std::string which(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

inline std::string tail(const std::string& s, std::size_t n = 200) { return s.size() > n ? s.substr(s.size() - n) : s; }

// A program on a terminal of its own, leader of its session.
class Program {
public:
    Program(std::vector<std::string> argv, std::vector<std::string> env) {
        std::string path = which(argv[0]);
        if (path.empty()) throw Skip{argv[0] + " is not installed"};
        // Everything the child needs is prepared before the fork.
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            std::string key = entry.substr(0, entry.find('='));
            bool overridden = key == "PYTHONSTARTUP" || key == "TERM" || key == "LESS";
            for (const auto& extra : env) overridden = overridden || extra.substr(0, extra.find('=')) == key;
            if (!overridden) environment.push_back(entry);
        }
        environment.push_back("TERM=vt100");
        for (const auto& extra : env) environment.push_back(extra);
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);

        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) throw Skip{"no pseudo-terminal"};
        char name[128];
        if (ptsname_r(master_.get(), name, sizeof name) != 0) throw Skip{"ptsname"};
        UniqueFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        winsize size{24, 80, 0, 0};
        ioctl(slave.get(), TIOCSWINSZ, &size);
        pid = fork();
        if (pid == 0) {
            // Async-signal-safe calls only, on memory prepared above.
            setsid();
            ioctl(slave.get(), TIOCSCTTY, 0);
            dup2(slave.get(), 0);
            dup2(slave.get(), 1);
            dup2(slave.get(), 2);
            execve(path.c_str(), args.data(), envp.data());
            _exit(127);
        }
        fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
        probe = std::make_unique<InputProbe>(pid, master_.get());
    }
    ~Program() {
        if (!reaped_) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void drain() {
        char buf[65536];
        for (;;) {
            ssize_t n = read(master_.get(), buf, sizeof buf);
            if (n <= 0) return;
            output.append(buf, static_cast<std::size_t>(n));
        }
    }
    void send(const std::string& text) {
        std::size_t at = 0;
        while (at < text.size()) {
            ssize_t n = write(master_.get(), text.data() + at, text.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
            else drain();
        }
    }
    std::string take() {
        drain();
        return std::exchange(output, std::string());
    }
    ProbeLook look() {
        drain();
        last = probe->check([this] {
            drain();
            return true;
        });
        return last;
    }
    // Checks until the probe says `want`; false when it did not within `seconds`.
    bool await(InputVerdict want, double seconds = kWaitS) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            if (look().verdict == want) return true;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return false;
    }
    // Checks until pred(look) holds.
    bool await_look(const std::function<bool(const ProbeLook&)>& pred, double seconds = kWaitS) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            if (pred(look())) return true;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return false;
    }
    // True when no check during `seconds` said Waiting.
    bool never_waiting(double seconds, bool* saw_reading = nullptr) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        bool ok = true;
        while (Clock::now() < deadline) {
            ProbeLook l = look();
            if (l.verdict == InputVerdict::Waiting) ok = false;
            if (saw_reading != nullptr && l.reading) *saw_reading = true;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return ok;
    }
    bool await_output(const std::string& text, double seconds = kWaitS) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            drain();
            if (output.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }
    int master_fd() const { return master_.get(); }
    void reap() {
        waitpid(pid, nullptr, 0);
        reaped_ = true;
    }

    pid_t pid = -1;
    std::string output;
    ProbeLook last{InputVerdict::Unknown, false};
    std::unique_ptr<InputProbe> probe;

private:
    UniqueFd master_;
    bool reaped_ = false;
};

inline bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace pellux::probe_support
