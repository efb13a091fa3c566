// Writing input to the child's terminal.
#include "session/input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "session/errno_text.hpp"
#include "session/output_channel.hpp"
#include "session/session.hpp"

namespace pellux {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRoomWaitSliceMs = 100;
// With a stop to watch, the wait looks at it this often: a stop has no
// descriptor to poll beside the terminal's.
constexpr int kStoppableSliceMs = 10;
constexpr char kInterruptByte = '\x03';

// Stands for "the deadline passed" among errno values; no system call here
// returns it.
constexpr int kTimedOut = ETIMEDOUT;
constexpr std::string_view kTimedOutText = "timed out: the program does not read its input";
// Likewise "another thread ended the wait".
constexpr int kStopped = ECANCELED;
constexpr std::string_view kStoppedText = "stopped while the program did not read its input";

std::string failure_text(int err) {
    if (err == kTimedOut) return std::string(kTimedOutText);
    if (err == kStopped) return std::string(kStoppedText);
    return system_error_text(err);
}

// Waits until the terminal takes input again. 0; EIO once nobody holds the
// terminal's other side (input to a program that is gone would otherwise
// wait for ever); kTimedOut once `deadline` has passed; kStopped once `stop`
// is requested.
int wait_for_room(int fd, InterpreterRelease* waiting, WriteDeadline deadline,
                  const ReceiveStop* stop) {
    while (true) {
        if (stop != nullptr && stop->requested()) return kStopped;
        auto now = Clock::now();
        if (now >= deadline) return kTimedOut;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        int slice = static_cast<int>(
            std::min<long long>(left, stop != nullptr ? kStoppableSliceMs : kRoomWaitSliceMs));
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        int r = without_interpreter(waiting, [&] {
            int polled = ::poll(&p, 1, slice);
            err = errno;
            return polled;
        });
        if (r < 0) {
            if (err == EINTR) continue;
            return err;
        }
        if ((p.revents & POLLOUT) != 0) return 0;
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return EIO;
    }
}

// Writes every byte, retrying partial and interrupted writes and waiting for
// room (the descriptor is non-blocking). `written` counts what the terminal
// accepted. A write that accepts nothing is an error with `zero_text`.
std::expected<void, std::string> write_fully(int fd, std::string_view bytes, const char* zero_text,
                                             std::size_t& written, InterpreterRelease* waiting,
                                             WriteDeadline deadline, const ReceiveStop* stop,
                                             bool& gave_up) {
    written = 0;
    gave_up = false;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                if (int err = wait_for_room(fd, waiting, deadline, stop); err != 0) {
                    gave_up = err == kTimedOut || err == kStopped;
                    return std::unexpected(failure_text(err));
                }
                continue;
            }
            return std::unexpected(system_error_text(errno));
        }
        if (n == 0) return std::unexpected(std::string(zero_text));
        written += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

std::expected<void, std::string> check_line_lengths(int master, std::string_view input) {
    termios attrs{};
    if (::tcgetattr(master, &attrs) != 0 || (attrs.c_lflag & ICANON) == 0) return {};
    // What ends a line on this terminal, as the line discipline reads it.
    auto ends_line = [&](unsigned char c) {
        if (c == '\n') return true;
        if (c == '\r') return (attrs.c_iflag & ICRNL) != 0 && (attrs.c_iflag & IGNCR) == 0;
        for (int slot : {VEOL, VEOL2, VEOF}) {
            if (attrs.c_cc[slot] != _POSIX_VDISABLE && c == attrs.c_cc[slot]) return true;
        }
        return false;
    };
    std::size_t longest = 0, length = 0;
    for (char c : input) {
        if (ends_line(static_cast<unsigned char>(c))) {
            length = 0;
        } else {
            longest = std::max(longest, ++length);
        }
    }
    if (longest <= kCanonicalLineLimit) return {};
    return std::unexpected("a line of " + std::to_string(longest) +
                           " bytes is longer than the terminal takes while the program reads "
                           "lines (" + std::to_string(kCanonicalLineLimit) +
                           " bytes; it would drop the rest): nothing was typed");
}

void BufferedWriter::discard_pending_input() {
    buffer_.clear();
    // The line discipline's own buffer (a half-typed line, lines the program
    // has not read) is reachable only from the terminal's side: flush it
    // through a descriptor of that side opened for the purpose. The master's
    // output flush drops what has not reached the line discipline yet.
    int peer = ::ioctl(fd_.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer >= 0) {
        ::tcflush(peer, TCIFLUSH);
        ::close(peer);
    }
    ::tcflush(fd_.get(), TCOFLUSH);
}

std::expected<void, std::string> BufferedWriter::flush_buffer(InterpreterRelease* waiting,
                                                              WriteDeadline deadline,
                                                              const ReceiveStop* stop) {
    std::size_t written = 0;
    bool gave_up = false;
    auto r = write_fully(fd_.get(), buffer_, "failed to write the buffered data", written, waiting,
                         deadline, stop, gave_up);
    buffer_.erase(0, written);  // what the terminal did not accept stays buffered
    if (gave_up) discard_pending_input();
    return r;
}

std::expected<void, std::string> BufferedWriter::write(std::string_view bytes,
                                                       InterpreterRelease* waiting,
                                                       WriteDeadline deadline,
                                                       const ReceiveStop* stop) {
    std::size_t spare = kWriterBufferBytes - buffer_.size();
    if (bytes.size() < spare) {
        buffer_.append(bytes);
        return {};
    }
    if (bytes.size() > spare) {
        if (auto r = flush_buffer(waiting, deadline, stop); !r) return r;
    }
    if (bytes.size() >= kWriterBufferBytes) {
        std::size_t written = 0;
        bool gave_up = false;
        auto r = write_fully(fd_.get(), bytes, "failed to write whole buffer", written, waiting,
                             deadline, stop, gave_up);
        if (gave_up) discard_pending_input();
        return r;
    }
    buffer_.append(bytes);
    return {};
}

std::expected<void, std::string> BufferedWriter::flush(InterpreterRelease* waiting,
                                                       WriteDeadline deadline,
                                                       const ReceiveStop* stop) {
    return flush_buffer(waiting, deadline, stop);
}

std::expected<void, std::string> BufferedWriter::interrupt(InterpreterRelease* waiting) {
    termios attrs{};
    // The master reports the terminal's settings, those the program chose.
    bool signals = ::tcgetattr(fd_.get(), &attrs) == 0 && (attrs.c_lflag & ISIG) != 0 &&
                   attrs.c_cc[VINTR] == static_cast<cc_t>(kInterruptByte);
    if (!signals) {
        const auto deadline = Clock::now() + kInterruptWriteBound;
        if (auto r = write(std::string_view(&kInterruptByte, 1), waiting, deadline); !r) return r;
        return flush(waiting, deadline);
    }
    // What the line discipline does on its interrupt character, without
    // queueing the character behind input the program may never read.
    if ((attrs.c_lflag & NOFLSH) == 0) discard_pending_input();
    if (::ioctl(fd_.get(), TIOCSIG, SIGINT) == 0) return {};
    int err = errno;
    pid_t group = ::tcgetpgrp(fd_.get());
    if (group > 0 && ::kill(-group, SIGINT) == 0) return {};
    return std::unexpected(system_error_text(group > 0 ? errno : err));
}

BufferedWriter::~BufferedWriter() {
    if (!fd_ || buffer_.empty()) return;
    // Never wait on a terminal nobody reads any more.
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0) {
        ssize_t ignored = ::write(fd_.get(), buffer_.data(), buffer_.size());
        (void)ignored;
    }
}

Result<void> write_bytes(Session& session, std::string_view bytes, InterpreterRelease* waiting,
                         WriteDeadline deadline, const ReceiveStop* stop) {
    if (!started_here(session)) return runtime_error("write failed: " + foreign_process_text(session));
    auto writer = session.writer.lock();
    if (!writer) return runtime_error("writer lock poisoned");
    if (auto r = (*writer)->write(bytes, waiting, deadline, stop); !r) {
        return runtime_error("write failed: " + r.error());
    }
    if (auto r = (*writer)->flush(waiting, deadline, stop); !r) {
        // Running out of time (or being stopped) is the write's failure,
        // whichever stage the bytes were in; nothing of this input is kept
        // for later.
        const bool gave_up = r.error().starts_with(kTimedOutText) || r.error().starts_with(kStoppedText);
        const char* stage = gave_up ? "write failed: " : "flush failed: ";
        return runtime_error(stage + r.error());
    }
    return {};
}

Result<void> send_ctrl_c(Session& session, InterpreterRelease* waiting) {
    // A forked copy must not interrupt the program of the process that started it.
    if (!started_here(session)) return runtime_error("flush failed: " + foreign_process_text(session));
    auto writer = session.writer.lock();
    if (!writer) return runtime_error("writer lock poisoned");
    if (auto r = (*writer)->interrupt(waiting); !r) return runtime_error("flush failed: " + r.error());
    return {};
}

}  // namespace pellux
