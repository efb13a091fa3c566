// libFuzzer target for sanitize_for_agent.
//
// Every input, at two alignments, must come back as text that
//   - is valid UTF-8,
//   - holds no byte below 0x20 other than TAB and LF (so no ESC, no CR),
//   - is what a byte-at-a-time reading of the cleaning rules gives,
//   - comes back unchanged when cleaned again (clean text is a fixed point).
// The fast implementation scans in vector blocks; the reference below never
// looks at more than one byte at a time, so a block-boundary slip shows up
// as a mismatch; multibyte text of 64 bytes and more also goes through the
// vector UTF-8 check, which must agree with the reference's decode. The
// two stages called apart, as a read does while its output arrives, must
// give the same text. Built with AddressSanitizer and UBSan, an overread or
// an overflow ends the run too. .ci/stages/fuzz.sh builds and runs it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sanitize/sanitize.hpp"

namespace {

using u8 = unsigned char;

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view got,
                       const std::string* want = nullptr) {
    auto dump = [](const char* label, std::string_view s) {
        std::fprintf(stderr, "%s (%zu bytes):", label, s.size());
        for (std::size_t i = 0; i < s.size() && i < 512; ++i) {
            std::fprintf(stderr, " %02X", static_cast<u8>(s[i]));
        }
        std::fprintf(stderr, "%s\n", s.size() > 512 ? " ..." : "");
    };
    std::fprintf(stderr, "fuzz_sanitize: %s\n", what);
    dump("input", input);
    dump("got", got);
    if (want != nullptr) dump("want", *want);
    std::abort();
}

// --- Reference: the cleaning rules, one byte at a time -----------------------

// Position just past the terminator of a string sequence whose body starts at
// `from`, or npos when the input ends first. A string ends at ST (ESC \);
// an OSC also at BEL.
std::size_t string_end(std::string_view s, std::size_t from, bool bel_ends) {
    for (std::size_t j = from; j < s.size(); ++j) {
        const u8 b = static_cast<u8>(s[j]);
        if (bel_ends && b == 0x07) return j + 1;
        if (b == 0x1B && j + 1 < s.size() && s[j + 1] == '\\') return j + 2;
    }
    return std::string_view::npos;
}

std::string reference_filter(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const u8 b = static_cast<u8>(s[i]);
        if (b == 0x0D) {  // carriage return
            ++i;
            continue;
        }
        if (b == 0x1B) {
            if (i + 1 == s.size()) break;  // lone ESC at the end
            const u8 c = static_cast<u8>(s[i + 1]);
            std::size_t next;
            if (c == '[') {  // CSI: up to the first byte in 40..7E
                next = std::string_view::npos;
                for (std::size_t j = i + 2; j < s.size(); ++j) {
                    const u8 f = static_cast<u8>(s[j]);
                    if (f >= 0x40 && f <= 0x7E) {
                        next = j + 1;
                        break;
                    }
                }
            } else if (c == ']') {
                next = string_end(s, i + 2, true);
            } else if (c == 'P' || c == '^' || c == '_') {
                next = string_end(s, i + 2, false);
            } else {
                next = i + 2;  // any other escape: two bytes
            }
            if (next == std::string_view::npos) break;  // unfinished: the rest goes
            i = next;
            continue;
        }
        if (b < 0x20 && b != 0x09 && b != 0x0A) {  // other control bytes
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(b));
        ++i;
    }
    return out;
}

// The allowed range of each byte of a well-formed UTF-8 sequence, as the
// Unicode Standard tabulates them, keyed by the lead byte. len 0: not a lead.
struct Form {
    int len;
    u8 lo[4];
    u8 hi[4];
};

Form form_of(u8 lead) {
    if (lead <= 0x7F) return {1, {lead}, {lead}};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, {lead, 0x80}, {lead, 0xBF}};
    if (lead == 0xE0) return {3, {lead, 0xA0, 0x80}, {lead, 0xBF, 0xBF}};
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF)
        return {3, {lead, 0x80, 0x80}, {lead, 0xBF, 0xBF}};
    if (lead == 0xED) return {3, {lead, 0x80, 0x80}, {lead, 0x9F, 0xBF}};
    if (lead == 0xF0) return {4, {lead, 0x90, 0x80, 0x80}, {lead, 0xBF, 0xBF, 0xBF}};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, {lead, 0x80, 0x80, 0x80}, {lead, 0xBF, 0xBF, 0xBF}};
    if (lead == 0xF4) return {4, {lead, 0x80, 0x80, 0x80}, {lead, 0x8F, 0xBF, 0xBF}};
    return {0, {}, {}};
}

// Lossy decode: each maximal subpart of an ill-formed sequence (the longest
// prefix of a well-formed sequence, at least one byte) becomes one U+FFFD.
std::string reference_decode(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const Form f = form_of(static_cast<u8>(s[i]));
        int k = 1;  // bytes that fit the form so far
        while (f.len > 0 && k < f.len && i + k < s.size()) {
            const u8 b = static_cast<u8>(s[i + k]);
            if (b < f.lo[k] || b > f.hi[k]) break;
            ++k;
        }
        if (f.len > 0 && k == f.len) {
            out.append(s.substr(i, k));
        } else {
            out.append("\xEF\xBF\xBD");
        }
        i += k;
    }
    return out;
}

// --- Independent checks of the result -----------------------------------------

// Decodes code point by code point and rejects overlongs, surrogates and
// values past U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const u8 b = static_cast<u8>(s[i]);
        int extra;
        std::uint32_t cp;
        std::uint32_t min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;  // cut short
        for (int k = 1; k <= extra; ++k) {
            const u8 c = static_cast<u8>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool has_forbidden_control(std::string_view s) {
    for (const char ch : s) {
        const u8 b = static_cast<u8>(ch);
        if (b < 0x20 && b != 0x09 && b != 0x0A) return true;
    }
    return false;
}

std::string check(std::string_view input) {
    std::string got = pellux::sanitize_for_agent(input);
    if (!valid_utf8(got)) fail("result is not valid UTF-8", input, got);
    if (has_forbidden_control(got)) fail("result holds a control byte", input, got);
    if (got.size() > 3 * input.size()) fail("result longer than 3 bytes per input byte", input, got);
    const std::string want = reference_decode(reference_filter(input));
    if (got != want) fail("result differs from the reference", input, got, &want);
    const std::string again = pellux::sanitize_for_agent(got);
    if (again != got) fail("cleaning clean text changed it", got, again, &got);
    return got;
}

// The stages apart, as a read uses them on output that arrives in chunks:
// the input filtered in two calls, the second resumed where the first
// stopped, with points reported; then decoded. Must equal the one-pass
// result, and a filter started at any reported point must give the rest.
void check_stages(std::string_view input, const std::string& want) {
    const std::size_t cut = input.empty() ? 0 : static_cast<u8>(input[0]) * input.size() / 256;
    std::string text;
    std::vector<pellux::FilterPoint> points;
    std::size_t used = pellux::filter_controls(input.substr(0, cut), text, &points);
    used += pellux::filter_controls(input.substr(used), text, &points, used);
    // Two points, spread out: each costs a pass over the rest.
    const std::size_t step = points.size() / 2 + 1;
    for (std::size_t k = 0; k < points.size(); k += step) {
        const pellux::FilterPoint& p = points[k];
        std::string tail;
        pellux::filter_controls(input.substr(p.raw), tail);
        if (p.out > text.size() || tail != std::string_view(text).substr(p.out))
            fail("filtering from a reported point differs", input, tail);
    }
    pellux::decode_lossy(text, pellux::valid_utf8_prefix(std::string_view(text).substr(0, text.size() / 2)));
    if (text != want) fail("the stages apart differ from one pass", input, text, &want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libFuzzer hands over a heap block of exactly `size` bytes, so reading
    // past the end is caught. The second pass shifts the start by one byte,
    // which moves every vector block boundary.
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string got = check(input);
    if (size > 0) check(input.substr(1));
    check_stages(input, got);
    return 0;
}
