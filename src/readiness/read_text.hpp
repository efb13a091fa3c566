// The clean text of one waiting read, built while the read waits.
//
// A read appends raw chunks to its buffer; after each one it hands the
// buffer here. The byte filter runs over the new bytes only, so when the
// read ends its text is all but done: what is left is the UTF-8 check of the
// last few bytes (and a repair if the output was ill-formed). The same
// filtered text answers the marker search over the last 8 KiB of the
// buffer without cleaning that window again for every chunk.
//
// Local to the read, on the owner thread; touches no session state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "readiness/marker_search.hpp"
#include "sanitize/sanitize.hpp"

namespace pellux {

class ReadText {
public:
    // `window`: how many raw bytes at the end of the buffer a marker search
    // looks at.
    explicit ReadText(std::size_t window) : window_(window) {}

    // `buffer` is the read's whole raw output so far; only what was appended
    // since the last call is new. `buffer_capacity`, the storage the caller
    // holds for it, lets the text grow in the same steps.
    void feed(std::string_view buffer, std::size_t buffer_capacity = 0);

    // Whether a marker occurs in sanitize_for_agent(the last `window` bytes
    // of buffer), the answer the whole window cleaned and searched would
    // give. Relies on every earlier call of this read having answered no:
    // with ASCII markers it searches only the text that differs from the
    // previous window's (its start and its end) plus the overlap a marker
    // needs. Call after feed().
    bool window_has_marker(std::string_view buffer, const MarkerSearch& markers);

    // The text filtered so far: clean but for the repair of ill-formed
    // UTF-8, and without an unfinished sequence at the buffer's end.
    std::string_view filtered() const { return text_; }

    // How many bytes of the buffer fed so far stand for text that no later
    // byte can change: those before an open escape sequence, less a UTF-8
    // character left unfinished at their end.
    // `buffer` is the one fed last.
    std::size_t settled_size(std::string_view buffer) const;

    // Drops from the text what settled_size() leaves out and returns it:
    // finish() of the buffer cut there gives the text of those bytes alone.
    std::size_t settle(std::string_view buffer);

    // sanitize_for_agent(buffer), from the text built so far.
    std::string finish(std::string_view buffer) &&;

private:
    void filter_pending(std::string_view buffer, std::size_t buffer_capacity);
    // Forgets the points before `start`: windows only move forwards.
    void drop_points_before(std::size_t start);
    void check_utf8();
    // The length of the unfinished UTF-8 character that ends text_, when its
    // bytes are the last raw bytes consumed (no control byte among them).
    std::size_t open_character(std::string_view buffer) const;

    std::size_t window_;

    // The byte filter's output for buffer[0, consumed_); buffer from
    // consumed_ on is an unfinished sequence or not filtered yet.
    std::string text_;
    std::size_t consumed_ = 0;
    // When an unfinished sequence stays open across chunks, it is filtered
    // again only once the pending bytes have doubled, so a long one costs
    // linear time in all.
    std::size_t retry_at_ = 0;
    // Where the filter stood between tokens, in order; those before
    // first_point_ lie before every later window and are done with.
    std::vector<FilterPoint> points_;
    std::size_t first_point_ = 0;
    // text_[0, valid_) is well-formed UTF-8; ill_formed_ once the bytes at
    // valid_ are known to be ill-formed whatever follows.
    std::size_t valid_ = 0;
    bool ill_formed_ = false;

    // What the previous window's text held of text_, text_[prev_from_,
    // prev_to_), valid while searched_.
    bool searched_ = false;
    std::size_t prev_from_ = 0;
    std::size_t prev_to_ = 0;

    std::string head_;     // the window's start, filtered from there
    std::string pending_;  // what follows consumed_ in the window, filtered
    std::string scratch_;  // a region to search that spans those pieces
};

}  // namespace pellux
