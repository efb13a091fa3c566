// Writing input to the child's terminal.
#include "session/input.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "session/errno_text.hpp"
#include "session/session.hpp"

namespace pellux {

namespace {

constexpr int kRoomWaitSliceMs = 100;

// Waits until the terminal takes input again. 0, or EIO once nobody holds
// the terminal's other side: input to a program that is gone would otherwise
// wait for ever.
int wait_for_room(int fd, InterpreterRelease* waiting) {
    while (true) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        int r = without_interpreter(waiting, [&] {
            int polled = ::poll(&p, 1, kRoomWaitSliceMs);
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
// room (the descriptor is non-blocking). A write that accepts nothing is an
// error with `zero_text`.
std::expected<std::size_t, std::string> write_fully(int fd, std::string_view bytes,
                                                    const char* zero_text, std::size_t& written,
                                                    InterpreterRelease* waiting) {
    written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                if (int err = wait_for_room(fd, waiting); err != 0) {
                    return std::unexpected(system_error_text(err));
                }
                continue;
            }
            return std::unexpected(system_error_text(errno));
        }
        if (n == 0) return std::unexpected(std::string(zero_text));
        written += static_cast<std::size_t>(n);
    }
    return written;
}

}  // namespace

std::expected<void, std::string> BufferedWriter::flush_buffer(InterpreterRelease* waiting) {
    std::size_t written = 0;
    auto r = write_fully(fd_.get(), buffer_, "failed to write the buffered data", written, waiting);
    buffer_.erase(0, written);  // what the terminal did not accept stays buffered
    if (!r) return std::unexpected(r.error());
    return {};
}

std::expected<void, std::string> BufferedWriter::write(std::string_view bytes,
                                                       InterpreterRelease* waiting) {
    std::size_t spare = kWriterBufferBytes - buffer_.size();
    if (bytes.size() < spare) {
        buffer_.append(bytes);
        return {};
    }
    if (bytes.size() > spare) {
        if (auto r = flush_buffer(waiting); !r) return r;
    }
    if (bytes.size() >= kWriterBufferBytes) {
        std::size_t written = 0;
        auto r = write_fully(fd_.get(), bytes, "failed to write whole buffer", written, waiting);
        if (!r) return std::unexpected(r.error());
        return {};
    }
    buffer_.append(bytes);
    return {};
}

std::expected<void, std::string> BufferedWriter::flush(InterpreterRelease* waiting) {
    return flush_buffer(waiting);
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

Result<void> write_bytes(Session& session, std::string_view bytes, InterpreterRelease* waiting) {
    if (!started_here(session)) return runtime_error("write failed: " + foreign_process_text(session));
    auto writer = session.writer.lock();
    if (!writer) return runtime_error("writer lock poisoned");
    if (auto r = (*writer)->write(bytes, waiting); !r) return runtime_error("write failed: " + r.error());
    if (auto r = (*writer)->flush(waiting); !r) return runtime_error("flush failed: " + r.error());
    return {};
}

Result<void> send_ctrl_c(Session& session, InterpreterRelease* waiting) {
    return write_bytes(session, "\x03", waiting);
}

}  // namespace pellux
