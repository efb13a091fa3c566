// Waiting reads: until a ready marker shows up, or until the output goes
// quiet; and the agent's usual turn, send a line then read.
//
// All of this runs on the session's owner thread. The waits run with the
// interpreter released through an InterpreterRelease the binding provides,
// so the core never sees Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "readiness/read_text.hpp"
#include "session/session.hpp"

namespace pellux {

inline constexpr std::uint64_t kDefaultTimeoutMs = 20000;
inline constexpr std::uint32_t kDefaultMaxOutputBytes = 2097152;
inline constexpr std::uint64_t kDefaultSettleMs = 200;
inline constexpr std::uint64_t kDefaultQuietMs = 80;

inline constexpr std::size_t kMarkerScanWindow = 8192;
inline constexpr std::chrono::milliseconds kSettleSlice{25};
inline constexpr std::chrono::milliseconds kQuietSlice{25};
// The longest single wait for a chunk. A wait ends at the next moment a
// rule can change the read's outcome (its deadline, the end of a quiet
// period) or when a chunk comes; waking earlier changes nothing, so waits
// are not sliced shorter than that.
inline constexpr std::chrono::hours kLongestWait{1};

// Why a waiting read ended, as its loop saw it: a ready marker showed up (and
// the settle period passed), the output went quiet, the timeout ran out, the
// program's output ended, or the byte cap was reached.
enum class ReadEnd { Marker, Quiet, Timeout, Exited, Cap };

struct ReadParams {
    std::optional<std::uint64_t> timeout_ms;
    std::optional<std::uint32_t> max_output_bytes;
    std::optional<std::uint64_t> settle_ms;
    std::optional<std::uint64_t> quiet_ms;
};

// now + ms, saturating at the clock's end instead of overflowing.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point now,
                                                     std::uint64_t ms);

// True when the session waits for markers: interactive with a non-empty list.
bool should_wait_for_markers(Session& session);

// The raw reads, recording what they took in the history. Given a
// ReadText, they feed it every chunk as it arrives (the marker read always
// keeps one, for its marker search).
std::string read_until_ready_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint32_t max_output_bytes, std::uint64_t settle_ms,
                                   ReadText* text = nullptr);
std::string read_until_quiet_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint64_t quiet_ms, std::uint32_t max_output_bytes,
                                   ReadText* text = nullptr);

// The same, leaving the history to the caller (see TakenOutput): a read that
// fails, out of memory, puts back what it took.
// `why`, when given, receives the reason the read ended.
TakenOutput take_until_ready(Session& session, std::uint64_t timeout_ms,
                             std::uint32_t max_output_bytes, std::uint64_t settle_ms,
                             ReadText* text = nullptr, ReadEnd* why = nullptr);
TakenOutput take_until_quiet(Session& session, std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                             std::uint32_t max_output_bytes, ReadText* text = nullptr,
                             ReadEnd* why = nullptr);

// The whole read: mode choice, read, cleaning. Timeout, cap and end of
// output are not errors. Poisoned locks are internal failures. The caller
// commits the result once the text is handed over.
CleanRead read_until_ready(Session& session, const ReadParams& params,
                           InterpreterRelease& interpreter, ReadEnd* why = nullptr);

// Writes `input` and one line feed, then reads as read_until_ready does.
Result<CleanRead> send_and_read_until_ready(Session& session, std::string_view input,
                                            const ReadParams& params,
                                            InterpreterRelease& interpreter,
                                            ReadEnd* why = nullptr);

Result<void> set_ready_markers(Session& session, std::vector<std::string> markers);

}  // namespace pellux
