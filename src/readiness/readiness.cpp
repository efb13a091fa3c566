#include "readiness/readiness.hpp"

#include <algorithm>
#include <functional>

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
                       Clock::duration wait, const ReceiveStop* stop = nullptr) {
    RecvStatus status = RecvStatus::Empty;
    if (!session.rx.apply([&](Receiver& rx) { status = rx.receive(buffer, room, wait, stop); })) {
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

namespace {

// How the loop is waiting now. A read under Auto or Input starts by probing
// and may go on as Markers or Quiet when the probe cannot tell.
enum class Stage { Markers, Settle, Quiet, Probe, Arrival };

struct LoopPlan {
    Stage stage;
    ReadRule rule;
    std::uint64_t timeout_ms;
    std::uint32_t cap;
    std::uint64_t settle_ms;
    std::uint64_t quiet_ms;
    ReadText* text;  // fed every chunk; needed by Markers, Arrival and the probe
    ReadAids aids;
    Primed primed = Primed::No;
};

ReadEnd stop_end(const ReceiveStop& stop) {
    return stop.why() == ReceiveStop::Why::Closed ? ReadEnd::Closed : ReadEnd::Interrupted;
}

// The one read loop. Everything it takes stays in the TakenOutput until the
// caller commits it.
TakenOutput take_output(Session& session, const LoopPlan& plan, ReadEnd* why) {
    const auto deadline = deadline_after(Clock::now(), plan.timeout_ms);
    std::vector<std::string> snapshot;
    if (plan.stage != Stage::Quiet) {
        auto lock = session.ready_markers.lock();
        if (!lock) throw InternalFailure(kPoisonedUnwrap);
        snapshot = **lock;
    }
    const bool check = !snapshot.empty();
    const std::shared_ptr<const MarkerSearch> markers =
        check || plan.stage == Stage::Markers ? MarkerSearch::for_markers(snapshot) : nullptr;
    ReadText* clean = plan.text;
    const ReceiveStop* stop = plan.aids.stop;
    InputProbe* probe = plan.stage == Stage::Probe ? plan.aids.probe : nullptr;
    const std::size_t cap = plan.cap;
    // Quiet output is noticed on a 25 ms grid that starts at the latest
    // chunk, from a single wait.
    const std::uint64_t grid_ms = quiet_slices_ms(plan.quiet_ms);
    // The guessing rules' pause without markers, bounded so that adding it
    // to a time cannot overflow.
    const auto quiet_pause =
        std::chrono::milliseconds(std::min<std::uint64_t>(plan.quiet_ms, std::uint64_t{1} << 40));
    TakenOutput taken(session);
    std::string& buffer = taken.bytes();

    Stage stage = plan.stage;
    auto latest_chunk = Clock::now();
    bool received = false;
    auto settle_deadline = Clock::time_point::max();
    // The probe: when to look next, the pause after that, whether output
    // came since the last look, and since when a thread of the program has
    // sat on the terminal with no output.
    auto next_look = Clock::now();
    Clock::duration look_pause = kProbeFirstDelay;
    bool fresh = false;
    constexpr auto kNotReading = Clock::time_point::max();
    auto reading_since = kNotReading;
    const std::function<bool()> reader_idle = [&session] { return session.reader_idle(); };
    if (probe != nullptr) probe->rescan();

    std::size_t watched = 0;
    bool answered = false;  // the watch typed input since the last look
    auto feed = [&] {
        if (clean != nullptr) clean->feed(buffer, buffer.capacity());
        if (plan.aids.watch != nullptr) {
            answered = plan.aids.watch->saw(buffer, watched) || answered;
            watched = buffer.size();
        }
    };
    // Everything queued now, within the cap. False when the output ended.
    auto drain = [&] {
        while (buffer.size() < cap) {
            make_room(buffer, cap);
            RecvStatus status = receive_one(session, buffer, cap - buffer.size(), Clock::duration::zero());
            if (status == RecvStatus::Disconnected) return false;
            if (status != RecvStatus::Received) break;
            feed();
        }
        return true;
    };
    // What the program wrote before it ended: until its output ends or stays
    // silent for kExitDrain, within the deadline and the cap.
    auto exit_drain = [&] {
        while (buffer.size() < cap && !(stop != nullptr && stop->requested())) {
            const auto now = Clock::now();
            if (now >= deadline) return;
            make_room(buffer, cap);
            const auto wait = std::min<Clock::duration>(kExitDrain, deadline - now);
            if (receive_one(session, buffer, cap - buffer.size(), wait, stop) != RecvStatus::Received) return;
            feed();
        }
    };
    auto marker_ends_text = [&] { return clean != nullptr && ends_with_marker(clean->filtered(), snapshot); };
    auto start_settling = [&] {
        stage = Stage::Settle;
        settle_deadline = deadline_after(Clock::now(), plan.settle_ms);
    };
    // One look of the probe. Returns the end of the read, if it ends here.
    auto look = [&](Clock::time_point now) -> std::optional<ReadEnd> {
        const ProbeLook seen = probe->check(reader_idle);
        switch (seen.verdict) {
            case InputVerdict::Waiting:
                // Everything written before the wait is queued: take it all.
                answered = false;
                if (!drain()) return ReadEnd::Exited;
                if (answered) {
                    // It was waiting for the answer to a question it asked
                    // in that output, typed just now: it goes on.
                    fresh = true;
                    reading_since = kNotReading;
                    return std::nullopt;
                }
                return ReadEnd::Input;
            case InputVerdict::Exited:
                exit_drain();
                return ReadEnd::Exited;
            case InputVerdict::Unknown:
                if (plan.aids.probe_unknown != nullptr) plan.aids.probe_unknown->assign(probe->reason());
                if (check) {
                    stage = Stage::Markers;
                    if (!buffer.empty() && clean->window_has_marker(buffer, *markers)) start_settling();
                } else {
                    stage = Stage::Quiet;
                }
                return std::nullopt;
            case InputVerdict::Busy:
                break;
        }
        // The program's markers are its own prompt: while a job or a child
        // holds the foreground (an editor, a pager), what it draws ends with
        // no marker, so the quiet rule decides as for a program without one.
        const bool by_marker = check && seen.program_in_front;
        const auto pause = by_marker ? Clock::duration(kSettleSlice) : Clock::duration(quiet_pause);
        if (plan.rule == ReadRule::Auto && seen.reading && !buffer.empty()) {
            // Someone sits on the terminal, but something else may still
            // wake the program: the guessing rules decide.
            if (reading_since == kNotReading) {
                reading_since = now;
            } else if (now - reading_since >= pause && (!by_marker || marker_ends_text())) {
                if (!drain()) return ReadEnd::Exited;
                return by_marker ? ReadEnd::Marker : ReadEnd::Quiet;
            }
        } else {
            reading_since = kNotReading;
        }
        next_look = now + look_pause;
        look_pause = std::min<Clock::duration>(kProbeDelayGrowth * look_pause, kProbeLongestDelay);
        if (reading_since != kNotReading && reading_since + pause > now) {
            next_look = std::min(next_look, reading_since + pause);
        }
        return std::nullopt;
    };

    // Output the caller holds from before counts as it would have, had this
    // read taken it.
    if (plan.primed != Primed::No && stage == Stage::Quiet) received = true;
    if (plan.primed == Primed::Marker && stage == Stage::Markers && check) start_settling();

    ReadEnd end = ReadEnd::Cap;  // what ends the loop without a break
    bool arrived = false;
    while (cap > 0) {
        if (stop != nullptr && stop->requested()) {
            end = stop_end(*stop);
            break;
        }
        if (buffer.size() >= cap) break;
        auto now = Clock::now();
        Clock::duration wait{};
        if (stage == Stage::Probe && !fresh && now >= next_look) {
            if (auto ended = look(now)) {
                end = *ended;
                break;
            }
            continue;
        }
        if (stage == Stage::Settle) {
            // Take what trails the prompt, as long as it keeps coming.
            if (now >= settle_deadline) {
                end = ReadEnd::Marker;
                break;
            }
            wait = kSettleSlice;
        } else {
            if (now >= deadline) {
                end = ReadEnd::Timeout;
                break;
            }
            Clock::time_point until = deadline;
            if (stage == Stage::Quiet && received) {
                if (now >= deadline_after(latest_chunk, plan.quiet_ms)) {
                    end = ReadEnd::Quiet;
                    break;
                }
                until = std::min(deadline, deadline_after(latest_chunk, grid_ms));
            } else if (stage == Stage::Probe) {
                until = fresh ? now : std::min(deadline, next_look);
            }
            wait = wait_until(now, until);
        }
        make_room(buffer, cap);
        RecvStatus status = receive_one(session, buffer, cap - buffer.size(), wait, stop);
        if (status == RecvStatus::Disconnected) {
            end = ReadEnd::Exited;
            break;
        }
        if (status == RecvStatus::Empty) {
            if (stop != nullptr && stop->requested()) continue;
            if (stage == Stage::Settle) {
                end = ReadEnd::Marker;
                break;
            }
            if (stage == Stage::Probe && fresh) {
                // All that came is taken: look right away.
                fresh = false;
                next_look = Clock::now();
                look_pause = kProbeFirstDelay;
            }
            continue;
        }
        feed();
        switch (stage) {
            case Stage::Markers:
                if (check && clean->window_has_marker(buffer, *markers)) start_settling();
                break;
            case Stage::Quiet:
            case Stage::Probe:
                latest_chunk = Clock::now();
                received = true;
                fresh = true;
                reading_since = kNotReading;
                break;
            case Stage::Settle:
                break;
            case Stage::Arrival:
                // New text is there once the clean text has grown past what a
                // later byte could change; everything queued behind it comes
                // along.
                if (clean->settled_size(buffer) > 0) {
                    end = drain() ? ReadEnd::Arrived : ReadEnd::Exited;
                    arrived = true;
                }
                break;
        }
        if (arrived) break;
    }
    if (why != nullptr) *why = end;
    return taken;
}

}  // namespace

TakenOutput take_until_ready(Session& session, std::uint64_t timeout_ms,
                             std::uint32_t max_output_bytes, std::uint64_t settle_ms, ReadText* text,
                             ReadEnd* why) {
    ReadText own(kMarkerScanWindow);
    return take_output(session,
                       LoopPlan{Stage::Markers, ReadRule::Markers, timeout_ms, max_output_bytes,
                                settle_ms, 0, text ? text : &own, {}},
                       why);
}

TakenOutput take_until_quiet(Session& session, std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                             std::uint32_t max_output_bytes, ReadText* text, ReadEnd* why) {
    return take_output(session,
                       LoopPlan{Stage::Quiet, ReadRule::Quiet, timeout_ms, max_output_bytes, 0,
                                quiet_ms, text, {}},
                       why);
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
                           InterpreterRelease& interpreter, ReadEnd* why, const ReadAids& aids) {
    const std::uint64_t timeout_ms = params.timeout_ms.value_or(kDefaultTimeoutMs);
    const std::uint32_t max_output_bytes = params.max_output_bytes.value_or(kDefaultMaxOutputBytes);
    // After a fork the channel's reader thread is not here: nothing arrives.
    if (!started_here(session)) return CleanRead{TakenOutput(session), {}};
    return without_interpreter(&interpreter, [&] {
        const bool markers = should_wait_for_markers(session);
        Stage stage = markers ? Stage::Markers : Stage::Quiet;
        if (params.rule == ReadRule::Arrival) {
            stage = Stage::Arrival;
        } else if (params.rule == ReadRule::Quiet) {
            stage = Stage::Quiet;
        } else if (params.rule != ReadRule::Markers && aids.probe != nullptr) {
            stage = Stage::Probe;
        }
        // The text is cleaned as the chunks come in, while the read waits.
        ReadText text(markers && stage != Stage::Quiet && stage != Stage::Arrival ? kMarkerScanWindow
                                                                                  : 0);
        const LoopPlan plan{stage,
                            params.rule,
                            timeout_ms,
                            max_output_bytes,
                            params.settle_ms.value_or(kDefaultSettleMs),
                            params.quiet_ms.value_or(kDefaultQuietMs),
                            &text,
                            aids,
                            params.primed};
        ReadEnd end = ReadEnd::Timeout;
        CleanRead read{take_output(session, plan, &end), {}};
        if (why != nullptr) *why = end;
        if (end == ReadEnd::Arrived) {
            // What later bytes could still change goes back to the queue,
            // ahead of them: the next read sees it whole.
            read.taken.give_back_from(text.settle(read.taken.bytes()));
        }
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

bool ends_with_marker(std::string_view text, const std::vector<std::string>& markers) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    auto trimmed = [&](std::string_view t) {
        while (!t.empty() && blank(t.back())) t.remove_suffix(1);
        return t;
    };
    const std::string_view tail = trimmed(text);
    for (const std::string& marker : markers) {
        const std::string_view core = trimmed(marker);
        if (!tail.ends_with(core)) continue;
        if (text.substr(tail.size() - core.size()).starts_with(marker)) return true;
    }
    return false;
}

}  // namespace pellux
