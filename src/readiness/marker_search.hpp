// A session's ready markers as one read searches for them: every marker at
// once, in a single pass over the text.
//
// Built once per read from the snapshot of the marker list; immutable after,
// so any thread may search with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pellux {

class MarkerSearch {
public:
    // Each marker is matched as the clean text of its bytes (their lossy
    // UTF-8 reading). A marker holding a byte the cleaner always removes
    // (a control other than TAB and LF) can never match and is left out.
    explicit MarkerSearch(const std::vector<std::string>& markers);

    // The search for `markers`. A long list is built once and kept, for the
    // last few lists this thread has used: a session's reads all run on its
    // owner thread and mostly use one list, which would otherwise be built
    // again for every read (half a millisecond for 1,000 markers).
    static std::shared_ptr<const MarkerSearch> for_markers(const std::vector<std::string>& markers);

    // True when some marker can match at all.
    bool any() const { return always_ || !texts_.empty(); }
    // An empty marker: every text matches.
    bool always() const { return always_; }
    // Every marker that can match is ASCII. Such a marker is found in the
    // clean text exactly where it is found in the filtered bytes before they
    // are decoded, as decoding leaves ASCII bytes where they are and turns
    // runs of bytes from 80 up into runs of bytes from 80 up.
    bool ascii() const { return ascii_; }
    // Length in bytes of the longest marker text.
    std::size_t longest() const { return longest_; }

    // Whether any marker occurs in `text`.
    bool found_in(std::string_view text) const;

private:
    bool found_by_trie(std::string_view text) const;

    // With this many markers or fewer, each is searched on its own with
    // memchr or memmem, which run at many bytes per cycle; with more, one
    // pass over the text tests every position for all of them.
    static constexpr std::size_t kFewMarkers = 8;
    // How many long lists for_markers keeps per thread.
    static constexpr std::size_t kKeptLists = 4;

    struct Edge {
        unsigned char byte;
        std::uint32_t to;
    };
    struct Node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        bool terminal = false;
    };

    std::vector<std::string> texts_;
    bool always_ = false;
    bool ascii_ = true;
    std::size_t longest_ = 0;

    // The many-markers pass: a position can start a match only if its byte
    // starts a one-byte marker or its byte pair starts a longer one; there
    // the trie of all markers is walked forwards.
    std::array<bool, 256> one_byte_{};
    std::vector<std::uint64_t> pairs_;  // 65,536 bits: byte pairs that start a marker
    std::vector<Node> nodes_;           // the trie, root first
    std::array<std::uint32_t, 256> root_child_{};  // the root's child for each byte (0: none)
    std::vector<Edge> edges_;           // each node's edges sorted by byte
};

}  // namespace pellux
