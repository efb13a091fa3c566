// The input path: a buffered writer over the session's own duplicate of the
// master. Owner thread only, under the session's `writer` lock.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "session/interpreter_release.hpp"
#include "session/unique_fd.hpp"

namespace pellux {

inline constexpr std::size_t kWriterBufferBytes = 8192;

class BufferedWriter {
public:
    explicit BufferedWriter(UniqueFd fd) : fd_(std::move(fd)) { buffer_.reserve(kWriterBufferBytes); }
    BufferedWriter(BufferedWriter&&) noexcept = default;
    BufferedWriter& operator=(BufferedWriter&&) = delete;
    // Writes out what is still buffered when the terminal takes it without
    // waiting, ignoring errors, then closes the descriptor.
    ~BufferedWriter();

    // Appends bytes: small writes are buffered, writes of a whole buffer or
    // more go straight to the descriptor. Errors carry the text that follows
    // "write failed: ". While the terminal has no room the call waits, with
    // `waiting` released if given; a terminal whose other side nobody holds
    // any more fails with EIO instead of waiting for ever.
    std::expected<void, std::string> write(std::string_view bytes, InterpreterRelease* waiting);

    // Writes out everything buffered. Errors carry the text that follows
    // "flush failed: ".
    std::expected<void, std::string> flush(InterpreterRelease* waiting);

    std::size_t buffered() const { return buffer_.size(); }

private:
    std::expected<void, std::string> flush_buffer(InterpreterRelease* waiting);

    UniqueFd fd_;
    std::string buffer_;
};

}  // namespace pellux
