#include "readiness/read_text.hpp"

#include <algorithm>

namespace pellux {

namespace {

// A point never reached: the window's start has no filter point after it.
constexpr std::size_t kNone = ~std::size_t{0};

}  // namespace

void ReadText::filter_pending(std::string_view buffer, std::size_t buffer_capacity) {
    // The filter never lengthens its input, so the text grows only when the
    // raw buffer did, and as far: never by steps of its own.
    if (text_.capacity() < buffer.size()) text_.reserve(std::max(buffer_capacity, buffer.size()));
    consumed_ += filter_controls(buffer.substr(consumed_), text_, window_ ? &points_ : nullptr, consumed_);
    // Where the filter stopped it stands between tokens too.
    if (window_) {
        points_.push_back({consumed_, text_.size()});
        drop_points_before(buffer.size() > window_ ? buffer.size() - window_ : 0);
    }
    const std::size_t open = buffer.size() - consumed_;
    retry_at_ = open ? consumed_ + 2 * open : 0;
    check_utf8();
}

void ReadText::drop_points_before(std::size_t start) {
    while (first_point_ < points_.size() && points_[first_point_].raw < start) ++first_point_;
    if (first_point_ > 1024 && first_point_ * 2 > points_.size()) {
        points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(first_point_));
        first_point_ = 0;
    }
}

void ReadText::check_utf8() {
    if (ill_formed_) return;
    const std::string_view rest = std::string_view(text_).substr(valid_);
    const std::size_t good = valid_utf8_prefix(rest);
    valid_ += good;
    // Four bytes are enough to judge any character; fewer may be one that
    // the next chunk completes.
    if (rest.size() - good >= 4) ill_formed_ = true;
}

void ReadText::feed(std::string_view buffer, std::size_t buffer_capacity) {
    if (buffer.size() <= consumed_ || buffer.size() < retry_at_) return;
    filter_pending(buffer, buffer_capacity);
}

bool ReadText::window_has_marker(std::string_view buffer, const MarkerSearch& markers) {
    if (markers.always()) return true;
    if (!markers.any()) return false;
    const std::size_t end = buffer.size();
    const std::size_t start = end > window_ ? end - window_ : 0;
    if (!markers.ascii()) return markers.found_in(sanitize_for_agent(buffer.substr(start)));

    drop_points_before(start);

    // Filtered from the window's start, the bytes may read differently at
    // first (the window can begin inside a sequence). Once that filter
    // stands between tokens where the whole buffer's filter did too, both
    // go on alike, and the rest of the window's text is already in text_.
    head_.clear();
    pending_.clear();
    std::size_t pos = start;
    std::size_t from = kNone;
    for (std::size_t k = first_point_; k < points_.size(); ++k) {
        const FilterPoint p = points_[k];
        if (p.raw < pos) continue;
        pos += filter_controls(buffer.substr(pos, p.raw - pos), head_);
        if (pos == p.raw) {
            from = p.out;
            break;
        }
    }
    std::size_t to;
    if (from != kNone) {
        to = text_.size();
        filter_controls(buffer.substr(consumed_), pending_);
    } else {
        filter_controls(buffer.substr(pos), head_);
        from = to = text_.size();
    }
    // The window's text is head_ + text_[from, to) + pending_.

    const auto search = [&](std::string_view a, std::string_view b, std::string_view c) {
        if (a.empty() && c.empty()) return markers.found_in(b);
        scratch_.assign(a);
        scratch_.append(b);
        scratch_.append(c);
        return markers.found_in(scratch_);
    };
    const std::string_view text(text_);
    // text_[common_from, common_to) was part of the previous window's text,
    // which held no marker, so no marker lies wholly inside it: search
    // only what comes before and after it, each with the overlap a marker
    // reaching into it needs.
    const std::size_t overlap = markers.longest() - 1;
    const std::size_t common_from = std::max(from, prev_from_);
    const std::size_t common_to = prev_to_;
    bool found;
    if (!searched_ || common_to <= common_from || common_to - common_from <= 2 * overlap) {
        found = search(head_, text.substr(from, to - from), pending_);
    } else {
        found = search(head_, text.substr(from, common_from + overlap - from), {}) ||
                search({}, text.substr(common_to - overlap, to - (common_to - overlap)), pending_);
    }
    searched_ = true;
    prev_from_ = from;
    prev_to_ = to;
    return found;
}

std::size_t ReadText::open_character(std::string_view buffer) const {
    if (ill_formed_) return 0;
    const std::size_t open = text_.size() - valid_;
    if (open == 0 || open > consumed_) return 0;
    const std::string_view tail = std::string_view(text_).substr(valid_);
    return buffer.substr(consumed_ - open, open) == tail ? open : 0;
}

std::size_t ReadText::settled_size(std::string_view buffer) const {
    return consumed_ - open_character(buffer);
}

std::size_t ReadText::settle(std::string_view buffer) {
    const std::size_t open = open_character(buffer);
    text_.resize(text_.size() - open);
    consumed_ -= open;
    retry_at_ = 0;
    return consumed_;
}

std::string ReadText::finish(std::string_view buffer) && {
    if (buffer.size() > consumed_) filter_pending(buffer, 0);
    decode_lossy(text_, valid_);
    return std::move(text_);
}

}  // namespace pellux
