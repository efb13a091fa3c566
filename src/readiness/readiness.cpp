#include "readiness/readiness.hpp"

#include <cstring>

#include "sanitize/sanitize.hpp"

namespace pellux {

using Clock = std::chrono::steady_clock;

namespace {

// A marker as it can appear in clean text. Bytes the cleaner always removes
// (controls other than TAB and LF) can never be matched, so such a marker is
// kept as "never matches" instead of being cleaned into something that might.
struct MarkerText {
    std::string text;
    bool matchable;
};

std::vector<MarkerText> prepare_markers(const std::vector<std::string>& markers) {
    std::vector<MarkerText> prepared;
    prepared.reserve(markers.size());
    for (const auto& m : markers) {
        bool controls = false;
        for (unsigned char c : m) {
            if (c < 0x20 && c != '\t' && c != '\n') {
                controls = true;
                break;
            }
        }
        // For text without control bytes, cleaning is exactly the lossy
        // UTF-8 decode a marker is read with.
        prepared.push_back(controls ? MarkerText{{}, false} : MarkerText{sanitize_for_agent(m), true});
    }
    return prepared;
}

bool contains(std::string_view haystack, const std::string& needle) {
    if (needle.empty()) return true;
    if (needle.size() == 1) return std::memchr(haystack.data(), needle[0], haystack.size()) != nullptr;
    // glibc's memmem is linear-time (two-way for long needles).
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

bool window_has_marker(const std::string& buffer, const std::vector<MarkerText>& markers) {
    std::size_t n = std::min(buffer.size(), kMarkerScanWindow);
    std::string text = sanitize_for_agent(std::string_view(buffer).substr(buffer.size() - n));
    for (const auto& m : markers) {
        if (m.matchable && contains(text, m.text)) return true;
    }
    return false;
}

// One receive under the `rx` lock, appending at most `room` bytes; the rest
// of a chunk that does not fit stays queued for the next read.
// Out of memory, it throws with nothing taken and the lock usable.
RecvStatus receive_one(Session& session, std::string& buffer, std::size_t room,
                       Clock::duration wait) {
    RecvStatus status = RecvStatus::Empty;
    if (!session.rx.apply([&](Receiver& rx) { status = rx.receive(buffer, room, wait); })) {
        throw InternalFailure(kPoisonedUnwrap);
    }
    return status;
}

class ReleasedScope {
public:
    explicit ReleasedScope(InterpreterRelease& interpreter) : interpreter_(interpreter) {
        interpreter_.release();
    }
    ~ReleasedScope() { interpreter_.reacquire(); }
    ReleasedScope(const ReleasedScope&) = delete;
    ReleasedScope& operator=(const ReleasedScope&) = delete;

private:
    InterpreterRelease& interpreter_;
};

}  // namespace

Clock::time_point deadline_after(Clock::time_point now, std::uint64_t ms) {
    using namespace std::chrono;
    auto headroom = duration_cast<milliseconds>(Clock::time_point::max() - now).count();
    if (headroom <= 0 || ms >= static_cast<std::uint64_t>(headroom)) return Clock::time_point::max();
    return now + milliseconds(static_cast<milliseconds::rep>(ms));
}

bool should_wait_for_markers(Session& session) {
    if (!session.interactive) return false;
    auto markers = session.ready_markers.lock();
    if (!markers) throw InternalFailure(kPoisonedUnwrap);
    return !(*markers)->empty();
}

TakenOutput take_until_ready(Session& session, std::uint64_t timeout_ms,
                             std::uint32_t max_output_bytes, std::uint64_t settle_ms,
                             ReadEnd* why) {
    const auto deadline = deadline_after(Clock::now(), timeout_ms);
    std::vector<MarkerText> markers;
    {
        auto lock = session.ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        markers = prepare_markers(**lock);
    }
    const std::size_t cap = max_output_bytes;
    TakenOutput taken(session);
    std::string& buffer = taken.bytes();
    bool marker_seen = false;
    ReadEnd end = ReadEnd::Cap;  // what ends the loop without a break
    if (cap > 0) {
        while (buffer.size() < cap) {
            auto now = Clock::now();
            if (now >= deadline) {
                end = ReadEnd::Timeout;
                break;
            }
            auto wait = std::min<Clock::duration>(deadline - now, kMarkerWaitSlice);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), wait);
            if (status == RecvStatus::Disconnected) {
                end = ReadEnd::Exited;
                break;
            }
            if (status == RecvStatus::Empty || markers.empty()) continue;
            if (window_has_marker(buffer, markers)) {
                marker_seen = true;
                end = ReadEnd::Marker;
                break;
            }
        }
    }
    if (marker_seen && buffer.size() < cap) {
        // Settle: take what trails the prompt, as long as it keeps coming.
        const auto settle_deadline = deadline_after(Clock::now(), settle_ms);
        while (buffer.size() < cap && Clock::now() < settle_deadline) {
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), kSettleSlice);
            if (status == RecvStatus::Disconnected) end = ReadEnd::Exited;
            if (status != RecvStatus::Received) break;
        }
    }
    if (marker_seen && buffer.size() >= cap) end = ReadEnd::Cap;
    if (why != nullptr) *why = end;
    return taken;
}

TakenOutput take_until_quiet(Session& session, std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                             std::uint32_t max_output_bytes, ReadEnd* why) {
    const auto deadline = deadline_after(Clock::now(), timeout_ms);
    auto latest_chunk = Clock::now();
    bool received = false;
    const std::size_t cap = max_output_bytes;
    TakenOutput taken(session);
    std::string& buffer = taken.bytes();
    ReadEnd end = ReadEnd::Cap;  // what ends the loop without a break
    if (cap > 0) {
        while (buffer.size() < cap) {
            auto now = Clock::now();
            if (now >= deadline) {
                end = ReadEnd::Timeout;
                break;
            }
            if (received && now >= deadline_after(latest_chunk, quiet_ms)) {
                end = ReadEnd::Quiet;
                break;
            }
            auto wait = std::min<Clock::duration>(deadline - now, kQuietSlice);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), wait);
            if (status == RecvStatus::Disconnected) {
                end = ReadEnd::Exited;
                break;
            }
            if (status == RecvStatus::Received) {
                latest_chunk = Clock::now();
                received = true;
            }
        }
    }
    if (why != nullptr) *why = end;
    return taken;
}

std::string read_until_ready_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint32_t max_output_bytes, std::uint64_t settle_ms) {
    return take_until_ready(session, timeout_ms, max_output_bytes, settle_ms).commit_and_release();
}

std::string read_until_quiet_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint64_t quiet_ms, std::uint32_t max_output_bytes) {
    return take_until_quiet(session, timeout_ms, quiet_ms, max_output_bytes).commit_and_release();
}

CleanRead read_until_ready(Session& session, const ReadParams& params,
                           InterpreterRelease& interpreter, ReadEnd* why) {
    const std::uint64_t timeout_ms = params.timeout_ms.value_or(kDefaultTimeoutMs);
    const std::uint32_t max_output_bytes = params.max_output_bytes.value_or(kDefaultMaxOutputBytes);
    ReleasedScope released(interpreter);
    CleanRead read{should_wait_for_markers(session)
                       ? take_until_ready(session, timeout_ms, max_output_bytes,
                                          params.settle_ms.value_or(kDefaultSettleMs), why)
                       : take_until_quiet(session, timeout_ms,
                                          params.quiet_ms.value_or(kDefaultQuietMs),
                                          max_output_bytes, why),
                   {}};
    read.text = sanitize_for_agent(read.taken.bytes());
    return read;
}

Result<CleanRead> send_and_read_until_ready(Session& session, std::string_view input,
                                              const ReadParams& params,
                                              InterpreterRelease& interpreter, ReadEnd* why) {
    std::string line;
    line.reserve(input.size() + 1);
    line.append(input);
    line.push_back('\n');
    // The write is bounded by the same timeout as the read that follows.
    const auto write_deadline =
        deadline_after(Clock::now(), params.timeout_ms.value_or(kDefaultTimeoutMs));
    if (auto written = write_bytes(session, line, &interpreter, write_deadline); !written) {
        return std::unexpected(written.error());
    }
    return read_until_ready(session, params, interpreter, why);
}

Result<void> set_ready_markers(Session& session, std::vector<std::string> markers) {
    auto lock = session.ready_markers.lock();
    if (!lock) return runtime_error("ready_markers lock poisoned");
    **lock = std::move(markers);
    return {};
}

}  // namespace pellux
