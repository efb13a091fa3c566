// A recording of one terminal as an asciicast v2 file, written while the
// session runs: the header line, then one line per event: output as the
// reader thread takes it from the terminal ("o"), input as it is typed
// ("i"), resizes ("r") and markers ("m": "restart", "end", "hidden input
// typed"), each with the seconds since the recording began.
//
// Any thread may call it: the reader thread records output, the caller's
// thread input and resizes. One mutex orders the events, and the time of an
// event is taken under it, so the times in the file never go backwards.
// Every event is one write(2) of a whole line, straight to the file: a
// reader following the file sees each event as it happens, and a crash
// loses nothing already recorded. The file never grows past its cap: the
// event that would cross it is replaced by a marker that says so, and the
// recording stops. A failing write (a full disk) stops it too; the session
// goes on.
//
// The event text is JSON, so it must be valid UTF-8: a character split
// between two reads is held back until its end arrives, and a byte that is
// no part of a valid character is written as U+FFFD.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "session/unique_fd.hpp"

namespace pellux {

// Room kept below the cap for the marker that ends a full recording.
inline constexpr std::size_t kRecordingEndRoom = 128;
// Near the cap, text events are written in pieces of at most this many bytes.
inline constexpr std::size_t kRecordingPieceBytes = 64;

class Recording {
public:
    struct Header {
        unsigned rows = 24;
        unsigned cols = 80;
        std::string title;  // the command, for players that show it
        std::string term;   // the TERM the program sees
    };

    // Creates (or truncates) `path`, readable by its owner only, and writes
    // the header. The errno on failure; a cap too small for the header and
    // the closing marker is EINVAL.
    static std::expected<std::shared_ptr<Recording>, int> open(const std::string& path,
                                                               std::uint64_t max_bytes,
                                                               const Header& header);

    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // Never throw, never fail the session: what cannot be recorded stops
    // the recording.
    void output(std::string_view bytes) noexcept;
    void input(std::string_view bytes) noexcept;
    void resize(unsigned rows, unsigned cols) noexcept;
    void marker(std::string_view label) noexcept;
    // The last event, a marker "end": a player following the file stops
    // there. Later events are dropped. Idempotent.
    void finish() noexcept;

    // The bytes written so far (the header included).
    std::uint64_t size() const;
    // Whether the recording has stopped (its cap, or a failed write).
    bool stopped() const;

private:
    Recording(UniqueFd fd, std::uint64_t max_bytes)
        : fd_(std::move(fd)), max_bytes_(max_bytes), start_(std::chrono::steady_clock::now()) {}

    // An output or input event (taking mutex_), with the stream's carry.
    void text_event(std::string_view kind, std::string_view bytes, std::string& carry) noexcept;
    // Under mutex_: writes the event `kind` whose JSON string body is
    // body_, unless the cap stops the recording first. May throw
    // std::bad_alloc (the callers stop the recording then).
    void event_locked(std::string_view kind);
    // Under mutex_: writes line_ whole; a failure stops the recording.
    void write_line_locked() noexcept;

    mutable std::mutex mutex_;
    UniqueFd fd_;
    std::uint64_t max_bytes_;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
    std::chrono::steady_clock::time_point start_;
    std::string output_carry_;  // an incomplete character at the end of the last output
    std::string input_carry_;
    std::string body_;  // reused for every event
    std::string line_;
};

// Appends `bytes` to `out` as the body of a JSON string: valid UTF-8 passes
// as it is, control characters, quote and backslash are escaped, and every
// byte that is no part of a valid character becomes U+FFFD. When `carry` is
// given, an incomplete character at the end is not written but left in
// `carry` (which is read first) for the next call.
void append_json_text(std::string& out, std::string_view bytes, std::string* carry);

}  // namespace pellux
