// Waiting reads: until a ready marker shows up, until the output goes
// quiet, or until the program waits for input as the kernel shows it; and
// the agent's usual turn, send a line then read.
//
// One loop does every read. It waits on the session's output channel and
// wakes only when a chunk comes, when a rule can change the outcome (the
// deadline, the end of a quiet period or of the settle pause, the next look
// of the input probe) or when another thread stops the read. Settle, quiet
// and the byte cap count the raw output, whatever it cleans to: a program
// that only moves the cursor has answered.
//
// A read runs on one thread at a time per session. The waits run with the
// interpreter released through an InterpreterRelease the binding provides,
// so the core never sees Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "readiness/input_probe.hpp"
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

// Once the program has ended, how long its output may stay silent before
// the read stops collecting it (a job it left behind may hold the terminal).
inline constexpr std::chrono::milliseconds kExitDrain{50};

// When a read ends.
//  Markers: a ready marker, then the settle period; without markers, quiet
//           output (the read of a Pellux session).
//  Quiet:   the output pauses for quiet_ms after the first output.
//  Input:   the program waits for input, as the input probe sees it; the
//           read takes everything written before the wait, without settling.
//  Auto:    as Input, and where the probe sees a thread sit on the terminal
//           while something else could still wake the program (an event
//           loop's timer, a sleeping child), a marker ending the text after a
//           settle pause of kSettleSlice without output, or without markers
//           quiet_ms without output, ends it too.
//  Arrival: as soon as new text arrives, with everything queued behind it:
//           the step of a caller that matches the text as it comes (a
//           pattern wait). The read hands on only text that later bytes
//           cannot change: an escape sequence or a UTF-8 character still
//           open at the end stays queued for the next read, and a chunk
//           that holds nothing else does not end the read.
// Where the probe cannot tell (Unknown), Input and Auto go on as Markers from
// the output taken so far.
enum class ReadRule { Markers, Quiet, Auto, Input, Arrival };

// Why a waiting read ended, as its loop saw it: a ready marker showed up (and
// the settle period passed), the output went quiet, the program waits for
// input, the timeout ran out, the program's output ended, the byte cap was
// reached, or another thread stopped the read (an interrupt, a close).
// Arrived ends an Arrival read.
enum class ReadEnd { Marker, Quiet, Input, Timeout, Exited, Cap, Interrupted, Closed, Arrived };

// Output that came before the read and that the caller still holds (text a
// pattern wait left for the next read): the quiet rule counts it as a chunk
// that came as the read began; the marker rule, when that text ends with a
// marker, settles at once.
enum class Primed { No, Output, Marker };

struct ReadParams {
    std::optional<std::uint64_t> timeout_ms;
    std::optional<std::uint32_t> max_output_bytes;
    std::optional<std::uint64_t> settle_ms;
    std::optional<std::uint64_t> quiet_ms;
    ReadRule rule = ReadRule::Markers;
    Primed primed = Primed::No;
};

// Sees the output a read takes while the read runs: after each chunk, the
// read's raw bytes so far, of which those from `new_from` on are new. (The
// terminal's answers to a program's queries go out from here: the program
// waits for them before it prints more.) True when it typed input for the
// program: a program seen waiting before has that input to take now.
class OutputWatch {
public:
    virtual bool saw(std::string_view taken, std::size_t new_from) = 0;

protected:
    ~OutputWatch() = default;
};

// What a read may use beyond its session, each optional: the probe of the
// session's program (for Auto and Input; without one they go on as Markers),
// a stop that another thread may request, and a watch of the output.
struct ReadAids {
    InputProbe* probe = nullptr;
    const ReceiveStop* stop = nullptr;
    // Set when the probe answered Unknown during the read: its reason.
    std::string* probe_unknown = nullptr;
    OutputWatch* watch = nullptr;
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
                           InterpreterRelease& interpreter, ReadEnd* why = nullptr,
                           const ReadAids& aids = {});

// Writes `input` and one line feed, then reads as read_until_ready does.
Result<CleanRead> send_and_read_until_ready(Session& session, std::string_view input,
                                            const ReadParams& params,
                                            InterpreterRelease& interpreter,
                                            ReadEnd* why = nullptr);

Result<void> set_ready_markers(Session& session, std::vector<std::string> markers);

// Whether a whole marker (its own trailing blank included) ends `text`,
// with nothing but blanks after it.
bool ends_with_marker(std::string_view text, const std::vector<std::string>& markers);

}  // namespace pellux
