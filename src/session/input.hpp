// The input path: a buffered writer over the session's own duplicate of the
// master. Owner thread only, under the session's `writer` lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "session/interpreter_release.hpp"
#include "session/unique_fd.hpp"

namespace pellux {

class ReceiveStop;

inline constexpr std::size_t kWriterBufferBytes = 8192;

// How long send_ctrl_c waits for a program that reads raw bytes to make room
// for the interrupt byte.
inline constexpr std::chrono::milliseconds kInterruptWriteBound{1000};

using WriteDeadline = std::chrono::steady_clock::time_point;
inline constexpr WriteDeadline kNoWriteDeadline = WriteDeadline::max();

// The longest line a terminal reading lines takes whole: the line discipline
// (Linux N_TTY) keeps 4096 bytes of a line, the last for its end, and drops
// what comes beyond without a word.
inline constexpr std::size_t kCanonicalLineLimit = 4095;

// Checks, before anything is typed, that the terminal can take `input`
// followed by a line end whole: while the program reads lines (ICANON on its
// terminal), no line of it may exceed kCanonicalLineLimit bytes. `master` is
// a descriptor of the terminal's master (its settings are the program's).
// The error is the whole message. Any thread; never blocks.
std::expected<void, std::string> check_line_lengths(int master, std::string_view input);

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
    // `waiting` released if given, until `deadline`; a terminal whose other
    // side nobody holds any more fails with EIO instead of waiting for ever.
    //
    // A write that runs out of time discards what it could not deliver and
    // every byte of input the program has not read yet, as Ctrl-C at a
    // terminal does: a half line left behind would be glued to the next
    // input and run as a different command. So does a write that `stop`
    // (when given) asks to end while it waits for room: another thread's
    // interrupt or close must not wait behind a program that reads nothing.
    std::expected<void, std::string> write(std::string_view bytes, InterpreterRelease* waiting,
                                           WriteDeadline deadline = kNoWriteDeadline,
                                           const ReceiveStop* stop = nullptr);

    // Writes out everything buffered. Errors carry the text that follows
    // "flush failed: ".
    std::expected<void, std::string> flush(InterpreterRelease* waiting,
                                           WriteDeadline deadline = kNoWriteDeadline,
                                           const ReceiveStop* stop = nullptr);

    // Ctrl-C as a terminal types it. While the terminal turns its interrupt
    // character into a signal, the input the program has not read is
    // discarded (unless NOFLSH is set) and SIGINT goes to the foreground
    // process group at once, however much input is backed up. Otherwise the
    // program reads raw bytes and gets the byte 03, waiting at most
    // kInterruptWriteBound for room. Errors carry the text that follows
    // "flush failed: ".
    std::expected<void, std::string> interrupt(InterpreterRelease* waiting);

private:
    std::expected<void, std::string> flush_buffer(InterpreterRelease* waiting, WriteDeadline deadline,
                                                  const ReceiveStop* stop);
    // Drops our own buffer and the terminal's unread input.
    void discard_pending_input();

    UniqueFd fd_;
    std::string buffer_;
};

}  // namespace pellux
