// Raw terminal bytes to agent text in two stages: a byte filter that drops
// control sequences and control bytes, then a lossy UTF-8 decode.
//
// This runs on every read and on up to 4 MiB of history, so neither stage
// steps through plain text a byte at a time. Stage 1 turns the input, 64
// bytes at a time, into a bit mask of the bytes that need a decision (ESC,
// CR and the other control bytes): the next one is a count of trailing zeros
// away, and the text before it is moved with fixed-size copies, which keeps
// hard-to-predict branches to about one per control byte. Most escape
// sequences end within a few bytes, where a byte loop finds the end fastest;
// longer bodies are searched through masks as well. Stage 2 checks the
// result with a DFA, skipping ASCII a block at a time, and rebuilds the text
// only when it is ill-formed.
//
// On x86_64 the masks come from SSE2; elsewhere (or with
// PELLUX_SANITIZE_PORTABLE defined, which the tests use to exercise it) from
// 64-bit word arithmetic.

#include "sanitize/sanitize.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(PELLUX_SANITIZE_PORTABLE)
#include <emmintrin.h>
#include <tmmintrin.h>
#define PELLUX_SANITIZE_SSE2 1
#endif

namespace pellux {
namespace {

using u8 = unsigned char;
using u64 = std::uint64_t;

constexpr u8 kBel = 0x07;
constexpr u8 kEsc = 0x1B;
constexpr u8 kBackslash = 0x5C;

// The filter copies every byte blindly but the special ones: those below
// 0x20 except TAB and LF (ESC is one of them). special_mask finds them a
// window at a time.
constexpr std::size_t kWindow = 64;

// A byte the masks never flag, used to pad the last, short window.
constexpr u8 kPad = 0x20;

// Bit k of every mask describes byte k of a 64-byte window.
struct SequenceMasks {
    u64 csi_final;  // 40..7E
    u64 bel;
    u64 esc;
    u64 backslash;
};

#ifdef PELLUX_SANITIZE_SSE2

using Block = __m128i;  // 16 bytes; four to a window

inline Block load(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline Block splat(u8 b) { return _mm_set1_epi8(static_cast<char>(b)); }
inline u64 bits(Block v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
inline u64 eq_bits(Block v, u8 b) { return bits(_mm_cmpeq_epi8(v, splat(b))); }

// SSE2 has no unsigned byte compare: "v <= limit" is min(v, limit) == v.
inline Block at_most(Block v, u8 limit) { return _mm_cmpeq_epi8(_mm_min_epu8(v, splat(limit)), v); }

inline u64 special_bits(Block v) {
    const Block kept = _mm_or_si128(_mm_cmpeq_epi8(v, splat(0x09)), _mm_cmpeq_epi8(v, splat(0x0A)));
    return bits(_mm_andnot_si128(kept, at_most(v, 0x1F)));
}

// Special bytes of the window at p; ORs the window into *high so the caller
// can tell afterwards whether any byte from 80 up went by.
inline u64 special_mask(const u8* p, Block* high) {
    const Block v0 = load(p), v1 = load(p + 16), v2 = load(p + 32), v3 = load(p + 48);
    *high = _mm_or_si128(*high, _mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3)));
    return special_bits(v0) | special_bits(v1) << 16 | special_bits(v2) << 32 | special_bits(v3) << 48;
}

inline SequenceMasks sequence_masks(const u8* p) {
    SequenceMasks m{0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        const Block v = load(p + 16 * k);
        const int shift = 16 * k;
        m.csi_final |= bits(at_most(_mm_sub_epi8(v, splat(0x40)), 0x3E)) << shift;
        m.bel |= eq_bits(v, kBel) << shift;
        m.esc |= eq_bits(v, kEsc) << shift;
        m.backslash |= eq_bits(v, kBackslash) << shift;
    }
    return m;
}

inline Block no_high() { return _mm_setzero_si128(); }
inline bool any_high(Block acc) { return bits(acc) != 0; }

// Length of the leading run of bytes below 0x80, looking at whole blocks
// only; the caller finishes the rest.
inline std::size_t ascii_blocks(const u8* s, std::size_t n) {
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) {
        const u64 m = bits(load(s + i));
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
    return i;
}

#else  // portable: eight 64-bit words to a window

using Block = u64;

constexpr u64 kOnes = 0x0101010101010101ULL;
constexpr u64 kHigh = 0x8080808080808080ULL;

// Byte k of the word is byte k in memory, whatever the machine's byte order.
inline u64 load(const u8* p) {
    u64 w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    return w;
}

// Each helper sets the high bit of exactly the bytes it tests for. The sums
// stay below 0x100 per byte, so no carry leaks into a neighbour.
inline u64 at_least(u64 x, u8 low) {  // for low in 1..80
    return (((x & ~kHigh) + kOnes * (0x80 - low)) | x) & kHigh;
}
inline u64 zero_bytes(u64 x) { return ~(((x & ~kHigh) + ~kHigh) | x) & kHigh; }
inline u64 eq_bytes(u64 x, u8 b) { return zero_bytes(x ^ (kOnes * b)); }

// Packs the high bits of the eight bytes into eight low bits: the multiplier
// moves byte k's bit to bit 56 + k, with no two partial products colliding.
inline u64 pack(u64 flags) { return ((flags >> 7) * 0x0102040810204080ULL) >> 56; }

inline u64 special_mask(const u8* p, Block* high) {
    u64 m = 0;
    for (int k = 0; k < 8; ++k) {
        const u64 x = load(p + 8 * k);
        *high |= x;
        const u64 flags = kHigh & ~(at_least(x, 0x20) | eq_bytes(x, 0x09) | eq_bytes(x, 0x0A));
        m |= pack(flags) << (8 * k);
    }
    return m;
}

inline SequenceMasks sequence_masks(const u8* p) {
    SequenceMasks m{0, 0, 0, 0};
    for (int k = 0; k < 8; ++k) {
        const u64 x = load(p + 8 * k);
        const int shift = 8 * k;
        // 40..7E: at least 40, below 80, not 7F.
        const u64 fin = at_least(x, 0x40) & ~x & ~eq_bytes(x, 0x7F) & kHigh;
        m.csi_final |= pack(fin) << shift;
        m.bel |= pack(eq_bytes(x, kBel)) << shift;
        m.esc |= pack(eq_bytes(x, kEsc)) << shift;
        m.backslash |= pack(eq_bytes(x, kBackslash)) << shift;
    }
    return m;
}

inline Block no_high() { return 0; }
inline bool any_high(Block acc) { return (acc & kHigh) != 0; }

inline std::size_t ascii_blocks(const u8* s, std::size_t n) {
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        const u64 m = load(s + i) & kHigh;
        if (m) return i + static_cast<std::size_t>(std::countr_zero(m)) / 8;
    }
    return i;
}

#endif

// --- Stage 1 ----------------------------------------------------------------

// The window starting at s + base, padded when the input ends inside it.
inline const u8* window(const u8* s, std::size_t n, std::size_t base, u8 (&pad)[kWindow]) {
    if (n - base >= kWindow) return s + base;
    std::memset(pad, kPad, kWindow);
    std::memcpy(pad, s + base, n - base);
    return pad;
}

// Bits at and above position `from` of a window.
inline u64 from_bit(std::size_t from) { return ~u64{0} << from; }

inline std::size_t lowest_bit(u64 m) { return static_cast<std::size_t>(std::countr_zero(m)); }

// Finds the ends of CSI, OSC and string sequences.
//
// Most sequences end within a few bytes, and over those a plain byte loop
// wins: its branches predict well and speculation runs ahead of the data.
// Past that, a long body (a hyperlink, an image, a history that starts in the
// middle of a sequence) is searched a window at a time through masks. The
// masks of the last window are kept, as the next sequence often ends there.
class SequenceScanner {
public:
    SequenceScanner(const u8* s, std::size_t n) : s_(s), n_(n) {}

    // First byte in 40..7E at or after p, or n.
    std::size_t csi_final(std::size_t p) {
        return find(
            p, [this](std::size_t k) { return s_[k] >= 0x40 && s_[k] <= 0x7E; },
            [](const SequenceMasks& m, u64) { return m.csi_final; });
    }
    // First BEL or ST at or after p (the position of the BEL or of the ST's
    // ESC), or n.
    std::size_t osc_end(std::size_t p) {
        return find(
            p, [this](std::size_t k) { return s_[k] == kBel || st_at(k); },
            [](const SequenceMasks& m, u64 st) { return m.bel | st; });
    }
    // First ST at or after p (the position of its ESC), or n.
    std::size_t st(std::size_t p) {
        return find(
            p, [this](std::size_t k) { return st_at(k); }, [](const SequenceMasks&, u64 st) { return st; });
    }

private:
    static constexpr std::size_t kShort = 16;

    bool st_at(std::size_t k) const { return s_[k] == kEsc && k + 1 < n_ && s_[k + 1] == kBackslash; }

    template <class EndsAt, class Select>
    std::size_t find(std::size_t p, EndsAt ends_at, Select select) {
        for (const std::size_t stop = n_ - p > kShort ? p + kShort : n_; p < stop; ++p)
            if (ends_at(p)) return p;
        while (p < n_) {
            const std::size_t base = p - p % kWindow;
            const SequenceMasks& m = masks_at(base);
            // An ESC followed by a backslash; the follower of the window's
            // last byte is the first byte of the next window.
            u64 follows = m.backslash >> 1;
            if (n_ - base > kWindow && s_[base + kWindow] == kBackslash) follows |= u64{1} << 63;
            const u64 hits = select(m, m.esc & follows) & from_bit(p - base);
            if (hits) return base + lowest_bit(hits);
            p = base + kWindow;
        }
        return n_;
    }

    const SequenceMasks& masks_at(std::size_t base) {
        if (base != base_) {
            u8 pad[kWindow];
            masks_ = sequence_masks(window(s_, n_, base, pad));
            base_ = base;
        }
        return masks_;
    }

    const u8* s_;
    std::size_t n_;
    std::size_t base_ = ~std::size_t{0};
    SequenceMasks masks_{};
};

// Copies a run of len bytes that lies within one window. With a whole
// window's worth of input left it copies the whole window's worth: a fixed
// 64-byte copy costs less than the mispredicted branches of fitting it to
// the run. The extra bytes land inside the output buffer, since the output
// never runs ahead of the input, and are overwritten or cut off later.
inline void copy_run(u8* d, const u8* s, std::size_t len, std::size_t input_left) {
    if (input_left >= kWindow) {
        std::memcpy(d, s, kWindow);
    } else {
        std::memcpy(d, s, len);
    }
}

// Position after the escape sequence starting at q (s[q] is ESC), or ~q
// when the input ends first: an unfinished sequence drops the rest of the
// input. ~q lies past any input, so the filter's loops end on it as they
// end at the input's end, with no test of their own.
inline std::size_t skip_escape(const u8* s, std::size_t n, std::size_t q, SequenceScanner& scan) {
    if (n - q < 2) return ~q;
    std::size_t end;
    switch (s[q + 1]) {
        case '[':
            end = scan.csi_final(q + 2);
            return end == n ? ~q : end + 1;
        case ']':
            end = scan.osc_end(q + 2);
            return end == n ? ~q : end + (s[end] == kBel ? 1 : 2);
        case 'P':
        case '^':
        case '_':
            end = scan.st(q + 2);
            return end == n ? ~q : end + 2;
        default:  // any other escape is two bytes long, whatever the second is
            return q + 2;
    }
}

struct Filtered {
    std::size_t size;
    bool maybe_non_ascii;  // false only if every copied byte is below 80
    std::size_t consumed;  // n, or the ESC of the sequence the input ends in
};

// Filters s[0, n) into d, which has room for n bytes and does not overlap s.
Filtered filter(const u8* s, std::size_t n, u8* d) {
    SequenceScanner scan(s, n);
    Block high = no_high();
    u8 pad[kWindow];
    std::size_t i = 0;  // next input byte
    std::size_t o = 0;  // next output byte; never ahead of i
    while (i < n) {
        const std::size_t base = i - i % kWindow;
        const u64 special = special_mask(window(s, n, base, pad), &high);
        u64 pending = special & from_bit(i - base);
        while (pending) {
            const std::size_t q = base + lowest_bit(pending);
            copy_run(d + o, s + i, q - i, n - i);
            o += q - i;
            if (s[q] != kEsc) {  // CR and the other control bytes: dropped
                i = q + 1;
                pending &= pending - 1;
                continue;
            }
            i = skip_escape(s, n, q, scan);
            if (i - base >= kWindow) break;
            pending = special & from_bit(i - base);
        }
        if (i - base < kWindow) {  // the rest of the window is plain
            const std::size_t end = n - base < kWindow ? n : base + kWindow;
            copy_run(d + o, s + i, end - i, n - i);
            o += end - i;
            i = end;
        }
    }
    return {o, any_high(high), i > n ? ~i : n};
}

// --- Stage 2 ----------------------------------------------------------------

// A shift-based DFA over the well-formed UTF-8 byte sequences. Each state is
// a bit offset; row b of the table holds, at each state's offset, the state
// byte b leads to. A step is a load that does not depend on the state and
// one shift that does, so non-ASCII text costs a cycle or two a byte.
enum : unsigned {
    kAccept = 0,
    kReject = 6,
    kNeed1 = 12,  // one more continuation byte
    kNeed2 = 18,
    kNeed3 = 24,
    kAfterE0 = 30,  // second byte A0..BF (no overlongs)
    kAfterED = 36,  // second byte 80..9F (no surrogates)
    kAfterF0 = 42,  // second byte 90..BF (no overlongs)
    kAfterF4 = 48,  // second byte 80..8F (nothing past U+10FFFF)
};

constexpr unsigned dfa_next(unsigned state, unsigned b) {
    const bool cont = b >= 0x80 && b <= 0xBF;
    switch (state) {
        case kAccept:
            if (b < 0x80) return kAccept;
            if (b >= 0xC2 && b <= 0xDF) return kNeed1;
            if (b == 0xE0) return kAfterE0;
            if (b == 0xED) return kAfterED;
            if (b >= 0xE1 && b <= 0xEF) return kNeed2;
            if (b == 0xF0) return kAfterF0;
            if (b == 0xF4) return kAfterF4;
            if (b >= 0xF1 && b <= 0xF3) return kNeed3;
            return kReject;
        case kNeed1: return cont ? kAccept : kReject;
        case kNeed2: return cont ? kNeed1 : kReject;
        case kNeed3: return cont ? kNeed2 : kReject;
        case kAfterE0: return b >= 0xA0 && b <= 0xBF ? kNeed1 : kReject;
        case kAfterED: return b >= 0x80 && b <= 0x9F ? kNeed1 : kReject;
        case kAfterF0: return b >= 0x90 && b <= 0xBF ? kNeed2 : kReject;
        case kAfterF4: return b >= 0x80 && b <= 0x8F ? kNeed2 : kReject;
        default: return kReject;
    }
}

constexpr std::array<u64, 256> make_dfa() {
    std::array<u64, 256> table{};
    constexpr unsigned states[] = {kAccept, kReject, kNeed1, kNeed2, kNeed3, kAfterE0, kAfterED, kAfterF0, kAfterF4};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned state : states) table[b] |= u64{dfa_next(state, b)} << state;
    return table;
}

constexpr std::array<u64, 256> kDfa = make_dfa();

// Only the low six bits of a state are meaningful; the shift ignores the
// rest on its own, so the mask costs nothing.
inline u64 dfa_step(u64 state, u8 b) { return kDfa[b] >> (state & 63); }

// One decoding step: a well-formed character, or the maximal subpart of an
// ill-formed one (the longest prefix of some well-formed sequence, at least
// one byte). This is the segmentation CPython's 'replace' handler uses.
struct Unit {
    std::size_t len;
    bool valid;
};

inline Unit next_unit(const u8* s, std::size_t avail) {
    u64 state = dfa_step(kAccept, s[0]);
    if ((state & 63) == kAccept) return {1, true};
    if ((state & 63) == kReject) return {1, false};
    for (std::size_t k = 1; k < avail; ++k) {
        state = dfa_step(state, s[k]);
        if ((state & 63) == kAccept) return {k + 1, true};
        if ((state & 63) == kReject) return {k, false};
    }
    return {avail, false};  // cut off by the end of the input
}

// Finds the first ill-formed unit, which the DFA placed in a chunk starting
// at `from`. Everything before `from` is a well-formed prefix, in which every
// byte that is not a continuation byte starts a character; the character
// that may still be open at `from` starts at the last such byte before it.
std::size_t locate_invalid(const u8* s, std::size_t n, std::size_t from) {
    while (from > 0 && (s[from - 1] & 0xC0) == 0x80) --from;
    if (from > 0) --from;
    for (std::size_t i = from; i < n;) {
        const Unit u = next_unit(s + i, n - i);
        if (!u.valid) return i;
        i += u.len;
    }
    return n;
}

#ifdef PELLUX_SANITIZE_SSE2

// A vector check of multibyte text, 64 bytes at a time, for machines with
// SSSE3 (chosen at run time: the baseline x86-64 the package is built for
// has only SSE2). It tells only how far the text is sure to be the start of
// well-formed UTF-8; the DFA finds the exact end from there.
//
// Every rule of well-formed UTF-8 is a rule about a byte and the one before
// it (a lead byte needs a continuation byte next; E0 needs A0..BF next, and
// so on), except how many continuation bytes a lead byte takes. Each
// pairwise rule that can fail is one bit below; whether a pair breaks it
// depends on three nibbles: the high and low nibble of the earlier byte and
// the high nibble of the later one. Three 16-entry tables, one per nibble,
// hold for each nibble value the rules it takes part in, and a pair breaks
// a rule when all three of its nibbles do (a PSHUFB lookup each, then AND).
// The count of continuation bytes is checked apart: two in a row are right
// exactly when the byte two back starts a 3- or 4-byte character or the one
// three back starts a 4-byte one.
namespace utf8_rules {
constexpr u8 kShort = 1 << 0;      // lead byte, then no continuation byte
constexpr u8 kLong = 1 << 1;       // ASCII, then a continuation byte
constexpr u8 kOverlong3 = 1 << 2;  // E0, then 80..9F
constexpr u8 kTooLarge = 1 << 3;   // F4..FF, then 90..BF
constexpr u8 kSurrogate = 1 << 4;  // ED, then A0..BF
constexpr u8 kOverlong2 = 1 << 5;  // C0 or C1, then a continuation byte
constexpr u8 kOverlong4 = 1 << 6;  // F0 or F5..FF, then 80..8F
constexpr u8 kTwoConts = 1 << 7;   // two continuation bytes (checked apart)
constexpr u8 kAny = kShort | kLong | kTwoConts;
}  // namespace utf8_rules

[[gnu::target("ssse3")]] inline Block table(const u8 (&t)[16]) { return load(t); }

[[gnu::target("ssse3")]] inline Block utf8_errors(Block cur, Block prev) {
    using namespace utf8_rules;
    // Indexed by the high nibble of the earlier byte.
    static constexpr u8 kFirstHigh[16] = {
        kLong, kLong, kLong, kLong, kLong, kLong, kLong, kLong,  // 00..7F
        kTwoConts, kTwoConts, kTwoConts, kTwoConts,              // 80..BF
        kShort | kOverlong2,                                     // C0..CF
        kShort,                                                  // D0..DF
        kShort | kOverlong3 | kSurrogate,                        // E0..EF
        kShort | kTooLarge | kOverlong4,                         // F0..FF
    };
    // Indexed by the low nibble of the earlier byte.
    static constexpr u8 kFirstLow[16] = {
        kAny | kOverlong3 | kOverlong2 | kOverlong4,  // x0
        kAny | kOverlong2,                            // x1
        kAny, kAny,                                   // x2, x3
        kAny | kTooLarge,                             // x4
        kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4,
        kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4,
        kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4,  // x5..xC
        kAny | kTooLarge | kOverlong4 | kSurrogate,                      // xD
        kAny | kTooLarge | kOverlong4, kAny | kTooLarge | kOverlong4,  // xE, xF
    };
    // Indexed by the high nibble of the later byte.
    static constexpr u8 kSecondHigh[16] = {
        kShort, kShort, kShort, kShort, kShort, kShort, kShort, kShort,  // 00..7F
        kLong | kTwoConts | kOverlong2 | kOverlong3 | kOverlong4,        // 80..8F
        kLong | kTwoConts | kOverlong2 | kOverlong3 | kTooLarge,         // 90..9F
        kLong | kTwoConts | kOverlong2 | kTooLarge | kSurrogate,         // A0..AF
        kLong | kTwoConts | kOverlong2 | kTooLarge | kSurrogate,         // B0..BF
        kShort, kShort, kShort, kShort,                                  // C0..FF
    };
    const Block nibble = splat(0x0F);
    const Block prev1 = _mm_alignr_epi8(cur, prev, 15);
    const Block rules = _mm_and_si128(
        _mm_and_si128(_mm_shuffle_epi8(table(kFirstHigh), _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble)),
                      _mm_shuffle_epi8(table(kFirstLow), _mm_and_si128(prev1, nibble))),
        _mm_shuffle_epi8(table(kSecondHigh), _mm_and_si128(_mm_srli_epi16(cur, 4), nibble)));
    // High bit set where the byte two back is E0 or above, or the byte three
    // back F0 or above: there a continuation byte must follow another.
    const Block prev2 = _mm_alignr_epi8(cur, prev, 14);
    const Block prev3 = _mm_alignr_epi8(cur, prev, 13);
    const Block third = _mm_subs_epu8(prev2, splat(0xE0 - 0x80));
    const Block fourth = _mm_subs_epu8(prev3, splat(0xF0 - 0x80));
    const Block must_continue = _mm_and_si128(_mm_or_si128(third, fourth), splat(0x80));
    return _mm_xor_si128(rules, must_continue);
}

// Nonzero where the block's last bytes start a character it does not finish.
[[gnu::target("ssse3")]] inline Block unfinished_at_end(Block v) {
    static constexpr u8 kLast[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};
    return _mm_subs_epu8(v, table(kLast));
}

// Length of a prefix of s[0, n) that is the start of well-formed text (it
// may end inside a character), a multiple of 64.
[[gnu::target("ssse3")]] std::size_t ssse3_valid_run(const u8* s, std::size_t n) {
    Block prev = _mm_setzero_si128();
    Block unfinished = _mm_setzero_si128();
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        const Block v0 = load(s + i), v1 = load(s + i + 16), v2 = load(s + i + 32), v3 = load(s + i + 48);
        if (bits(_mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3))) == 0) {
            // ASCII: fine unless a character was left open before it.
            if (bits(_mm_cmpeq_epi8(unfinished, _mm_setzero_si128())) != 0xFFFF) return i;
        } else {
            const Block errors = _mm_or_si128(_mm_or_si128(utf8_errors(v0, prev), utf8_errors(v1, v0)),
                                              _mm_or_si128(utf8_errors(v2, v1), utf8_errors(v3, v2)));
            if (bits(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) != 0xFFFF) return i;
        }
        unfinished = unfinished_at_end(v3);
        prev = v3;
    }
    return i;
}

bool have_ssse3() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return have;
}

#endif

// Length of the longest well-formed prefix of s[0, n).
std::size_t valid_prefix(const u8* s, std::size_t n) {
    constexpr std::size_t kChunk = 16;
    u64 state = kAccept;
    std::size_t i = 0;
#ifdef PELLUX_SANITIZE_SSE2
    if (n >= 64 && have_ssse3()) {
        i = ssse3_valid_run(s, n);
        // Back to the start of the character open at i, if any: the DFA goes
        // on from there in its first state.
        while (i > 0 && (s[i - 1] & 0xC0) == 0x80) --i;
        if (i > 0 && s[i - 1] >= 0xC0) --i;
    }
#endif
    while (n - i >= kChunk) {
        if ((state & 63) == kAccept) {
            i += ascii_blocks(s + i, n - i);
            if (n - i < kChunk) break;
        }
        for (std::size_t k = 0; k < kChunk; ++k) state = dfa_step(state, s[i + k]);
        if ((state & 63) == kReject) return locate_invalid(s, n, i);
        i += kChunk;
    }
    const std::size_t tail = i;
    for (; i < n; ++i) state = dfa_step(state, s[i]);
    return (state & 63) == kAccept ? n : locate_invalid(s, n, tail);
}

// The next stretch of text to repair: a well-formed run and the length of
// the ill-formed unit after it (0 at the end of the input).
struct Stretch {
    std::size_t valid;
    std::size_t bad;
};

// Damaged text tends to be either damaged throughout (binary output) or
// damaged in a few places. Unit by unit is cheapest for the first; after a
// few well-formed units in a row the chunked DFA takes over for the second.
inline Stretch next_stretch(const u8* s, std::size_t n) {
    constexpr int kUnitsBeforeScan = 8;
    std::size_t i = 0;
    for (int k = 0; k < kUnitsBeforeScan && i < n; ++k) {
        const Unit u = next_unit(s + i, n - i);
        if (!u.valid) return {i, u.len};
        i += u.len;
    }
    i += valid_prefix(s + i, n - i);
    return {i, i == n ? 0 : next_unit(s + i, n - i).len};
}

// Replaces every ill-formed subsequence of text, the first of which starts at
// bad, with U+FFFD. Works in the buffer stage 1 produced when it is large
// enough, which it often is because stage 1 dropped bytes.
void repair(std::string& text, std::size_t bad) {
    const auto* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();

    // Exact size first, so the result is allocated at most once. The first
    // stretches are kept for the second pass: text with a few damaged places
    // (a history cut inside a character) is then validated only once.
    constexpr std::size_t kKept = 64;
    Stretch kept[kKept];
    std::size_t kept_count = 0;
    std::size_t total = bad;
    for (std::size_t i = bad; i < n;) {
        const Stretch st = next_stretch(s + i, n - i);
        if (kept_count < kKept) kept[kept_count++] = st;
        total += st.valid + (st.bad ? 3 : 0);
        i += st.valid + st.bad;
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
        for (std::size_t k = 0; r < total; ++k) {
            const Stretch st = k < kept_count ? kept[k] : next_stretch(b + r, total - r);
            std::memmove(b + w, b + r, st.valid);
            r += st.valid;
            w += st.valid;
            if (!st.bad) break;
            r += st.bad;
            b[w++] = 0xEF;
            b[w++] = 0xBF;
            b[w++] = 0xBD;
        }
        return total;
    });
}

}  // namespace

std::size_t filter_controls(std::string_view raw, std::string& out, std::vector<FilterPoint>* points,
                            std::size_t raw_base) {
    const auto* in = reinterpret_cast<const u8*>(raw.data());
    const std::size_t n = raw.size();
    const std::size_t start = out.size();
    std::size_t consumed = n;
    out.resize_and_overwrite(start + n, [&](char* buf, std::size_t) {
        auto* d = reinterpret_cast<u8*>(buf) + start;
        if (!points) {
            const Filtered f = filter(in, n, d);
            consumed = f.consumed;
            return start + f.size;
        }
        // In pieces, so that a point lies at least every kPiece bytes: where
        // a piece is filtered to its end, the filter stands between tokens.
        // A piece that ends inside a sequence is filtered again from the
        // sequence's ESC, twice as long, which keeps a long sequence linear.
        constexpr std::size_t kPiece = 256;
        std::size_t i = 0;
        std::size_t o = 0;
        std::size_t piece = kPiece;
        while (i < n) {
            points->push_back({raw_base + i, start + o});
            const std::size_t len = std::min(piece, n - i);
            const Filtered f = filter(in + i, len, d + o);
            o += f.size;
            if (f.consumed == len) {
                i += len;
                piece = kPiece;
                continue;
            }
            i += f.consumed;
            if (len == n - (i - f.consumed)) break;  // unfinished at the end of the input
            piece = std::max(kPiece, 2 * (len - f.consumed));
        }
        consumed = std::min(i, n);
        return start + o;
    });
    return consumed;
}

std::size_t valid_utf8_prefix(std::string_view text) {
    return valid_prefix(reinterpret_cast<const u8*>(text.data()), text.size());
}

void decode_lossy(std::string& text, std::size_t valid) {
    const auto* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t good = valid + valid_prefix(s + valid, text.size() - valid);
    if (good != text.size()) repair(text, good);
}

namespace {

// One code point of well-formed UTF-8 at s; advances s past it.
inline std::uint32_t next_code_point(const u8*& s) {
    const u8 b = *s;
    if (b < 0x80) {
        ++s;
        return b;
    }
    if (b < 0xE0) {
        const std::uint32_t c = (std::uint32_t{b} & 0x1F) << 6 | (s[1] & 0x3Fu);
        s += 2;
        return c;
    }
    if (b < 0xF0) {
        const std::uint32_t c =
            (std::uint32_t{b} & 0x0F) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
        s += 3;
        return c;
    }
    const std::uint32_t c = (std::uint32_t{b} & 0x07) << 18 | (s[1] & 0x3Fu) << 12 |
                            (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
    s += 4;
    return c;
}

#ifdef PELLUX_SANITIZE_SSE2
// Sixteen ASCII bytes as sixteen units.
inline void store_ascii(Block v, std::uint8_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}
inline void store_ascii(Block v, std::uint16_t* out) {
    const Block zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
}
inline void store_ascii(Block v, std::uint32_t* out) {
    const Block zero = _mm_setzero_si128();
    const Block lo = _mm_unpacklo_epi8(v, zero);
    const Block hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
}
#endif

template <class Unit>
void widen(std::string_view text, Unit* out, std::size_t chars) {
    const u8* s = reinterpret_cast<const u8*>(text.data());
    const u8* const end = s + text.size();
#ifdef PELLUX_SANITIZE_SSE2
    // Plain text is mostly ASCII, with a non-ASCII character every few
    // words. Sixteen bytes are widened at once; when some are not ASCII,
    // the units up to the first of them are kept (the rest is written over
    // next) and that character is decoded alone. Each store writes sixteen
    // units, so this runs while sixteen remain to be written.
    Unit* const out_end = out + chars;
    while (end - s >= 16 && out_end - out >= 16) {
        const Block v = load(s);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
        store_ascii(v, out);
        if (mask == 0) {
            s += 16;
            out += 16;
            continue;
        }
        const int ascii = std::countr_zero(mask);
        s += ascii;
        out += ascii;
        *out++ = static_cast<Unit>(next_code_point(s));
    }
#else
    (void)chars;
#endif
    while (s < end) *out++ = static_cast<Unit>(next_code_point(s));
}

}  // namespace

Utf8Shape utf8_shape(std::string_view text) {
    const u8* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    std::size_t conts = 0;  // continuation bytes: every other byte starts a code point
    u8 top = 0;
#ifdef PELLUX_SANITIZE_SSE2
    Block most = _mm_setzero_si128();
    // As signed bytes, continuation bytes (80..BF) are exactly those below -64.
    const Block limit = splat(0xC0);
    const auto count = [&](Block v) {
        return static_cast<std::size_t>(std::popcount(bits(_mm_cmplt_epi8(v, limit))));
    };
    // 64 bytes at a time, counted only when some byte is not ASCII.
    for (; i + 64 <= n; i += 64) {
        const Block a = load(s + i), b = load(s + i + 16), c = load(s + i + 32), d = load(s + i + 48);
        const Block m = _mm_max_epu8(_mm_max_epu8(a, b), _mm_max_epu8(c, d));
        most = _mm_max_epu8(most, m);
        if (bits(m) != 0) conts += count(a) + count(b) + count(c) + count(d);
    }
    for (; i + 16 <= n; i += 16) {
        const Block v = load(s + i);
        most = _mm_max_epu8(most, v);
        conts += count(v);
    }
    alignas(16) u8 lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), most);
    for (u8 b : lanes) top = std::max(top, b);
#endif
    for (; i < n; ++i) {
        top = std::max(top, s[i]);
        conts += (s[i] & 0xC0) == 0x80;
    }
    return {n - conts, top};
}

void utf8_widen(std::string_view text, std::uint8_t* out, std::size_t chars) {
    widen(text, out, chars);
}
void utf8_widen(std::string_view text, std::uint16_t* out, std::size_t chars) {
    widen(text, out, chars);
}
void utf8_widen(std::string_view text, std::uint32_t* out, std::size_t chars) {
    widen(text, out, chars);
}

std::string sanitize_for_agent(std::string_view raw) {
    const auto* in = reinterpret_cast<const u8*>(raw.data());
    const std::size_t n = raw.size();
    std::string text;
    bool maybe_non_ascii = false;
    // Stage 1 never grows its input, so one allocation at the input's length
    // holds its output; resize_and_overwrite spares zero-filling it.
    text.resize_and_overwrite(n, [&](char* out, std::size_t) {
        const Filtered f = filter(in, n, reinterpret_cast<u8*>(out));
        maybe_non_ascii = f.maybe_non_ascii;
        return f.size;
    });
    if (!maybe_non_ascii) return text;  // ASCII is valid UTF-8

    const auto* s = reinterpret_cast<const u8*>(text.data());
    const std::size_t good = valid_prefix(s, text.size());
    if (good != text.size()) repair(text, good);
    return text;
}

}  // namespace pellux
