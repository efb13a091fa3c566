// Turns raw terminal output into text an agent can read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pellux {

// Removes terminal control sequences, carriage returns and other control
// bytes (keeping TAB and LF), then decodes the rest as UTF-8, replacing each
// maximal ill-formed subsequence with U+FFFD. The result is always valid
// UTF-8. Pure: touches nothing but its input and its result; any thread.
std::string sanitize_for_agent(std::string_view raw);

// The two stages apart, for a reader that cleans output as it arrives:
// sanitize_for_agent(raw) == decode_lossy(filter_controls(raw)).

// A place where the byte filter stood between two tokens (outside any
// sequence): input position and the output's length there. A filter started
// at such a position produces from there on exactly what the whole run did.
struct FilterPoint {
    std::size_t raw;
    std::size_t out;
};

// Stage 1: appends the bytes of `raw` that stay to `out`, and returns how
// many bytes of `raw` it consumed: all of them, or those before the ESC that
// opens a sequence the input ends in. Filtering more input from that ESC on
// appends exactly what one call over all of it would have. When `points` is
// given, some FilterPoints (about one per 64 input bytes) are appended to it,
// their input positions offset by `raw_base`. Any thread.
std::size_t filter_controls(std::string_view raw, std::string& out,
                            std::vector<FilterPoint>* points = nullptr, std::size_t raw_base = 0);

// Length of the longest well-formed UTF-8 prefix of `text`.
std::size_t valid_utf8_prefix(std::string_view text);

// Stage 2, in place: replaces each maximal ill-formed subsequence with
// U+FFFD. The first `valid` bytes must be a well-formed prefix ending on a
// character boundary; they are not checked again.
void decode_lossy(std::string& text, std::size_t valid = 0);

// Widening well-formed UTF-8 (what the stages produce) into code points, for
// a caller that stores text as fixed-width units.

// How many code points `text` holds, and its largest byte, which tells the
// width the largest one needs: below 0x80 all are ASCII, below 0xC4 all fit
// 8 bits, below 0xF0 16 bits, else 21. `text` must be well-formed UTF-8.
struct Utf8Shape {
    std::size_t chars;
    unsigned char max_byte;
};
Utf8Shape utf8_shape(std::string_view text);

// Writes the code points of well-formed `text` to `out`, which holds
// `chars` == utf8_shape(text).chars units, each wide enough for every code
// point.
void utf8_widen(std::string_view text, std::uint8_t* out, std::size_t chars);
void utf8_widen(std::string_view text, std::uint16_t* out, std::size_t chars);
void utf8_widen(std::string_view text, std::uint32_t* out, std::size_t chars);

}  // namespace pellux
