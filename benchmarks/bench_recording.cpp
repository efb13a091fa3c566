// What a recording (src/session/recording) costs the thread that records.
//
//   g++ -std=c++23 -O2 -Isrc -pthread benchmarks/bench_recording.cpp
//       src/session/recording.cpp -o /tmp/bench_recording
//   /tmp/bench_recording DIR
//
// (benchmarks/recording.py builds and runs it.) Prints, for a recording in
// DIR (a real file, written event by event as the terminal does):
// - one turn as the agent layer records it: the line typed (an input
//   event), then the answer in the pieces a reader thread takes it in (the
//   echo, two lines of output, the prompt): microseconds per turn;
// - a MiB of output in the reader's 8 KiB chunks, for text of three kinds
//   (plain ASCII lines, coloured lines with escape sequences, UTF-8 text):
//   milliseconds per MiB and the file's growth per MiB of output.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "session/recording.hpp"

using Clock = std::chrono::steady_clock;

namespace {

std::shared_ptr<pellux::Recording> open_in(const std::string& dir, const char* name) {
    auto opened = pellux::Recording::open(dir + "/" + name, 1ull << 40, {24, 80, "bench", "xterm"});
    if (!opened) {
        std::perror("open");
        std::exit(1);
    }
    return *opened;
}

double turn_us(const std::string& dir) {
    auto recording = open_in(dir, "turns.cast");
    const std::string input = "print(sum(range(10)))\n";
    const std::vector<std::string> answer = {"print(sum(range(10)))\r\n", "45\r\n",
                                             "\x1b[1mdone\x1b[0m in 0.1 s\r\n", ">>> "};
    constexpr int kTurns = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < kTurns; ++i) {
        recording->input(input);
        for (const std::string& piece : answer) recording->output(piece);
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return us / kTurns;
}

std::string sample(const char* kind) {
    std::string line;
    if (std::string(kind) == "ascii") {
        line = "-rw-r--r-- 1 root root  4096 Dec  8 21:39 some_file_name_of_a_listing.txt\r\n";
    } else if (std::string(kind) == "colour") {
        line = "\x1b[0m\x1b[01;34mdirectory\x1b[0m  \x1b[01;32mscript.sh\x1b[0m  \x1b[31m\"quoted\"\\path\x1b[0m\r\n";
    } else {
        line = "Größe ändern — 日本語のテキスト, ελληνικά, emoji 😀 and tabs\there\r\n";
    }
    std::string text;
    while (text.size() < (1u << 20)) text += line;
    text.resize(1u << 20);  // a character cut at the end: the carry's case too
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    turn_us(dir);  // warm the file system and the allocator
    std::vector<double> turns;
    for (int i = 0; i < 5; ++i) turns.push_back(turn_us(dir));
    std::sort(turns.begin(), turns.end());
    std::printf("turn: %.2f us per recorded turn (median of 5 x 20000; 1 input + 4 output events)\n",
                turns[2]);
    for (const char* kind : {"ascii", "colour", "utf-8"}) {
        const std::string text = sample(kind);
        std::vector<double> ms;
        std::uint64_t grown = 0;
        for (int round = 0; round < 5; ++round) {
            auto recording = open_in(dir, "mib.cast");
            const std::uint64_t before = recording->size();
            const auto start = Clock::now();
            for (int rep = 0; rep < 8; ++rep) {
                for (std::size_t at = 0; at < text.size(); at += 8192) {
                    recording->output(std::string_view(text).substr(at, 8192));
                }
            }
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() / 8);
            grown = (recording->size() - before) / 8;
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-7s %.2f ms per MiB of output (%.0f MiB/s), file grows %.2f MiB per MiB\n", kind,
                    ms[2], 1000.0 / ms[2], static_cast<double>(grown) / (1u << 20));
    }
    return 0;
}
