// What the input probe (src/readiness/input_probe) costs.
//
//   g++ -std=c++23 -O2 -Isrc -Itests/cpp -pthread benchmarks/bench_input_probe.cpp
//       src/readiness/input_probe.cpp -o /tmp/bench_input_probe
//   /tmp/bench_input_probe --python "$(command -v python3)" [--seconds 10]
//
// (benchmarks/readiness_probe.py --probe-cost builds and runs it.)
//
// Prints, with python3 on a terminal this program opens:
// - the cost of one check on an idle REPL (Waiting) and on a program that
//   sleeps (Busy), and the allocations made by a run of steady checks;
// - the CPU used by a read loop's thread that checks the probe on the
//   schedule of input_probe.hpp (at once after output, then the first delay
//   doubling up to the longest) while python3 sleeps silently, as a share of
//   one core; the same with a fixed 1 ms period for comparison;
// - the same loop while a program prints a line every 10 ms;
// - how long after the REPL's answer the loop sees Waiting, per quick turn.

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "pty_program.hpp"
#include "readiness/input_probe.hpp"

using namespace pellux;
using namespace pellux::probe_support;

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

double thread_cpu_s() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double now_s() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Microseconds per check, median over batches; allocations of the last batch.
void cost_per_check(Program& p, const char* what, InputVerdict expected) {
    constexpr int kBatch = 500;
    std::vector<double> per_check;
    long allocations = 0;
    int unexpected = 0;
    auto idle = [&p] {
        p.drain();
        return true;
    };
    std::function<bool()> reader_idle = idle;  // built once, as the read loop does
    for (int batch = 0; batch < 10; ++batch) {
        long before = g_allocations.load();
        double start = now_s();
        for (int i = 0; i < kBatch; ++i) {
            if (p.probe->check(reader_idle).verdict != expected) ++unexpected;
        }
        per_check.push_back((now_s() - start) / kBatch * 1e6);
        allocations = g_allocations.load() - before;
    }
    std::printf("%-34s %7.1f us per check (median of 10 x %d)  allocations in %d steady checks: %ld%s\n", what,
                median(per_check), kBatch, kBatch, allocations,
                unexpected ? "  (some checks gave another verdict)" : "");
}

struct LoopFigures {
    long checks = 0;
    double probe_cpu_s = 0;  // inside check()
    double thread_cpu_s = 0;  // the whole loop thread: poll, drain, checks
    double wall_s = 0;
    long waiting = 0;
};

// A read loop's thread: poll the master with the probe's next delay as the
// timeout; output resets the schedule and is followed by a check at once.
LoopFigures run_loop(Program& p, double seconds, std::chrono::microseconds first, std::chrono::microseconds longest,
                     unsigned growth) {
    LoopFigures f;
    std::function<bool()> reader_idle = [&p] {
        p.drain();
        return true;
    };
    double cpu0 = thread_cpu_s();
    double start = now_s();
    auto delay = first;
    bool check_now = true;
    while (now_s() - start < seconds) {
        if (check_now) {
            double c0 = thread_cpu_s();
            InputVerdict v = p.probe->check(reader_idle).verdict;
            f.probe_cpu_s += thread_cpu_s() - c0;
            ++f.checks;
            if (v == InputVerdict::Waiting) ++f.waiting;
            if (v == InputVerdict::Exited) break;
        }
        pollfd master{p.master_fd(), POLLIN, 0};
        timespec timeout{0, static_cast<long>(delay.count()) * 1000};
        if (delay.count() >= 1000000) timeout = {delay.count() / 1000000, (delay.count() % 1000000) * 1000};
        int ready = ppoll(&master, 1, &timeout, nullptr);
        if (ready > 0) {
            p.drain();
            p.output.clear();
            delay = first;
        } else {
            delay = std::min(delay * growth, longest);
        }
        check_now = true;
    }
    f.wall_s = now_s() - start;
    f.thread_cpu_s = thread_cpu_s() - cpu0;
    return f;
}

void print_loop(const char* what, const LoopFigures& f) {
    std::printf("%-52s %6ld checks  probe %6.3f%%  loop thread %6.3f%% of one core\n", what, f.checks,
                100 * f.probe_cpu_s / f.wall_s, 100 * f.thread_cpu_s / f.wall_s);
}

// Per quick turn on the REPL: from the moment the answer's last byte arrived
// to the loop's Waiting verdict, under the schedule.
void turn_latency(Program& p, int turns) {
    std::function<bool()> reader_idle = [&p] {
        p.drain();
        return true;
    };
    std::vector<double> after_output, turn;
    for (int i = 0; i < turns; ++i) {
        p.output.clear();
        double sent = now_s();
        double last_output = sent;
        p.send(std::to_string(i) + " * 7\n");
        auto delay = kProbeFirstDelay;
        for (;;) {
            pollfd master{p.master_fd(), POLLIN, 0};
            timespec timeout{0, static_cast<long>(delay.count()) * 1000};
            if (delay.count() >= 1000000) timeout = {delay.count() / 1000000, (delay.count() % 1000000) * 1000};
            if (ppoll(&master, 1, &timeout, nullptr) > 0) {
                std::size_t before = p.output.size();
                p.drain();
                if (p.output.size() != before) last_output = now_s();
                delay = kProbeFirstDelay;
            } else {
                delay = std::min(delay * kProbeDelayGrowth, std::chrono::microseconds(kProbeLongestDelay));
            }
            std::size_t before = p.output.size();
            InputVerdict v = p.probe->check(reader_idle).verdict;
            if (p.output.size() != before) last_output = now_s();
            if (v == InputVerdict::Waiting) break;
        }
        double done = now_s();
        after_output.push_back((done - last_output) * 1e3);
        turn.push_back((done - sent) * 1e3);
    }
    std::printf("quick turns on the REPL (%d): Waiting seen %.2f ms (median) after the last output, "
                "turn median %.2f ms\n",
                turns, median(after_output), median(turn));
}

}  // namespace

int main(int argc, char** argv) {
    std::string python = "python3";
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--python") python = argv[i + 1];
        else if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
    }
    std::printf("schedule: check at once after output, then %ld us doubling (x%u) up to %ld ms while silent\n",
                static_cast<long>(kProbeFirstDelay.count()), kProbeDelayGrowth,
                static_cast<long>(kProbeLongestDelay.count()));
    try {
        {
            Program repl({python, "-q"}, {"PYTHON_BASIC_REPL=1"});
            if (!repl.await(InputVerdict::Waiting)) {
                std::printf("python3 never waited: %s\n", tail(repl.output).c_str());
                return 1;
            }
            cost_per_check(repl, "idle python3 REPL (Waiting):", InputVerdict::Waiting);
            turn_latency(repl, 30);
        }
        {
            Program sleeper({python, "-c", "import time; print('asleep', flush=True); time.sleep(100000)"}, {});
            sleeper.await_output("asleep");
            std::this_thread::sleep_for(milliseconds(100));
            cost_per_check(sleeper, "python3 in time.sleep (Busy):", InputVerdict::Busy);
            char what[96];
            std::snprintf(what, sizeof what, "python3 sleeping silently %.0f s, schedule:", seconds);
            print_loop(what, run_loop(sleeper, seconds, kProbeFirstDelay, kProbeLongestDelay, kProbeDelayGrowth));
            std::snprintf(what, sizeof what, "python3 sleeping silently %.0f s, fixed 1 ms:", std::min(seconds, 5.0));
            print_loop(what, run_loop(sleeper, std::min(seconds, 5.0), std::chrono::microseconds(1000),
                                      std::chrono::microseconds(1000), 1));
        }
        {
            Program chatty({python, "-u", "-c",
                            "import time\nfor i in range(100000):\n    print('line', i)\n    time.sleep(0.01)"},
                           {});
            chatty.await_output("line");
            char what[96];
            std::snprintf(what, sizeof what, "python3 printing a line per 10 ms, %.0f s, schedule:",
                          std::min(seconds, 5.0));
            print_loop(what, run_loop(chatty, std::min(seconds, 5.0), kProbeFirstDelay, kProbeLongestDelay,
                                      kProbeDelayGrowth));
        }
    } catch (const Skip& skip) {
        std::printf("skipped: %s\n", skip.why.c_str());
        return 1;
    }
    return 0;
}
