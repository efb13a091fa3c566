// Native tests of sanitize_for_agent: the documented examples, the edge cases
// of each rule, window-boundary sweeps for the vectorised scans, and a
// randomized comparison against a byte-at-a-time reference.
//
// Usage: test_sanitize [seed]. Prints "N passed, M failed"; exit status 1 on
// any failure.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sanitize/sanitize.hpp"

namespace {

int g_passed = 0;
int g_failed = 0;

std::string show(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (cond) {                                                        \
            ++g_passed;                                                    \
        } else {                                                           \
            ++g_failed;                                                    \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond);    \
        }                                                                  \
    } while (0)

// Sanitizes a copy held in a heap block of exactly the input's size, so that
// an address-sanitizer build catches any read past the end.
std::string sanitize(std::string_view in) {
    std::unique_ptr<char[]> copy(new char[in.size() ? in.size() : 1]);
    if (!in.empty()) std::memcpy(copy.get(), in.data(), in.size());
    return pellux::sanitize_for_agent(std::string_view(copy.get(), in.size()));
}

void expect(std::string_view in, std::string_view want, int line) {
    const std::string got = sanitize(in);
    if (got == want) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL line %d\n  input: %s\n  want:  %s\n  got:   %s\n", line, show(in).c_str(),
                    show(want).c_str(), show(got).c_str());
    }
}
#define EXPECT(in, want) expect(in, want, __LINE__)

// std::string from a literal that may contain NUL bytes.
template <std::size_t N>
std::string bytes(const char (&lit)[N]) {
    return std::string(lit, N - 1);
}

const std::string kFffd = "\xEF\xBF\xBD";

// --- Reference, written straight from the rule table -------------------------

std::string reference_filter(std::string_view in) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
    const std::size_t n = in.size();
    std::string out;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = at(i);
        if (b == 0x0D) {
            i += 1;
        } else if (b == 0x1B) {
            if (i + 1 == n) break;
            const unsigned char c = at(i + 1);
            if (c == 0x5B) {
                std::size_t j = i + 2;
                while (j < n && !(at(j) >= 0x40 && at(j) <= 0x7E)) ++j;
                if (j >= n) break;
                i = j + 1;
            } else if (c == 0x5D || c == 0x50 || c == 0x5E || c == 0x5F) {
                const bool bel_ends = c == 0x5D;
                std::size_t j = i + 2;
                std::size_t next = 0;
                for (; j < n; ++j) {
                    if (bel_ends && at(j) == 0x07) {
                        next = j + 1;
                        break;
                    }
                    if (at(j) == 0x1B && j + 1 < n && at(j + 1) == 0x5C) {
                        next = j + 2;
                        break;
                    }
                }
                if (j >= n) break;
                i = next;
            } else {
                i += 2;
            }
        } else if (b < 0x20 && b != 0x09 && b != 0x0A) {
            i += 1;
        } else {
            out += static_cast<char>(b);
            i += 1;
        }
    }
    return out;
}

// The well-formed byte sequences of UTF-8, one row per line of the Unicode
// Standard's table of them.
struct Row {
    int len;
    unsigned char lo[4];
    unsigned char hi[4];
};
const Row kRows[] = {
    {1, {0x00}, {0x7F}},
    {2, {0xC2, 0x80}, {0xDF, 0xBF}},
    {3, {0xE0, 0xA0, 0x80}, {0xE0, 0xBF, 0xBF}},
    {3, {0xE1, 0x80, 0x80}, {0xEC, 0xBF, 0xBF}},
    {3, {0xED, 0x80, 0x80}, {0xED, 0x9F, 0xBF}},
    {3, {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}},
    {4, {0xF0, 0x90, 0x80, 0x80}, {0xF0, 0xBF, 0xBF, 0xBF}},
    {4, {0xF1, 0x80, 0x80, 0x80}, {0xF3, 0xBF, 0xBF, 0xBF}},
    {4, {0xF4, 0x80, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF}},
};

// Decodes with one U+FFFD per maximal subpart: the longest prefix of any row
// that the input matches, or one byte when no row's first byte matches.
std::string reference_decode(std::string_view in) {
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        int best = 0;
        bool whole = false;
        for (const Row& row : kRows) {
            int k = 0;
            while (k < row.len && i + k < in.size()) {
                const auto c = static_cast<unsigned char>(in[i + k]);
                if (c < row.lo[k] || c > row.hi[k]) break;
                ++k;
            }
            if (k > best) best = k;
            if (k == row.len) whole = true;
        }
        if (whole) {
            out.append(in.substr(i, best));
            i += best;
        } else {
            out += kFffd;
            i += best ? best : 1;
        }
    }
    return out;
}

std::string reference(std::string_view in) { return reference_decode(reference_filter(in)); }

// Checked without the reference: the output is well-formed UTF-8 and has no
// character below U+0020 other than TAB and LF.
bool clean_text(std::string_view s) {
    if (reference_decode(s) != s) return false;
    for (unsigned char c : s)
        if (c < 0x20 && c != 0x09 && c != 0x0A) return false;
    return true;
}

// Compares with the reference; failures are reported but capped so one bug
// does not flood the log. With also_clean, the result is checked without
// the reference as well, which guards the reference itself.
void compare(std::string_view in, const char* what, bool also_clean = false) {
    const std::string got = sanitize(in);
    const std::string want = reference(in);
    if (got == want && (!also_clean || clean_text(got))) {
        ++g_passed;
        return;
    }
    if (++g_failed <= 20)
        std::printf("FAIL %s\n  input: %s\n  want:  %s\n  got:   %s\n", what, show(in).c_str(),
                    show(want).c_str(), show(got).c_str());
}

// --- Tests -------------------------------------------------------------------

void test_worked_examples() {
    EXPECT("\x1b[31mred\x1b[0m", "red");
    EXPECT("a\r\nb", "a\nb");
    EXPECT("50%\r60%", "50%60%");
    EXPECT("x\by", "xy");
    EXPECT("\x1b]0;title\aprompt", "prompt");
    EXPECT("\x1b]8;;target\x1b\\text\x1b]8;;\x1b\\", "text");
    EXPECT("\x1b(Bdone", "Bdone");
    EXPECT("\x1b\x1b[31mx", "[31mx");
    EXPECT("\x1b[1\x1b[31mx", "31mx");
    EXPECT("abc\x1b[31", "abc");
    EXPECT("abc\x1b", "abc");
    EXPECT("\x1bPqdata\amore", "");
    EXPECT("\x1bXhi\x1b\\ok", "hiok");
    EXPECT("\ta\x7f", "\ta\x7f");
    EXPECT("\x9b" "31m", kFffd + "31m");
    EXPECT("\xc3\x1b[m\xa9", "\xc3\xa9");
    EXPECT("", "");
}

void test_csi() {
    // Everything up to the final byte is swallowed: LF, ESC, DEL, 80..FF.
    EXPECT("a\x1b[1\n2\x7f\xc3\xa9;3mb", "ab");
    EXPECT("a\x1b[\nb", "a");  // 'b' is the final byte
    EXPECT("a\x1b[\n\n", "a");  // unfinished: the line feeds go too
    // The ends of the final-byte range, and the bytes just outside it.
    EXPECT("\x1b[@x", "x");
    EXPECT("\x1b[~x", "x");
    EXPECT("\x1b[?25hx", "x");
    EXPECT("\x1b[1?;>x", "");  // ? ; > are below 40: 'x' is the final byte
    EXPECT("\x1b[\x7f\x80\xff" "Ax", "x");
    EXPECT("\x1b[", "");
    EXPECT("ok\x1b[", "ok");
}

void test_strings() {
    // OSC: BEL or ST ends it; an ESC without a backslash stays in the body.
    EXPECT("\x1b]x\x1b y\x1b\x1b\\z", "z");
    EXPECT("\x1b]x\x1b\x07z", "z");
    EXPECT("\x1b]\x1b\\z", "z");
    EXPECT("\x1b]\az", "z");
    EXPECT("a\x1b]unfinished\x1b", "a");
    EXPECT("a\x1b]", "a");
    // DCS, PM, APC: only ST ends them, BEL is part of the body.
    for (char intro : {'P', '^', '_'}) {
        std::string in = "a\x1b";
        in += intro;
        EXPECT(in + "x\ay\x1b\\b", "ab");
        EXPECT(in + "x\ay\nz", "a");
        EXPECT(in + "\x1b\\b", "ab");
        EXPECT(in, "a");
    }
    // ST on its own is just a two-byte escape.
    EXPECT("a\x1b\\b", "ab");
}

// Bodies of every length up to a few windows, made of every byte that may
// appear in them, so both the short byte loop and the window masks have to
// get the end right.
void test_long_bodies() {
    struct Kind {
        std::string intro;
        std::string end;
        bool csi;
        bool bel_ends;
    };
    const Kind kinds[] = {
        {"\x1b[", "m", true, false},
        {"\x1b]", "\a", false, true},
        {"\x1b]", "\x1b\\", false, true},
        {"\x1bP", "\x1b\\", false, false},
        {"\x1b^", "\x1b\\", false, false},
        {"\x1b_", "\x1b\\", false, false},
    };
    for (const Kind& kind : kinds) {
        for (std::size_t len = 0; len <= 200; ++len) {
            std::string body;
            for (unsigned b = static_cast<unsigned>(len * 7); body.size() < len; ++b) {
                const auto c = static_cast<unsigned char>(b);
                if (kind.csi && c >= 0x40 && c <= 0x7E) continue;
                if (kind.bel_ends && c == 0x07) continue;
                if (!kind.csi && c == 0x5C && !body.empty() && body.back() == '\x1b') continue;
                body += static_cast<char>(c);
            }
            // An ESC at the very end of the body would pair with the
            // terminator's first byte in a way the body did not intend.
            if (!kind.csi && !body.empty() && body.back() == '\x1b') body.back() = ' ';
            const std::string in = "a" + kind.intro + body + kind.end + "z";
            expect(in, "az", __LINE__);
            compare(in, "long body");
        }
    }
}

void test_two_byte_escapes_and_controls() {
    EXPECT("a\x1b\nb", "ab");
    EXPECT("a\x1b\tb", "ab");
    EXPECT("a\x1b\x1b\x1b", "a");  // the last ESC is alone at the end
    EXPECT("a\x1b\x1b\x1b\x1b" "b", "ab");
    EXPECT("a\x1b\xc3\xa9", "a" + kFffd);  // the ESC takes the lead byte with it
    EXPECT("a\x1b" "7b\x1b" "8c", "abc");
    EXPECT(bytes("a\0b\x01\x07\x0b\x0c\x0e\x1f" "c"), "abc");
    EXPECT("\x7f\x7f", "\x7f\x7f");
    EXPECT("\r\r\r\n", "\n");
}

void test_decode() {
    // Maximal subparts: a truncated sequence is one replacement, a byte that
    // cannot continue it starts over.
    EXPECT("\xe0\x80", kFffd + kFffd);                 // E0 needs A0..BF next
    EXPECT("\xed\xa0\x80", kFffd + kFffd + kFffd);     // surrogate
    EXPECT("\xf4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd);  // past U+10FFFF
    EXPECT("\xf0\x9f\x98", kFffd);                     // truncated at the end
    EXPECT("\xf0\x9f\x98" "A", kFffd + "A");
    EXPECT("\xe2\x82" "\xe2\x82\xac", kFffd + "\xe2\x82\xac");
    EXPECT("\xc0\xaf", kFffd + kFffd);                 // overlong lead
    EXPECT("\xf5\xff\xfe", kFffd + kFffd + kFffd);
    EXPECT("\x80\x80" "abc", kFffd + kFffd + "abc");   // trimmed history start
    // Well-formed text comes back byte for byte, C1 controls included.
    const std::string text = "caf\xc3\xa9 \xe2\x82\xac 5\t\xf0\x9f\x98\x80 \xc2\x9b" "1m \xef\xbf\xbf\n";
    EXPECT(text, text);
    // A sequence between the bytes of a character is removed first.
    EXPECT("\xf0\x9f\x1b]t\a\x98\r\x80", "\xf0\x9f\x98\x80");
}

void test_split_input() {
    // Nothing carries over between calls: the second call shows the rest of
    // the sequence the first one dropped.
    EXPECT("a\x1b[3", "a");
    EXPECT("1mb", "1mb");
    EXPECT("a\x1b]0;ti", "a");
    EXPECT("tle\aprompt", "tleprompt");
    EXPECT("a\xe2\x82", "a" + kFffd);
    EXPECT("\xac" "b", kFffd + "b");
}

void test_large_repairs() {
    // All invalid: the result is three times the input and needs a new buffer.
    const std::string lone(5000, '\x80');
    std::string want;
    for (std::size_t k = 0; k < lone.size(); ++k) want += kFffd;
    EXPECT(lone, want);
    // Invalid bytes after many dropped ones: repaired in stage 1's buffer.
    std::string in;
    std::string expect_out;
    for (int k = 0; k < 2000; ++k) {
        in += "\x1b[38;5;196m\xff" "ab\xe2\x82\xac\r\n";
        expect_out += kFffd + "ab\xe2\x82\xac\n";
    }
    EXPECT(in, expect_out);
    // A long clean run with a single bad byte near the end.
    std::string run(100000, 'x');
    run[99990] = '\xc3';
    EXPECT(run, run.substr(0, 99990) + kFffd + run.substr(99991));
}

// Every interesting piece placed at every offset across the first window
// boundaries (the filter works in 64-byte windows from the start of the
// input), followed by bodies of every short length, so that sequence ends,
// and ESC-backslash pairs split between windows, land at every position.
void test_window_boundaries() {
    const std::string pieces[] = {
        "\r",
        "\x1b",
        "\x1b[31m",
        "\x1b[",
        "\x1b]",
        "\x1b]0;t\a",
        "\x1b]0;\x1bt\x1b\\",
        "\x1bP",
        "\x1bPq\a\x1b\\",
        "\x1b_",
        "\x1b(",
        "\xc3\xa9",
        "\xe2\x82",
        "\xff",
        "\t\n",
        std::string(1, '\0'),
    };
    // ';' neither ends a CSI nor a string; 'y' ends a CSI.
    const char body_bytes[] = {';', 'y'};
    const std::string fills[] = {"x", "\xc3\xa9"};
    for (const std::string& piece : pieces) {
        for (const std::string& fill : fills) {
            for (std::size_t before = 0; before <= 70; ++before) {
                std::string head;
                for (std::size_t k = 0; k < before; ++k) head += fill;
                head += piece;
                for (char body : body_bytes) {
                    for (std::size_t after = 0; after <= 70; ++after) {
                        const std::string in = head + std::string(after, body);
                        compare(in, "window sweep");
                        compare(in + "m\a\x1b\\z", "window sweep with terminators");
                    }
                }
            }
        }
    }
}

// Random inputs drawn from the bytes the rules care about, plus runs of plain
// text long enough to reach the block loops.
std::string random_input(std::mt19937_64& rng, std::size_t max_tokens) {
    static const std::vector<std::string> tokens = {
        "\x1b", "[", "]", "P", "^", "_", "\\", "\a", "\r", "\n", "\t", "\x7f", std::string(1, '\0'),
        "\x08", "\x9b", "\xc3", "\xa9", "\xe2", "\xf0", "\x80", "\xbf", "\xed", "\xf4", "\xff",
        "@", "m", "~", "?", ";", "1", "X", "(", "\x1b[", "\x1b]", "\x1b\\", "\x1bP", "\x1b_",
        "\x1b^", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
    };
    std::uniform_int_distribution<std::size_t> count(0, max_tokens);
    std::uniform_int_distribution<std::size_t> pick(0, tokens.size() - 1);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<std::size_t> run_len(1, 70);
    std::uniform_int_distribution<int> any_byte(0, 255);
    std::string in;
    const std::size_t n = count(rng);
    for (std::size_t k = 0; k < n; ++k) {
        const int what = kind(rng);
        if (what < 6) {
            in += tokens[pick(rng)];
        } else if (what < 8) {
            const std::size_t len = run_len(rng);
            for (std::size_t j = 0; j < len; ++j) in += static_cast<char>('a' + j % 26);
        } else {
            in += static_cast<char>(any_byte(rng));
        }
    }
    return in;
}

void test_random(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int k = 0; k < 30000; ++k) compare(random_input(rng, 60), "random (short)", true);
    for (int k = 0; k < 200; ++k) compare(random_input(rng, 3000), "random (long)", true);
    // Uniformly random bytes: mostly ill-formed, many escapes.
    std::uniform_int_distribution<int> any_byte(0, 255);
    std::uniform_int_distribution<std::size_t> len(0, 400);
    for (int k = 0; k < 5000; ++k) {
        std::string in(len(rng), '\0');
        for (char& c : in) c = static_cast<char>(any_byte(rng));
        compare(in, "random bytes", true);
    }
}

// The output never exceeds three bytes per input byte, and text that needs
// no change comes back unchanged.
void test_properties(std::uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x5bd1e995);
    for (int k = 0; k < 2000; ++k) {
        const std::string in = random_input(rng, 80);
        CHECK(sanitize(in).size() <= 3 * in.size());
    }
    for (int k = 0; k < 2000; ++k) {
        const std::string clean = sanitize(random_input(rng, 80));
        CHECK(sanitize(clean) == clean);
    }
}

}  // namespace

// Multibyte text long enough for the vector UTF-8 check (64-byte blocks),
// with one fault of every kind placed at every offset across the first
// blocks: the check must stop before it, and the DFA must then find exactly
// the place and the length of the ill-formed part.
void test_multibyte_runs() {
    static const char* const kChars[] = {"\xC3\xA9", "\xE2\x86\x92", "\xF0\x9F\x9A\x80", "\xD0\xBF",
                                         "\xE6\x97\xA5", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD", "a"};
    static const char* const kFaults[] = {
        "\x80",             "\xBF\xBF",     "\xC3",         "\xC3\x41",     "\xE2\x86",
        "\xE2\x41\x86",   "\xF0\x9F\x9A", "\xC0\x80",   "\xC1\xBF",     "\xE0\x80\x80",
        "\xE0\x9F\xBF",   "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "\xFE",
        "\xC3\xA9\x80",   "\xE2\x86\x92\x80", "\xF0\x9F\x9A\x80\x80", "\xC3\xC3\xA9", "\xE2\xE2\x86\x92",
        "\xC3\x1B[m\xA9",  // joined by the filter: well-formed after all
    };
    std::string text;
    for (int k = 0; text.size() < 400; ++k) text += kChars[k % std::size(kChars)];
    for (const char* fault : kFaults) {
        for (std::size_t at = 0; at < 200; ++at) {
            // Keep characters whole around the fault, so it is the only one.
            std::size_t cut = at;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            compare(text.substr(0, cut) + fault + text.substr(cut), "multibyte fault", true);
            // The fault at the very end, where the input stops inside it.
            compare(text.substr(0, cut) + fault, "multibyte fault at the end", true);
        }
    }
    // Mostly well-formed multibyte text with rare damage, many lengths.
    std::mt19937_64 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string in;
        const std::size_t len = rng() % 1500;
        while (in.size() < len) {
            const auto r = rng() % 1000;
            if (r < 3) {
                in += kFaults[rng() % std::size(kFaults)];
            } else if (r < 6) {
                in += static_cast<char>(rng() & 0xFF);
            } else if (r < 10) {
                in += "\r\n";
            } else {
                in += kChars[rng() % std::size(kChars)];
            }
        }
        compare(in, "random multibyte text", true);
    }
}

// The two stages apart: filtering in pieces, each resumed where the last
// stopped, gives what one pass gives; the reported points are places a
// filter can start from; decoding afterwards gives sanitize_for_agent.
void test_stages(std::uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x5EED);
    for (int round = 0; round < 3000; ++round) {
        const std::string in = random_input(rng, 1 + rng() % 400);
        std::string whole;
        std::vector<pellux::FilterPoint> points;
        const std::size_t used = pellux::filter_controls(in, whole, &points);
        CHECK(used <= in.size());
        std::string text = whole;
        pellux::decode_lossy(text);
        CHECK(text == pellux::sanitize_for_agent(in));
        std::string rest;
        CHECK(pellux::filter_controls(std::string_view(in).substr(used), rest) == 0 || used == in.size());
        CHECK(rest.empty());
        for (const auto& p : points) {
            std::string tail;
            pellux::filter_controls(std::string_view(in).substr(p.raw), tail);
            CHECK(p.out <= whole.size() && tail == whole.substr(p.out));
        }
        // Fed in random pieces, from wherever the previous call stopped.
        std::string pieces;
        std::size_t from = 0;
        for (std::size_t end = 0; end < in.size();) {
            end = std::min(in.size(), end + 1 + rng() % 300);
            from += pellux::filter_controls(std::string_view(in).substr(from, end - from), pieces);
        }
        CHECK(pieces == whole && from == used);
        const std::size_t valid = pellux::valid_utf8_prefix(whole);
        std::string decoded = whole;
        pellux::decode_lossy(decoded, valid);
        CHECK(decoded == text);
    }
}


// Widening clean text into fixed-width units: the count and the largest
// byte, and the code points written at every width that holds them, at
// every alignment of the ASCII runs around multibyte characters (the
// vector path keeps only the ASCII part of a block and writes up to 16
// units at once; nothing may land past the last unit).
std::vector<std::uint32_t> reference_code_points(std::string_view text) {
    std::vector<std::uint32_t> out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned b = s[i];
        const int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k < len; ++k) cp = cp << 6 | (s[i + k] & 0x3F);
        out.push_back(cp);
        i += static_cast<std::size_t>(len);
    }
    return out;
}

template <class Unit>
bool widens_to(std::string_view text, const std::vector<std::uint32_t>& want) {
    constexpr Unit kGuard = static_cast<Unit>(0xA5A5A5A5u);
    std::vector<Unit> out(want.size() + 32, kGuard);
    pellux::utf8_widen(text, out.data(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (out[i] != want[i]) return false;
    }
    for (std::size_t i = want.size(); i < out.size(); ++i) {
        if (out[i] != kGuard) return false;
    }
    return true;
}

void check_widen(std::string_view text) {
    const std::vector<std::uint32_t> want = reference_code_points(text);
    const pellux::Utf8Shape shape = pellux::utf8_shape(text);
    unsigned char top = 0;
    for (unsigned char c : text) top = std::max(top, c);
    std::uint32_t largest = 0;
    for (std::uint32_t cp : want) largest = std::max(largest, cp);
    CHECK(shape.chars == want.size());
    CHECK(shape.max_byte == top);
    // The largest byte names the width exactly.
    CHECK((top < 0x80) == (largest < 0x80));
    CHECK((top < 0xC4) == (largest <= 0xFF));
    CHECK((top < 0xF0) == (largest <= 0xFFFF));
    CHECK(widens_to<std::uint32_t>(text, want));
    if (largest <= 0xFFFF) CHECK(widens_to<std::uint16_t>(text, want));
    if (largest <= 0xFF) CHECK(widens_to<std::uint8_t>(text, want));
}

void test_widen(std::uint64_t seed) {
    static const char* const kChars[] = {"\xC3\xA9", "\xC2\x80", "\xC3\xBF", "\xC4\x80", "\xDF\xBF",
                                         "\xE0\xA0\x80", "\xE2\x86\x92", "\xEF\xBF\xBF",
                                         "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
    check_widen("");
    for (const char* c : kChars) {
        for (std::size_t before = 0; before < 40; ++before) {
            for (std::size_t after : {0u, 1u, 15u, 16u, 17u, 40u}) {
                check_widen(std::string(before, 'a') + c + std::string(after, 'b'));
                check_widen(std::string(before, 'x') + c + c + c + std::string(after, '\n'));
            }
        }
    }
    std::mt19937_64 rng(seed ^ 0x91DE);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const std::size_t parts = rng() % 60;
        // Each round keeps to a few kinds of characters, so every width comes up.
        const std::size_t kinds = 1 + rng() % std::size(kChars);
        for (std::size_t k = 0; k < parts; ++k) {
            if (rng() % 3) {
                text.append(rng() % 24, static_cast<char>('!' + rng() % 90));
            } else {
                text += kChars[rng() % kinds];
            }
        }
        check_widen(text);
        check_widen(sanitize(random_input(rng, 200)));
    }
}

int main(int argc, char** argv) {
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 20240601;
    test_worked_examples();
    test_csi();
    test_strings();
    test_long_bodies();
    test_two_byte_escapes_and_controls();
    test_decode();
    test_split_input();
    test_large_repairs();
    test_window_boundaries();
    test_random(seed);
    test_properties(seed);
    test_multibyte_runs();
    test_stages(seed);
    test_widen(seed);
    if (g_failed) std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
