#include "readiness/marker_search.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "sanitize/sanitize.hpp"

namespace pellux {

namespace {

bool has_control(std::string_view m) {
    for (unsigned char c : m) {
        if (c < 0x20 && c != '\t' && c != '\n') return true;
    }
    return false;
}

// A prompt's first byte is rare in ordinary output, so the search jumps from
// one occurrence of it to the next with memchr, which covers many bytes a
// cycle, and compares the rest there. Should the first byte turn out common,
// it hands over to glibc's memmem, which is linear-time (two-way) whatever
// the text.
bool contains(std::string_view haystack, const std::string& needle) {
    const char* p = haystack.data();
    if (needle.size() == 1) return std::memchr(p, needle[0], haystack.size()) != nullptr;
    if (haystack.size() < needle.size()) return false;
    const char* const last = p + (haystack.size() - needle.size());  // last place a match can start
    std::size_t misses = 0;
    while (p <= last) {
        p = static_cast<const char*>(std::memchr(p, needle[0], static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr) return false;
        if (std::memcmp(p + 1, needle.data() + 1, needle.size() - 1) == 0) return true;
        ++p;
        if (++misses > 8 && misses * 16 > static_cast<std::size_t>(p - haystack.data())) {
            const std::size_t rest = static_cast<std::size_t>(haystack.data() + haystack.size() - p);
            return ::memmem(p, rest, needle.data(), needle.size()) != nullptr;
        }
    }
    return false;
}

// The trie while it is built: children by byte, in order.
struct BuildNode {
    std::map<unsigned char, std::unique_ptr<BuildNode>> children;
    bool terminal = false;
};

}  // namespace

MarkerSearch::MarkerSearch(const std::vector<std::string>& markers) {
    for (const auto& m : markers) {
        if (has_control(m)) continue;
        // For text without control bytes, cleaning is exactly the lossy
        // UTF-8 decode a marker is read with.
        std::string text = sanitize_for_agent(m);
        if (text.empty()) {
            always_ = true;
            continue;
        }
        for (unsigned char c : text) ascii_ = ascii_ && c < 0x80;
        longest_ = std::max(longest_, text.size());
        texts_.push_back(std::move(text));
    }
    if (always_ || texts_.size() <= kFewMarkers) return;

    BuildNode root;
    pairs_.assign(65536 / 64, 0);
    for (const auto& t : texts_) {
        const auto b0 = static_cast<unsigned char>(t[0]);
        if (t.size() == 1) {
            one_byte_[b0] = true;
        } else {
            const unsigned pair = b0 << 8 | static_cast<unsigned char>(t[1]);
            pairs_[pair / 64] |= std::uint64_t{1} << (pair % 64);
        }
        BuildNode* node = &root;
        for (unsigned char c : t) {
            auto& child = node->children[c];
            if (!child) child = std::make_unique<BuildNode>();
            node = child.get();
        }
        node->terminal = true;
    }
    // Flatten breadth first: a node's children get consecutive edges, so
    // the root's children are nodes 1, 2, ... in byte order.
    std::vector<const BuildNode*> order{&root};
    nodes_.emplace_back();
    for (std::size_t k = 0; k < order.size(); ++k) {
        const BuildNode* b = order[k];
        nodes_[k].terminal = b->terminal;
        nodes_[k].first_edge = static_cast<std::uint32_t>(edges_.size());
        nodes_[k].edge_count = static_cast<std::uint32_t>(b->children.size());
        for (const auto& [byte, child] : b->children) {
            if (k == 0) root_child_[byte] = static_cast<std::uint32_t>(order.size());
            edges_.push_back({byte, static_cast<std::uint32_t>(order.size())});
            order.push_back(child.get());
            nodes_.emplace_back();
        }
    }
}

std::shared_ptr<const MarkerSearch> MarkerSearch::for_markers(const std::vector<std::string>& markers) {
    if (markers.size() <= kFewMarkers) return std::make_shared<const MarkerSearch>(markers);
    struct Kept {
        std::vector<std::string> markers;
        std::shared_ptr<const MarkerSearch> search;
    };
    thread_local std::vector<Kept> kept;  // most recently used last
    for (std::size_t k = 0; k < kept.size(); ++k) {
        if (kept[k].markers != markers) continue;
        std::rotate(kept.begin() + static_cast<std::ptrdiff_t>(k), kept.begin() + static_cast<std::ptrdiff_t>(k) + 1,
                    kept.end());
        return kept.back().search;
    }
    auto search = std::make_shared<const MarkerSearch>(markers);
    if (kept.size() == kKeptLists) kept.erase(kept.begin());
    kept.push_back({markers, search});
    return search;
}

bool MarkerSearch::found_in(std::string_view text) const {
    if (always_) return true;
    if (texts_.empty()) return false;
    if (nodes_.empty()) {
        for (const auto& t : texts_) {
            if (contains(text, t)) return true;
        }
        return false;
    }
    return found_by_trie(text);
}

bool MarkerSearch::found_by_trie(std::string_view text) const {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const std::uint64_t* pairs = pairs_.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (one_byte_[s[i]]) return true;
        if (i + 1 == n) break;
        const unsigned pair = s[i] << 8 | s[i + 1];
        if (!(pairs[pair / 64] >> (pair % 64) & 1)) continue;
        // Walk the trie along the text, from the root's child for this byte.
        std::uint32_t node = root_child_[s[i]];
        for (std::size_t j = i + 1; j < n; ++j) {
            const Node& nd = nodes_[node];
            const Edge* first = edges_.data() + nd.first_edge;
            const Edge* last = first + nd.edge_count;
            const Edge* e = std::lower_bound(first, last, s[j],
                                             [](const Edge& a, unsigned char b) { return a.byte < b; });
            if (e == last || e->byte != s[j]) break;
            node = e->to;
            if (nodes_[node].terminal) return true;
        }
    }
    return false;
}

}  // namespace pellux
