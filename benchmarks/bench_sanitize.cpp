// Throughput of sanitize_for_agent on ~4 MiB inputs shaped like terminal output.
//
// Build and run from the repository root:
//   g++ -std=c++23 -O2 -Isrc benchmarks/bench_sanitize.cpp src/sanitize/sanitize.cpp -o /tmp/bench_sanitize
//   /tmp/bench_sanitize [runs]
//
// Each figure is input bytes over the best of the runs' wall times.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "sanitize/sanitize.hpp"

namespace {

constexpr std::size_t kTarget = 4u << 20;

const char* const kWords[] = {"the",    "quick",   "brown",  "fox",    "jumps",   "over",
                              "lazy",   "dog",     "build",  "target", "warning", "error:",
                              "src/a.c", "line",   "42",     "(gdb)",  "break",   "0x7ffd1234",
                              "return", "struct",  "value",  "=",      "{",       "}"};

template <class Piece>
std::string build(Piece piece) {
    std::mt19937 rng(12345);
    std::string out;
    out.reserve(kTarget + 4096);
    while (out.size() < kTarget) piece(rng, out);
    return out;
}

const char* word(std::mt19937& rng) { return kWords[rng() % std::size(kWords)]; }

// A line of words ended the way a terminal with output post-processing
// ends it: CR LF.
void text_line(std::mt19937& rng, std::string& out) {
    const int words = 3 + static_cast<int>(rng() % 12);
    for (int k = 0; k < words; ++k) {
        if (k) out += ' ';
        out += word(rng);
    }
    out += "\r\n";
}

std::string plain_lf() {
    return build([](std::mt19937& rng, std::string& out) {
        text_line(rng, out);
        out.erase(out.size() - 2, 1);  // drop the CR
    });
}

std::string plain_crlf() { return build(text_line); }

// Like `ls --color`: a few coloured names per line.
std::string colour_listing() {
    static const char* const kColours[] = {"\x1b[01;34m", "\x1b[01;32m", "\x1b[01;36m", "\x1b[40;33;01m"};
    return build([](std::mt19937& rng, std::string& out) {
        for (int k = 0; k < 4; ++k) {
            if (rng() % 3 == 0) {
                out += kColours[rng() % std::size(kColours)];
                out += word(rng);
                out += "\x1b[0m";
            } else {
                out += word(rng);
                out += ".txt";
            }
            out += "    ";
        }
        out += "\r\n";
    });
}

// A full-screen program redrawing: every word coloured, cursor moves, line
// erases, title updates, keypad modes.
std::string escape_heavy() {
    return build([](std::mt19937& rng, std::string& out) {
        char move[32];
        std::snprintf(move, sizeof move, "\x1b[%u;%uH\x1b[K", static_cast<unsigned>(1 + rng() % 50),
                      static_cast<unsigned>(1 + rng() % 200));
        out += move;
        for (int k = 0; k < 6; ++k) {
            out += "\x1b[1;3";
            out += static_cast<char>('1' + rng() % 7);
            out += 'm';
            out += word(rng);
            out += "\x1b[0m ";
        }
        if (rng() % 4 == 0) out += "\x1b]0;user@host: ~/src\a";
        if (rng() % 8 == 0) out += "\x1b=\x1b[?1h\x1b(B";
        out += "\r\n";
    });
}

// A progress bar redrawn in place: a CR before every update.
std::string progress_bar() {
    return build([](std::mt19937& rng, std::string& out) {
        const unsigned done = static_cast<unsigned>(rng() % 41);
        out += '\r';
        out += '[';
        out.append(done, '=');
        out += '>';
        out.append(40 - done, ' ');
        char tail[32];
        std::snprintf(tail, sizeof tail, "] %3u%% %u.%u MB/s", done * 100 / 40, static_cast<unsigned>(rng() % 90),
                      static_cast<unsigned>(rng() % 10));
        out += tail;
    });
}

// Uniformly random bytes: mostly ill-formed UTF-8, control bytes and escapes
// everywhere. The worst case rather than a likely one.
std::string random_bytes() {
    return build([](std::mt19937& rng, std::string& out) {
        for (int k = 0; k < 64; ++k) out += static_cast<char>(rng() & 0xFF);
    });
}

// Hyperlinked file names (OSC 8 with long targets) and now and then an image
// sent as a DCS string of a few KiB, between lines of text.
std::string long_sequences() {
    return build([](std::mt19937& rng, std::string& out) {
        if (rng() % 16 == 0) {
            out += "\x1bPq#0;2;0;0;0";
            const std::size_t len = 1024 + rng() % 4096;
            for (std::size_t k = 0; k < len; ++k) out += static_cast<char>('?' + rng() % 64);
            out += "\x1b\\";
        }
        out += "\x1b]8;;file:///home/user/projects/pellux/src/session/";
        out += word(rng);
        out += "/reader_thread.cpp\x1b\\";
        out += word(rng);
        out += "\x1b]8;;\x1b\\  ";
        text_line(rng, out);
    });
}

// Mixed-script prose: accented Latin, Cyrillic, CJK, symbols and emoji.
std::string utf8_heavy() {
    static const char* const kPieces[] = {
        "caf\xc3\xa9",                                   // café
        "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",  // привет
        "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",          // 日本語
        "\xe2\x86\x92",                                  // →
        "\xe2\x94\x80\xe2\x94\x80\xe2\x94\x80",          // ───
        "\xf0\x9f\x9a\x80",                              // rocket
        "na\xc3\xafve",                                  // naïve
        "\xce\xb1\xce\xb2\xce\xb3",                      // αβγ
    };
    return build([](std::mt19937& rng, std::string& out) {
        const int words = 3 + static_cast<int>(rng() % 10);
        for (int k = 0; k < words; ++k) {
            if (k) out += ' ';
            out += kPieces[rng() % std::size(kPieces)];
        }
        out += "\r\n";
    });
}

double best_seconds(const std::string& input, int runs, std::size_t& sink) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const std::string out = pellux::sanitize_for_agent(input);
        const auto t1 = std::chrono::steady_clock::now();
        sink += out.size();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    struct Case {
        const char* name;
        std::string input;
    };
    const std::vector<Case> cases = {
        {"plain ASCII, LF", plain_lf()},
        {"plain ASCII, CR LF", plain_crlf()},
        {"progress bar (CR-heavy)", progress_bar()},
        {"colour listing (ls --color)", colour_listing()},
        {"escape-heavy redraw", escape_heavy()},
        {"long OSC and DCS bodies", long_sequences()},
        {"UTF-8-heavy, CR LF", utf8_heavy()},
        // A history trimmed inside a character: stage 2 repairs the whole text.
        {"same, cut inside a character", "\xa9" + utf8_heavy()},
        {"random bytes", random_bytes()},
    };
    std::size_t sink = 0;
    std::printf("%-30s %9s %9s %9s %9s\n", "input", "MiB", "out %", "best ms", "GB/s");
    for (const Case& c : cases) {
        const double s = best_seconds(c.input, runs, sink);
        const double out_share = 100.0 * static_cast<double>(pellux::sanitize_for_agent(c.input).size()) /
                                 static_cast<double>(c.input.size());
        std::printf("%-30s %9.2f %9.1f %9.3f %9.2f\n", c.name, static_cast<double>(c.input.size()) / (1 << 20),
                    out_share, s * 1e3, static_cast<double>(c.input.size()) / s / 1e9);
    }
    std::printf("(best of %d runs; checksum %zu)\n", runs, sink);
    return 0;
}
