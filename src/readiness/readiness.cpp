#include "readiness/readiness.hpp"

#include <algorithm>

#include "readiness/marker_search.hpp"
#include "readiness/read_text.hpp"
#include "sanitize/sanitize.hpp"

namespace pellux {

using Clock = std::chrono::steady_clock;

namespace {

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


// Makes room in a read's buffer before the next chunk. A flood of tens of
// MB would otherwise grow it by doubling: each step copies everything so
// far into fresh pages, touching about twice the final size, and the
// allocator's middle-sized blocks come and go with faults of their own.
// Past 2 MiB the buffer reserves 64 MiB at once (never past the byte cap),
// then grows fourfold: the pages of a reserve that no byte reaches are
// never touched, so a large reserve costs address space, not memory.
// Smaller reads keep growing by doubling, in blocks the allocator reuses
// from one read to the next without new faults.
// Throws std::bad_alloc with nothing taken, as a receive does.
void make_room(std::string& buffer, std::size_t cap) {
    constexpr std::size_t kChunk = 8192;
    constexpr std::size_t kLargeFrom = 2 * 1024 * 1024;
    constexpr std::size_t kLargeReserve = 64 * 1024 * 1024;
    if (buffer.size() < kLargeFrom || buffer.capacity() - buffer.size() >= kChunk) return;
    const std::size_t want = std::max(kLargeReserve, 4 * buffer.capacity());
    buffer.reserve(std::max(buffer.size() + kChunk, std::min(cap, want)));
}

// How long a receive may wait when the next moment anything can change is
// `until`. Nothing but a chunk or that moment can end the wait, so it is
// not cut into slices; the bound only keeps far deadlines from overflowing
// the clock arithmetic of the wait.
Clock::duration wait_until(Clock::time_point now, Clock::time_point until) {
    if (until <= now) return Clock::duration::zero();
    return std::min<Clock::duration>(until - now, kLongestWait);
}

// quiet_ms rounded up to whole quiet slices, saturating.
std::uint64_t quiet_slices_ms(std::uint64_t quiet_ms) {
    const std::uint64_t slice = static_cast<std::uint64_t>(kQuietSlice.count());
    const std::uint64_t slices = quiet_ms / slice + (quiet_ms % slice != 0);
    return slices > UINT64_MAX / slice ? UINT64_MAX : slices * slice;
}

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
                             std::uint32_t max_output_bytes, std::uint64_t settle_ms, ReadText* text,
                             ReadEnd* why) {
    const auto deadline = deadline_after(Clock::now(), timeout_ms);
    std::vector<std::string> snapshot;
    {
        auto lock = session.ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        snapshot = **lock;
    }
    const bool check = !snapshot.empty();
    const std::shared_ptr<const MarkerSearch> markers = MarkerSearch::for_markers(snapshot);
    ReadText own(kMarkerScanWindow);
    ReadText& clean = text ? *text : own;
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
            make_room(buffer, cap);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), wait_until(now, deadline));
            if (status == RecvStatus::Disconnected) {
                end = ReadEnd::Exited;
                break;
            }
            if (status == RecvStatus::Empty) continue;
            clean.feed(buffer, buffer.capacity());
            if (!check) continue;
            if (clean.window_has_marker(buffer, *markers)) {
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
            make_room(buffer, cap);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), kSettleSlice);
            if (status == RecvStatus::Disconnected) end = ReadEnd::Exited;
            if (status != RecvStatus::Received) break;
            clean.feed(buffer, buffer.capacity());
        }
    }
    if (marker_seen && buffer.size() >= cap) end = ReadEnd::Cap;
    if (why != nullptr) *why = end;
    return taken;
}

TakenOutput take_until_quiet(Session& session, std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                             std::uint32_t max_output_bytes, ReadText* text, ReadEnd* why) {
    const auto deadline = deadline_after(Clock::now(), timeout_ms);
    // Quiet output used to be noticed on a 25 ms grid that starts at the
    // latest chunk; the read still ends at the first grid point past the
    // quiet period, now from a single wait.
    const std::uint64_t grid_ms = quiet_slices_ms(quiet_ms);
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
            const auto until = received ? std::min(deadline, deadline_after(latest_chunk, grid_ms)) : deadline;
            make_room(buffer, cap);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), wait_until(now, until));
            if (status == RecvStatus::Disconnected) {
                end = ReadEnd::Exited;
                break;
            }
            if (status == RecvStatus::Received) {
                latest_chunk = Clock::now();
                received = true;
                if (text) text->feed(buffer, buffer.capacity());
            }
        }
    }
    if (why != nullptr) *why = end;
    return taken;
}

std::string read_until_ready_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint32_t max_output_bytes, std::uint64_t settle_ms,
                                   ReadText* text) {
    return take_until_ready(session, timeout_ms, max_output_bytes, settle_ms, text).commit_and_release();
}

std::string read_until_quiet_inner(Session& session, std::uint64_t timeout_ms,
                                   std::uint64_t quiet_ms, std::uint32_t max_output_bytes,
                                   ReadText* text) {
    return take_until_quiet(session, timeout_ms, quiet_ms, max_output_bytes, text).commit_and_release();
}

CleanRead read_until_ready(Session& session, const ReadParams& params,
                           InterpreterRelease& interpreter, ReadEnd* why) {
    const std::uint64_t timeout_ms = params.timeout_ms.value_or(kDefaultTimeoutMs);
    const std::uint32_t max_output_bytes = params.max_output_bytes.value_or(kDefaultMaxOutputBytes);
    // After a fork the channel's reader thread is not here: nothing arrives.
    if (!started_here(session)) return CleanRead{TakenOutput(session), {}};
    return without_interpreter(&interpreter, [&] {
        // The text is cleaned as the chunks come in, while the read waits.
        const bool markers = should_wait_for_markers(session);
        ReadText text(markers ? kMarkerScanWindow : 0);
        CleanRead read{markers ? take_until_ready(session, timeout_ms, max_output_bytes,
                                                  params.settle_ms.value_or(kDefaultSettleMs), &text, why)
                               : take_until_quiet(session, timeout_ms,
                                                  params.quiet_ms.value_or(kDefaultQuietMs),
                                                  max_output_bytes, &text, why),
                       {}};
        read.text = std::move(text).finish(read.taken.bytes());
        return read;
    });
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
