// Native tests of the agent layer's terminal (src/agent_binding), linked
// without Python: calls from several threads on one terminal (it has no
// owner thread), a read ended by the program's death seen from another
// thread, restart under a concurrent status poll, the spawn options, the
// exit status, and the cursor-key mode scan.
//
// tests/test_native_terminal_core.py builds this plain, under
// ThreadSanitizer and under AddressSanitizer; a sanitizer report fails the
// run even when every check passed.
//
// Usage: test_native_terminal. Prints "N passed, M failed"; exit 1 on failure.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "agent_binding/cursor_mode.hpp"
#include "agent_binding/native_terminal.hpp"

using namespace pellux;
using namespace pellux::agent;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, const std::string& detail = "") {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL: %s %s\n", what, detail.c_str());
    }
}

std::unique_ptr<NativeTerminal> start(std::vector<std::string> argv, SpawnOptions options = {},
                                      std::vector<std::string> markers = {}) {
    LaunchPlan plan{argv[0], argv, std::move(options), std::move(markers)};
    auto t = NativeTerminal::start(std::move(plan));
    if (!t) {
        std::printf("FAIL: start %s: %s\n", argv[0].c_str(), t.error().message.c_str());
        std::exit(1);
    }
    return std::move(*t);
}

ReadParams generous(std::uint64_t timeout_ms = 10000) {
    return ReadParams{timeout_ms, std::nullopt, std::nullopt, std::nullopt};
}

void calls_from_many_threads() {
    auto t = start({"cat"});
    std::atomic<bool> done{false};
    std::atomic<int> good{0};
    std::vector<std::thread> senders;
    for (int n = 0; n < 3; ++n) {
        senders.emplace_back([&, n] {
            for (int i = 0; i < 4; ++i) {
                std::string line = "line " + std::to_string(n) + "-" + std::to_string(i);
                auto r = t->send(line, generous());
                if (r && r->text == line + "\n" && r->end == ReadEnd::Quiet) ++good;
            }
        });
    }
    std::thread poller([&] {
        while (!done.load()) {
            (void)t->alive();
            (void)t->exit_status();
            (void)t->app_cursor();
            (void)t->pid();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& s : senders) s.join();
    check(good.load() == 12, "every send from every thread came back whole",
          std::to_string(good.load()));
    // Closed on one thread, destroyed on another, neither the creator.
    std::thread closer([&] { t->close(); });
    closer.join();
    done = true;
    poller.join();
    check(!t->alive(), "closed from another thread");
    auto after = t->read(generous(0));
    check(!after && after.error().message == "the terminal is closed", "a closed terminal says so");
    std::thread disposer([&] { t.reset(); });
    disposer.join();
}

void a_read_ended_by_the_programs_death() {
    auto t = start({"sleep", "60"});
    pid_t pid = t->pid();
    std::thread killer([pid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::kill(pid, SIGKILL);
    });
    auto r = t->read(generous());
    killer.join();
    check(r && r->end == ReadEnd::Exited, "the read ends when the program dies");
    for (int i = 0; i < 1000 && t->alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto status = t->exit_status();
    check(status && !status->code && status->signal == SIGKILL, "the signal that ended it");
}

void restart_under_a_status_poll() {
    auto t = start({"sh", "-c", "exit 7"});
    auto r = t->read(generous());
    check(r && r->end == ReadEnd::Exited, "exit 7 ends the output");
    for (int i = 0; i < 1000 && t->alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto status = t->exit_status();
    check(status && status->code == 7 && !status->signal, "exit code 7");
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done.load()) {
            (void)t->alive();
            (void)t->exit_status();
        }
    });
    for (int i = 0; i < 3; ++i) {
        pid_t old = t->pid();
        auto reset = t->reset();
        check(reset.has_value() && t->pid() != old, "restart starts a new program");
        auto again = t->read(generous());
        check(again && again->end == ReadEnd::Exited, "the new program runs and ends");
    }
    done = true;
    poller.join();
}

void spawn_options_and_resize() {
    SpawnOptions options;
    options.env = std::vector<std::string>{"PATH=/usr/bin:/bin", "FOO=a b 'c'"};
    options.cwd = "/";
    options.rows = 33;
    options.cols = 101;
    auto t = start({"sh", "-c", "stty size; pwd; echo \"$FOO\"; read x; stty size"}, options);
    auto r = t->read(generous());
    check(r && r->text == "33 101\n/\na b 'c'\n", "environment, directory and size", r ? r->text : "");
    check(t->resize(40, 120).has_value(), "resize");
    check(t->write("go\n", 5000).has_value(), "raw write");
    auto after = t->read(generous());
    check(after && after->text == "40 120\n", "the new size", after ? after->text : "");

    LaunchPlan bad{"sh", {"sh"}, SpawnOptions{}, {}};
    bad.options.cwd = "/no/such/dir";
    auto failed = NativeTerminal::start(std::move(bad));
    check(!failed && failed.error().step == SpawnFailure::Step::Cwd && failed.error().err == ENOENT &&
              failed.error().message ==
                  "Failed to change directory to '/no/such/dir': ENOENT: No such file or directory",
          "a directory that cannot be entered", failed ? "" : failed.error().message);
    LaunchPlan missing{"no-such-program-x", {"no-such-program-x"}, SpawnOptions{}, {}};
    auto absent = NativeTerminal::start(std::move(missing));
    check(!absent && absent.error().step == SpawnFailure::Step::Exec && absent.error().err == ENOENT,
          "a program that does not exist");
}

void terminal_modes() {
    TerminalModes mode;
    mode.feed("\x1b[?1049h");
    check(!mode.app_cursor() && mode.alt_screen(), "the alternate screen alone");
    mode.feed("\x1b[?1;1049h");
    check(mode.app_cursor() && mode.alt_screen(), "DECSET 1 inside a list");
    mode.feed("\x1b[?1");
    mode.feed("l");
    check(!mode.app_cursor() && mode.alt_screen(), "DECRST 1 split between chunks");
    mode.feed("\x1b");
    mode.feed("[");
    mode.feed("?");
    mode.feed("1h");
    check(mode.app_cursor(), "split at every byte");
    mode.feed("\x1b[?100000000000001l");
    check(mode.app_cursor(), "an overlong number is not 1");
    mode.feed("\x1b[?12l\x1b[1l");
    check(mode.app_cursor(), "mode 12 and a public mode 1 are others");
    mode.feed("\x1b\x1b[?1l");
    check(!mode.app_cursor(), "an escape restarts a sequence");
    mode.feed("\x1b[?1049l");
    check(!mode.alt_screen(), "leaving the alternate screen");
    for (const char* enter : {"\x1b[?47h", "\x1b[?1047h", "\x1b[?25;1049h"}) {
        TerminalModes m;
        m.feed(enter);
        check(m.alt_screen() && !m.app_cursor() && !m.bracketed_paste(), "each alternate screen mode",
              enter);
    }
    mode.feed("\x1b[?2004h");
    check(mode.bracketed_paste() && !mode.alt_screen(), "bracketed paste on");
    mode.feed("\x1b[?2004;1049");
    mode.feed("\x1b[?1049h");
    check(mode.bracketed_paste() && mode.alt_screen(), "a sequence cut short changes nothing");
    mode.feed("\x1b[?2004l");
    check(!mode.bracketed_paste() && mode.alt_screen(), "bracketed paste off, the screen kept");
    mode.feed("\x1b[?1;2004h");
    mode.feed("\x1b");
    mode.feed("c");
    check(!mode.app_cursor() && !mode.alt_screen() && !mode.bracketed_paste(),
          "a full reset (ESC c) resets every mode");
}

// A read ended from another thread: cancel, interrupt and close, each while
// the read waits on a silent program, each at once and with its reason.
void reads_ended_from_another_thread() {
    for (ReadRule rule : {ReadRule::Markers, ReadRule::Quiet, ReadRule::Auto}) {
        auto t = start({"sleep", "600"});
        ReadParams params = generous(600000);
        params.rule = rule;
        std::atomic<bool> reading{false};
        std::thread canceller([&] {
            while (!reading.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            t->cancel();
        });
        reading = true;
        auto started = std::chrono::steady_clock::now();
        auto r = t->read(params);
        canceller.join();
        auto took = std::chrono::steady_clock::now() - started;
        check(r && r->end == ReadEnd::Interrupted, "cancel ends the read as interrupted");
        check(took < std::chrono::seconds(10), "cancel ends it at once");
        // A cancel with no read running leaves the next read alone.
        t->cancel();
        auto next = t->read(generous(100));
        check(next && next->end == ReadEnd::Timeout, "a cancel is not kept for the next read");
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            t->close();
        });
        auto closed = t->read(params);
        closer.join();
        check(closed && closed->end == ReadEnd::Closed, "close ends the read as closed");
        check(!t->alive(), "and the program");
    }
    auto t = start({"cat"});
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        (void)t->interrupt();
    });
    auto r = t->read(generous(600000));
    interrupter.join();
    check(r && r->end == ReadEnd::Interrupted, "an interrupt ends the read first");
    for (int i = 0; i < 1000 && t->alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto status = t->exit_status();
    check(status && status->signal == SIGINT, "then Ctrl-C reaches the program");
}

}  // namespace

int main() {
    calls_from_many_threads();
    a_read_ended_by_the_programs_death();
    restart_under_a_status_poll();
    spawn_options_and_resize();
    terminal_modes();
    reads_ended_from_another_thread();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
