// The capped record of raw output that reads have handed out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellux {

inline constexpr std::size_t kMaxHistoryBytes = 4u * 1024u * 1024u;
inline constexpr std::size_t kHistoryReserve = 64u * 1024u;

// Keeps the most recent `cap` bytes appended, oldest first, in one contiguous
// block so the whole of it can be cleaned in a single pass. Trimming moves a
// start offset; the block is compacted only once the dead prefix outgrows
// the live part, so each appended byte is moved O(1) times.
class History {
public:
    explicit History(std::size_t cap) : cap_(cap) { buffer_.reserve(kHistoryReserve); }

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

}  // namespace pellux
