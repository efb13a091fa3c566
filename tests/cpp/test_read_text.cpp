// Native tests of what a waiting read does with its output as it arrives:
// the marker search over the cleaned tail (ReadText::window_has_marker with
// a MarkerSearch), the text cleaned chunk by chunk (ReadText::finish), and
// the settled part of it that a read ending on new text hands on.
// Both are compared, on random output cut into random chunks, with the plain
// way: clean the whole window and search it for each marker in turn; clean
// the whole output once at the end.
//
// Usage: test_read_text [seed]. Prints "N passed, M failed"; exit status 1
// on any failure.

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "readiness/marker_search.hpp"
#include "readiness/read_text.hpp"
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

void check(bool ok, const char* what, std::uint32_t seed, std::size_t step) {
    if (ok) {
        ++g_passed;
        return;
    }
    ++g_failed;
    if (g_failed <= 20) std::printf("FAIL %s (case seed %u, chunk %zu)\n", what, seed, step);
}

// How the search worked before it was incremental: the window cleaned whole,
// then each marker searched on its own.
bool plain_window_has_marker(std::string_view buffer, std::size_t window,
                             const std::vector<std::string>& markers) {
    const std::size_t n = std::min(buffer.size(), window);
    const std::string text = pellux::sanitize_for_agent(buffer.substr(buffer.size() - n));
    for (const auto& m : markers) {
        bool control = false;
        for (unsigned char c : m) control = control || (c < 0x20 && c != '\t' && c != '\n');
        if (control) continue;
        if (text.find(pellux::sanitize_for_agent(m)) != std::string::npos) return true;
    }
    return false;
}

// Terminal-like output: text, UTF-8 (some of it cut), colours, OSC and DCS
// strings (some long, some never ended), lone ESCs, CRs and other controls.
std::string random_output(std::mt19937& rng, std::size_t size) {
    static const char* const kPieces[] = {
        "hello ", "(gdb) ", "PLX> ", ">>> ", "$ ", "\r\n", "\n", "\t", "caf\xc3\xa9 ", "\xe6\x97\xa5\xe6\x9c\xac",
        "\xf0\x9f\x9a\x80", "\xc3", "\xa9", "\xe2\x86", "\x1b[31m", "\x1b[0m", "\x1b[1;3", "4m", "\x1b]0;title\x07",
        "\x1b]8;;http://x\x1b\\", "\x1b", "[", "]", "\x1bP", "q#0;", "\x1b\\", "\x07", "\x08", "\x00", "\x7f",
        "\x1b(B", "\x1b\x1b", "\x9b", "xyz", "0123456789", "(gdb", ") ", "PL", "X> ",
    };
    std::string out;
    while (out.size() < size) {
        const unsigned kind = rng() % 100;
        if (kind < 85) {
            const char* p = kPieces[rng() % std::size(kPieces)];
            out += p[0] == '\0' ? std::string(1, '\0') : std::string(p);
        } else if (kind < 92) {
            // A long sequence body, ended or not.
            out += (rng() % 2) ? "\x1b]" : "\x1bP";
            const std::size_t len = rng() % 3000;
            for (std::size_t k = 0; k < len; ++k) out += static_cast<char>('A' + rng() % 26);
            if (rng() % 3) out += "\x1b\\";
        } else if (kind < 96) {
            for (int k = 0; k < 64; ++k) out += static_cast<char>('a' + rng() % 26);
        } else {
            for (int k = 0; k < 8; ++k) out += static_cast<char>(rng() & 0xFF);
        }
    }
    return out;
}

// Markers: a few common prompts, pieces of the output's clean text (so some
// match somewhere), words that never occur, non-ASCII and control-holding
// ones, an empty one now and then; few or many.
std::vector<std::string> random_markers(std::mt19937& rng, const std::string& clean) {
    std::vector<std::string> markers;
    const std::size_t count = rng() % 3 == 0 ? 50 + rng() % 1000 : 1 + rng() % 4;
    const bool ascii_only = rng() % 4 != 0;
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned kind = rng() % 100;
        std::string m;
        if (kind < 50) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "never-%zu> ", k);
            m = buf;
        } else if (kind < 60 && !clean.empty()) {
            const std::size_t at = rng() % clean.size();
            m = clean.substr(at, 1 + rng() % 12);
        } else if (kind < 70) {
            static const char* const kPrompts[] = {"(gdb) ", "PLX> ", ">>> ", "$ ", "X", "z", "\t", "\n"};
            m = kPrompts[rng() % std::size(kPrompts)];
        } else if (kind < 80) {
            m = "caf\xc3\xa9";
        } else if (kind < 85) {
            m = "\xc3";  // reads as U+FFFD
        } else if (kind < 90) {
            m = "PLX\r> ";  // a control byte: never matches
        } else if (kind < 91) {
            m = "";
        } else {
            for (int j = 0; j < 3; ++j) m += static_cast<char>('a' + rng() % 26);
        }
        bool ascii = true;
        for (unsigned char c : m) ascii = ascii && c < 0x80;
        if (ascii_only && !ascii) continue;
        markers.push_back(m);
    }
    return markers;
}

void one_case(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::size_t size = 1 + rng() % (rng() % 4 == 0 ? 200000 : 20000);
    const std::string output = random_output(rng, size);
    const std::string clean = pellux::sanitize_for_agent(output);
    const std::vector<std::string> markers = random_markers(rng, clean);
    static const std::size_t kWindows[] = {8192, 8192, 64, 300, 1};
    const std::size_t window = kWindows[rng() % std::size(kWindows)];
    const std::size_t max_chunk = rng() % 2 ? 8192 : 1 + rng() % 100;

    const pellux::MarkerSearch search(markers);
    pellux::ReadText text(window);
    std::string buffer;
    bool matched = false;
    std::size_t step = 0;
    while (buffer.size() < output.size()) {
        const std::size_t len = std::min<std::size_t>(1 + rng() % max_chunk, output.size() - buffer.size());
        buffer.append(output, buffer.size(), len);
        text.feed(buffer);
        ++step;
        // A read stops searching at its first match, as the window search
        // relies on; what follows is taken as a settle period would.
        if (matched || markers.empty()) continue;
        const bool got = text.window_has_marker(buffer, search);
        const bool want = plain_window_has_marker(buffer, window, markers);
        if (got != want && g_failed < 20) {
            std::printf("  window %zu, buffer %zu bytes, got %d want %d, tail %s\n", window, buffer.size(), got,
                        want, show(std::string_view(buffer).substr(buffer.size() - std::min(buffer.size(), window)))
                                  .substr(0, 400)
                                  .c_str());
        }
        check(got == want, "marker search differs from the whole window cleaned", seed, step);
        matched = got;
    }
    check(std::move(text).finish(buffer) == clean, "text cleaned chunk by chunk differs", seed, step);
}

// The text alone, as a quiet read builds it: no window, no points.
void quiet_case(std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::string output = random_output(rng, 1 + rng() % 50000);
    pellux::ReadText text(0);
    std::string buffer;
    while (buffer.size() < output.size()) {
        const std::size_t len = std::min<std::size_t>(1 + rng() % 5000, output.size() - buffer.size());
        buffer.append(output, buffer.size(), len);
        text.feed(buffer);
    }
    check(std::move(text).finish(buffer) == pellux::sanitize_for_agent(output), "quiet text differs", seed, 0);
}

// The reads of a pattern wait: each ends after some chunks and hands on
// only what settle() keeps; the rest starts the next read. Whatever the
// cuts (inside a character, inside a sequence), the texts of the reads
// joined are the whole output cleaned at once, and no read but the last
// ends in a character cut short.
void arrival_case(std::uint32_t seed) {
    std::mt19937 rng(seed);
    static const char* const kTokens[] = {"plain words ", "\n", "\xe2\x82\xac", "\xc3\xa9", "\xf0\x9f\x99\x82",
                                          "\x1b[31m", "\x1b[0m", "\x1b]0;title\x07", "\r\n", "x"};
    std::string output;
    const std::size_t tokens = 1 + rng() % 400;
    for (std::size_t k = 0; k < tokens; ++k) output += kTokens[rng() % std::size(kTokens)];
    std::string joined;
    std::string carried;  // given back by the previous read
    std::size_t fed = 0;
    std::size_t step = 0;
    while (fed < output.size() || !carried.empty()) {
        pellux::ReadText text(0);
        std::string buffer = std::move(carried);
        carried.clear();
        if (!buffer.empty()) text.feed(buffer);
        // Chunks until the text has settled (as the read loop waits), or the output ends.
        while (fed < output.size() && (buffer.empty() || text.settled_size(buffer) == 0)) {
            const std::size_t len = std::min<std::size_t>(1 + rng() % 7, output.size() - fed);
            buffer.append(output, fed, len);
            fed += len;
            text.feed(buffer);
        }
        ++step;
        if (fed == output.size() && text.settled_size(buffer) == 0) {
            joined += std::move(text).finish(buffer);  // the output ended: everything goes
            break;
        }
        const std::size_t keep = text.settle(buffer);
        carried = buffer.substr(keep);
        buffer.resize(keep);
        const std::string piece = std::move(text).finish(buffer);
        check(piece.find("\xef\xbf\xbd") == std::string::npos, "a read ends in a character cut short", seed,
              step);
        joined += piece;
    }
    check(joined == pellux::sanitize_for_agent(output), "the reads' texts differ from the whole cleaned", seed,
          step);
}

void examples() {
    // A marker split across chunks is found when its second half comes.
    {
        const pellux::MarkerSearch search({"(gdb) "});
        pellux::ReadText text(8192);
        std::string buffer = "output\r\n(gd";
        text.feed(buffer);
        check(!text.window_has_marker(buffer, search), "half a marker matched", 0, 1);
        buffer += "b) ";
        text.feed(buffer);
        check(text.window_has_marker(buffer, search), "a split marker was missed", 0, 2);
    }
    // Cut before the marker's last byte, behind enough text that only the
    // new bytes and the overlap are searched; with few markers and many.
    for (std::size_t count : {1, 200}) {
        std::vector<std::string> markers;
        for (std::size_t k = 1; k < count; ++k) markers.push_back("m" + std::to_string(k) + ">");
        markers.push_back("(gdb) ");
        const pellux::MarkerSearch search(markers);
        for (std::size_t window : {8192, 40}) {
            pellux::ReadText text(window);
            std::string buffer(100, 'x');
            text.feed(buffer);
            check(!text.window_has_marker(buffer, search), "plain text matched", 0, 1);
            buffer += "(gdb)";
            text.feed(buffer);
            check(!text.window_has_marker(buffer, search), "most of a marker matched", 0, 2);
            buffer += " ";
            text.feed(buffer);
            check(text.window_has_marker(buffer, search), "a marker cut before its last byte was missed", 0, 3);
        }
    }
    // A coloured prompt matches the plain marker, also with many markers.
    {
        std::vector<std::string> many;
        for (int k = 0; k < 100; ++k) many.push_back("m" + std::to_string(k) + "> ");
        many.push_back("(gdb) ");
        const pellux::MarkerSearch search(many);
        pellux::ReadText text(8192);
        std::string buffer = "x\x1b[1m(g\x1b[0mdb) ";
        text.feed(buffer);
        check(text.window_has_marker(buffer, search), "a coloured prompt was missed", 0, 1);
    }
    // Text that only the sliding window's start shows: an OSC opened before
    // the window whose body holds the marker. Once the window starts past
    // the opener, the body reads as text and the marker is there.
    {
        const pellux::MarkerSearch search({"(gdb) "});
        pellux::ReadText text(16);
        std::string buffer = "\x1b](gdb) ";
        text.feed(buffer);
        check(!text.window_has_marker(buffer, search), "a marker inside an OSC matched", 0, 1);
        buffer += "0123456789";
        text.feed(buffer);
        check(text.window_has_marker(buffer, search), "the window's own start was not searched", 0, 2);
    }
    // A marker whose first byte is everywhere in the text: found, or not,
    // at the very end, past the point where the search changes method.
    {
        const pellux::MarkerSearch search({"aaab"});
        const std::string text(5000, 'a');
        check(!search.found_in(text), "a marker found in text without it", 0, 1);
        check(search.found_in(text + "b"), "a marker at the end of repetitive text was missed", 0, 1);
        check(search.found_in("aab" + text + "b"), "a marker at both ends was missed", 0, 1);
        check(!search.found_in("aab"), "a marker longer than the text matched", 0, 1);
    }
    // Long lists are kept and reused per thread: each list still gets its
    // own search, also with more lists in turn than are kept, and a list
    // equal to a kept one gets that one's answers.
    {
        std::vector<std::vector<std::string>> lists;
        for (int l = 0; l < 7; ++l) {
            std::vector<std::string> markers;
            for (int k = 0; k < 20; ++k) markers.push_back("L" + std::to_string(l) + "m" + std::to_string(k) + ">");
            lists.push_back(markers);
        }
        for (int round = 0; round < 3; ++round) {
            for (std::size_t l = 0; l < lists.size(); ++l) {
                const auto search = pellux::MarkerSearch::for_markers(lists[l]);
                const auto again = pellux::MarkerSearch::for_markers(std::vector<std::string>(lists[l]));
                const std::string own = "x L" + std::to_string(l) + "m7> y";
                const std::string other = "x L" + std::to_string((l + 1) % lists.size()) + "m7> y";
                check(search->found_in(own) && again->found_in(own), "a kept list missed its marker", 0, l);
                check(!search->found_in(other), "a kept list matched another list's marker", 0, l);
            }
        }
    }
    // A marker with a control byte never matches; an empty one always does.
    {
        const pellux::MarkerSearch never({"a\rb"});
        const pellux::MarkerSearch always({""});
        pellux::ReadText text(8192);
        std::string buffer = "a\rb";
        text.feed(buffer);
        check(!never.any() && !text.window_has_marker(buffer, never), "a control marker matched", 0, 1);
        check(text.window_has_marker(buffer, always), "an empty marker did not match", 0, 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint32_t seed = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 20251208;
    examples();
    for (std::uint32_t k = 0; k < 400; ++k) one_case(seed + k);
    for (std::uint32_t k = 0; k < 100; ++k) quiet_case(seed + 1000000 + k);
    for (std::uint32_t k = 0; k < 300; ++k) arrival_case(seed + 2000000 + k);
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
