// The capped record of raw output that reads have handed out, and the
// hand-over itself: bytes a read took go into the history only once the
// caller has its text, and back to the queue when the read fails before.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellux {

struct Session;

inline constexpr std::size_t kMaxHistoryBytes = 4u * 1024u * 1024u;
inline constexpr std::size_t kHistoryReserve = 64u * 1024u;

// Keeps the most recent `cap` bytes appended, oldest first, in one contiguous
// block so the whole of it can be cleaned in a single pass. Trimming moves a
// start offset; the block is compacted only once the dead prefix outgrows
// the live part, so each appended byte is moved O(1) times.
class History {
public:
    explicit History(std::size_t cap) : cap_(cap) { buffer_.reserve(kHistoryReserve); }

    // All or nothing: when memory runs out the history is unchanged.
    void append(std::string_view bytes);
    std::string_view contents() const {
        return std::string_view(buffer_).substr(start_);
    }
    std::size_t size() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;
    std::size_t cap_;
};

// Raw output a read has taken from the session's queue and not yet handed
// over. commit() records it in the history; destroyed uncommitted (the read
// failed: out of memory while taking, cleaning or converting it), it puts
// its bytes back at the head of the queue, so the next read starts with
// them and the history has them once.
class TakenOutput {
public:
    explicit TakenOutput(Session& session) : session_(&session) {}
    TakenOutput(TakenOutput&& other) noexcept
        : session_(other.session_), bytes_(std::move(other.bytes_)), done_(other.done_) {
        other.done_ = true;
    }
    TakenOutput& operator=(TakenOutput&&) = delete;
    TakenOutput(const TakenOutput&) = delete;
    TakenOutput& operator=(const TakenOutput&) = delete;
    ~TakenOutput();

    std::string& bytes() { return bytes_; }

    // Records the bytes in the history; all or nothing (throws std::bad_alloc
    // with nothing recorded, and the bytes still owned here).
    void commit();

    // Puts the bytes from `keep` on back at the head of the queue, for the
    // next read; this one keeps the first `keep`.
    void give_back_from(std::size_t keep);

    // Commits, then hands the raw bytes to the caller.
    std::string commit_and_release();

private:
    Session* session_;
    std::string bytes_;
    bool done_ = false;
};

// A read's result: its clean text, and the bytes it took, still to be
// committed once the caller has the text.
struct CleanRead {
    TakenOutput taken;
    std::string text;
};

}  // namespace pellux
