// Writing input to the child's terminal.
#include "session/input.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "session/errno_text.hpp"
#include "session/session.hpp"

namespace pellux {

namespace {

// Writes every byte, retrying partial and interrupted writes. A write that
// accepts nothing is an error with `zero_text`.
std::expected<std::size_t, std::string> write_fully(int fd, std::string_view bytes,
                                                    const char* zero_text, std::size_t& written) {
    written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(system_error_text(errno));
        }
        if (n == 0) return std::unexpected(std::string(zero_text));
        written += static_cast<std::size_t>(n);
    }
    return written;
}

}  // namespace

std::expected<void, std::string> BufferedWriter::flush_buffer() {
    std::size_t written = 0;
    auto r = write_fully(fd_.get(), buffer_, "failed to write the buffered data", written);
    buffer_.erase(0, written);  // what the terminal did not accept stays buffered
    if (!r) return std::unexpected(r.error());
    return {};
}

std::expected<void, std::string> BufferedWriter::write(std::string_view bytes) {
    std::size_t spare = kWriterBufferBytes - buffer_.size();
    if (bytes.size() < spare) {
        buffer_.append(bytes);
        return {};
    }
    if (bytes.size() > spare) {
        if (auto r = flush_buffer(); !r) return r;
    }
    if (bytes.size() >= kWriterBufferBytes) {
        std::size_t written = 0;
        auto r = write_fully(fd_.get(), bytes, "failed to write whole buffer", written);
        if (!r) return std::unexpected(r.error());
        return {};
    }
    buffer_.append(bytes);
    return {};
}

std::expected<void, std::string> BufferedWriter::flush() { return flush_buffer(); }

BufferedWriter::~BufferedWriter() {
    if (!fd_ || buffer_.empty()) return;
    // Never wait on a terminal nobody reads any more.
    pollfd p{fd_.get(), POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0) {
        ssize_t ignored = ::write(fd_.get(), buffer_.data(), buffer_.size());
        (void)ignored;
    }
}

Result<void> write_bytes(Session& session, std::string_view bytes) {
    auto writer = session.writer.lock();
    if (!writer) return runtime_error("writer lock poisoned");
    if (auto r = (*writer)->write(bytes); !r) return runtime_error("write failed: " + r.error());
    if (auto r = (*writer)->flush(); !r) return runtime_error("flush failed: " + r.error());
    return {};
}

Result<void> send_ctrl_c(Session& session) { return write_bytes(session, "\x03"); }

}  // namespace pellux
