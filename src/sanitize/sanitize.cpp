// Raw terminal bytes to agent text in two stages: a byte filter that drops
// control sequences and control bytes, then a lossy UTF-8 decode.
//
// This runs on every read and on up to 4 MiB of history, so both stages move
// plain text a block at a time and only stop on bytes that need a decision.
// On x86_64 the blocks are SSE2 vectors; elsewhere (or with
// PELLUX_SANITIZE_PORTABLE defined, which the tests use to exercise it) they
// are 64-bit words.

#include "sanitize/sanitize.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(PELLUX_SANITIZE_PORTABLE)
#include <emmintrin.h>
#define PELLUX_SANITIZE_SSE2 1
#endif

namespace pellux {
namespace {

using u8 = unsigned char;

constexpr u8 kBel = 0x07;
constexpr u8 kEsc = 0x1B;
constexpr u8 kBackslash = 0x5C;

// Bytes the filter cannot copy blindly: every byte below 0x20 except TAB and
// LF. ESC is one of them.
constexpr bool is_special(u8 b) { return b < 0x20 && b != 0x09 && b != 0x0A; }

constexpr bool is_csi_final(u8 b) { return b >= 0x40 && b <= 0x7E; }

#ifdef PELLUX_SANITIZE_SSE2

constexpr std::size_t kBlock = 16;
using Block = __m128i;

inline Block load(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(u8* p, Block v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline Block splat(u8 b) { return _mm_set1_epi8(static_cast<char>(b)); }
inline unsigned bits(Block v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
inline unsigned eq_bits(Block v, u8 b) { return bits(_mm_cmpeq_epi8(v, splat(b))); }

// Bit k set when byte k is special. SSE2 has no unsigned byte compare, so
// "v <= 0x1F" is spelled min(v, 0x1F) == v.
inline unsigned special_bits(Block v) {
    const Block low = _mm_cmpeq_epi8(_mm_min_epu8(v, splat(0x1F)), v);
    const Block kept = _mm_or_si128(_mm_cmpeq_epi8(v, splat(0x09)), _mm_cmpeq_epi8(v, splat(0x0A)));
    return bits(_mm_andnot_si128(kept, low));
}

// Index of the first special byte of the block, or kBlock if none.
inline std::size_t first_special(Block v) {
    const unsigned m = special_bits(v);
    return m ? static_cast<std::size_t>(std::countr_zero(m)) : kBlock;
}

#else  // portable: 64-bit words

constexpr std::size_t kBlock = 8;
using Block = std::uint64_t;

constexpr Block kOnes = 0x0101010101010101ULL;
constexpr Block kHigh = 0x8080808080808080ULL;

inline Block load(const u8* p) {
    Block w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
inline void store(u8* p, Block w) { std::memcpy(p, &w, sizeof w); }

// High bit of each byte set exactly where the byte is zero. The additions
// stay below 0x100 per byte, so no carry leaks into a neighbour.
inline Block zero_bytes(Block x) { return ~(((x & ~kHigh) + ~kHigh) | x) & kHigh; }

inline Block special_bits(Block x) {
    const Block at_least_20 = (((x & ~kHigh) + kOnes * (0x80 - 0x20)) | x) & kHigh;
    return kHigh & ~(at_least_20 | zero_bytes(x ^ (kOnes * 0x09)) | zero_bytes(x ^ (kOnes * 0x0A)));
}

// Byte index of the lowest-addressed flagged byte in a mask of high bits.
inline std::size_t first_flagged(Block m) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(m)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(m)) / 8;
}

inline std::size_t first_special(Block w) {
    const Block m = special_bits(w);
    return m ? first_flagged(m) : kBlock;
}

#endif

// --- Sequence ends. Each returns n when the input ends first. ---------------

// First byte in 40..7E at or after i: the final byte of a CSI.
std::size_t find_csi_final(const u8* s, std::size_t i, std::size_t n) {
#ifdef PELLUX_SANITIZE_SSE2
    // "v in 40..7E" as (v - 0x40) <= 0x3E, unsigned.
    for (; n - i >= kBlock; i += kBlock) {
        const Block x = _mm_sub_epi8(load(s + i), splat(0x40));
        const unsigned m = bits(_mm_cmpeq_epi8(_mm_min_epu8(x, splat(0x3E)), x));
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#endif
    for (; i < n; ++i)
        if (is_csi_final(s[i])) return i;
    return n;
}

// First ST (ESC \) at or after i; returns the position of its ESC. The body
// may hold other ESC bytes.
std::size_t find_st(const u8* s, std::size_t i, std::size_t n) {
#ifdef PELLUX_SANITIZE_SSE2
    // Comparing the block against the one a byte further on pairs each ESC
    // with its successor; this needs one byte past the block.
    for (; n - i > kBlock; i += kBlock) {
        const unsigned m = eq_bits(load(s + i), kEsc) & eq_bits(load(s + i + 1), kBackslash);
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#endif
    while (i < n) {
        const void* e = std::memchr(s + i, kEsc, n - i);
        if (!e) return n;
        i = static_cast<std::size_t>(static_cast<const u8*>(e) - s);
        if (i + 1 < n && s[i + 1] == kBackslash) return i;
        ++i;
    }
    return n;
}

// First BEL or ST at or after i: the end of an OSC. Returns the position of
// the BEL or of the ST's ESC.
std::size_t find_osc_end(const u8* s, std::size_t i, std::size_t n) {
#ifdef PELLUX_SANITIZE_SSE2
    for (; n - i > kBlock; i += kBlock) {
        const Block v = load(s + i);
        const unsigned m = eq_bits(v, kBel) | (eq_bits(v, kEsc) & eq_bits(load(s + i + 1), kBackslash));
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#endif
    for (; i < n; ++i) {
        if (s[i] == kBel) return i;
        if (s[i] == kEsc && i + 1 < n && s[i + 1] == kBackslash) return i;
    }
    return n;
}

// --- Stage 1 ----------------------------------------------------------------

// Filters s[0, n) into d, which has room for n bytes; returns the length
// written. d may not overlap s.
std::size_t filter(const u8* s, std::size_t n, u8* d) {
    std::size_t i = 0;
    std::size_t o = 0;
    for (;;) {
        // Plain run. Each block is stored before we know how much of it is
        // plain; the part past the first special byte is overwritten later.
        // The output never runs ahead of the input (o <= i), so a block that
        // fits the input fits the output too.
        while (n - i >= kBlock) {
            const Block v = load(s + i);
            store(d + o, v);
            const std::size_t k = first_special(v);
            i += k;
            o += k;
            if (k != kBlock) break;
        }
        while (i < n && !is_special(s[i])) d[o++] = s[i++];
        if (i == n) return o;

        if (s[i] != kEsc) {  // CR and the other control bytes: dropped
            ++i;
            continue;
        }
        if (n - i < 2) return o;  // a lone ESC at the end
        std::size_t end;
        switch (s[i + 1]) {
            case '[':
                end = find_csi_final(s, i + 2, n);
                if (end == n) return o;
                i = end + 1;
                break;
            case ']':
                end = find_osc_end(s, i + 2, n);
                if (end == n) return o;
                i = end + (s[end] == kBel ? 1 : 2);
                break;
            case 'P':
            case '^':
            case '_':
                end = find_st(s, i + 2, n);
                if (end == n) return o;
                i = end + 2;
                break;
            default:  // any other escape is two bytes long, whatever the second is
                i += 2;
                break;
        }
    }
}

// --- Stage 2 ----------------------------------------------------------------

// One decoding step: a well-formed character, or the maximal subpart of an
// ill-formed one (the longest prefix of some well-formed sequence, at least
// one byte). This is the segmentation CPython's 'replace' handler uses.
struct Unit {
    std::size_t len;
    bool valid;
};

inline Unit next_unit(const u8* s, std::size_t avail) {
    const u8 b = s[0];
    if (b < 0x80) return {1, true};
    std::size_t need;  // continuation bytes
    u8 lo = 0x80;      // the second byte's range narrows for a few leads
    u8 hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0) lo = 0xA0;       // overlong
        else if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0) lo = 0x90;       // overlong
        else if (b == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return {1, false};  // continuation byte, C0, C1 or F5..FF
    }
    if (avail < 2 || s[1] < lo || s[1] > hi) return {1, false};
    for (std::size_t k = 2; k <= need; ++k)
        if (k >= avail || (s[k] & 0xC0) != 0x80) return {k, false};
    return {need + 1, true};
}

// Length of the leading run of bytes below 0x80.
inline std::size_t ascii_run(const u8* s, std::size_t n) {
    std::size_t i = 0;
#ifdef PELLUX_SANITIZE_SSE2
    for (; n - i >= kBlock; i += kBlock) {
        const unsigned m = bits(load(s + i));
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#else
    for (; n - i >= kBlock; i += kBlock) {
        const Block m = load(s + i) & kHigh;
        if (m) return i + first_flagged(m);
    }
#endif
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

// Length of the longest well-formed prefix of s[0, n).
std::size_t valid_prefix(const u8* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        i += ascii_run(s + i, n - i);
        // Non-ASCII characters tend to come in runs: stay in the slow loop
        // until the next ASCII byte.
        while (i < n && s[i] >= 0x80) {
            const Unit u = next_unit(s + i, n - i);
            if (!u.valid) return i;
            i += u.len;
        }
    }
    return n;
}

// Replaces every ill-formed subsequence of text, the first of which starts at
// bad, with U+FFFD. Works in the buffer stage 1 produced when it is large
// enough, which it often is because stage 1 dropped bytes.
void repair(std::string& text, std::size_t bad) {
    const auto* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();

    // Exact size first, so the result is allocated at most once.
    std::size_t total = bad;
    for (std::size_t i = bad; i < n;) {
        const std::size_t run = valid_prefix(s + i, n - i);
        total += run;
        i += run;
        if (i == n) break;
        i += next_unit(s + i, n - i).len;
        total += 3;
    }

    const std::size_t tail = n - bad;
    text.resize_and_overwrite(total, [&](char* raw, std::size_t) {
        auto* b = reinterpret_cast<u8*>(raw);
        // Move the unchecked tail to the end of the buffer and decode it
        // forwards into its final place. The write position never passes the
        // read position: what is left to write is never shorter than what is
        // left to read, since a replacement (3 bytes) is never shorter than
        // the subpart it stands for (1 to 3 bytes).
        std::memmove(b + total - tail, b + bad, tail);
        std::size_t r = total - tail;
        std::size_t w = bad;
        while (r < total) {
            const std::size_t run = valid_prefix(b + r, total - r);
            std::memmove(b + w, b + r, run);
            r += run;
            w += run;
            if (r == total) break;
            r += next_unit(b + r, total - r).len;
            b[w++] = 0xEF;
            b[w++] = 0xBF;
            b[w++] = 0xBD;
        }
        return total;
    });
}

}  // namespace

std::string sanitize_for_agent(std::string_view raw) {
    const auto* in = reinterpret_cast<const u8*>(raw.data());
    const std::size_t n = raw.size();
    std::string text;
    // Stage 1 never grows its input, so one allocation at the input's length
    // holds its output; resize_and_overwrite spares zero-filling it.
    text.resize_and_overwrite(n, [in, n](char* out, std::size_t) {
        return filter(in, n, reinterpret_cast<u8*>(out));
    });

    const auto* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t good = valid_prefix(s, text.size());
    if (good != text.size()) repair(text, good);
    return text;
}

}  // namespace pellux
