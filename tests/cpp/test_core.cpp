// Native tests of the threaded core, linked without Python: the output
// channel between a reader thread and its owner, the reader thread itself on
// a pipe, and real terminal sessions closed while their reader is busy.
//
// tests/test_native_core.py builds this plain and under ThreadSanitizer and
// AddressSanitizer; the sanitizers turn a race, a use after free or a leak in
// any of these paths into a failing run. Timing is only ever bounded
// generously: each bound is far above the expected time and far below what
// the fault it guards against would take.
//
// Usage: test_core. Prints "N passed, M failed"; exit status 1 on failure.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "readiness/readiness.hpp"
#include "sanitize/sanitize.hpp"
#include "session/output_channel.hpp"
#include "session/reader_thread.hpp"
#include "session/recording.hpp"
#include "session/session.hpp"

using namespace std::chrono_literals;
using pellux::RecvStatus;
using Clock = std::chrono::steady_clock;

namespace {

int g_passed = 0;
int g_failed = 0;

// Only the main thread checks; helper threads hand their findings back.
#define CHECK(cond)                                                     \
    do {                                                                \
        if (cond) {                                                     \
            ++g_passed;                                                 \
        } else {                                                        \
            ++g_failed;                                                 \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::fflush(stdout);                                        \
        }                                                               \
    } while (0)

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls `done` until it holds or `limit` passes; true when it held.
template <class F>
bool eventually(F done, Clock::duration limit = 20s) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::size_t count_entries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        ::closedir(d);
    }
    return n;
}
std::size_t open_fds() { return count_entries("/proc/self/fd"); }
std::size_t threads() { return count_entries("/proc/self/task"); }

// A scratch directory for fixture scripts, removed at exit.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/pellux-core-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        path_ = tmpl;
    }
    ~ScratchDir() {
        for (const auto& f : files_) ::unlink(f.c_str());
        ::rmdir(path_.c_str());
    }

    // Writes an executable /bin/sh script and returns its path: a session's
    // command is the program alone, so every fixture is a script.
    std::string script(const std::string& name, const std::string& body) {
        std::string file = path_ + "/" + name;
        std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
        ::chmod(file.c_str(), 0755);
        files_.push_back(file);
        return file;
    }

    // A path in the directory for a file the test makes (removed with it).
    std::string file(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

std::vector<std::string> file_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string pattern(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

bool is_digit_cycle(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != static_cast<char>('0' + i % 10)) return false;
    }
    return true;
}

// Receives until the channel reports disconnection (or `limit` passes).
std::string drain(pellux::Receiver& rx, Clock::duration limit = 30s) {
    std::string all;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        std::string piece;
        RecvStatus st = rx.receive(piece, 1 << 20, 50ms);
        if (st == RecvStatus::Disconnected) break;
        all += piece;
    }
    return all;
}

// --- Output channel ----------------------------------------------------------

void test_partial_receive_leaves_rest_at_head() {
    auto [tx, rx] = pellux::make_output_channel(1 << 20);
    const std::string full(pellux::kChunkBytes, 'a');  // fills a chunk: the next send starts another
    CHECK(tx.send(full));
    CHECK(tx.send("gh"));
    std::string out;
    CHECK(rx.try_receive(out, 2) == RecvStatus::Received);
    CHECK(out == "aa");
    // The next receive continues the same chunk, and only that chunk.
    CHECK(rx.receive(out, 1 << 20, 0ms) == RecvStatus::Received);
    CHECK(out == full);
    out.clear();
    CHECK(rx.try_receive(out, 0) == RecvStatus::Empty);  // no room takes nothing
    CHECK(rx.try_receive(out, 1) == RecvStatus::Received);
    CHECK(out == "g");
    CHECK(rx.try_receive(out, 100) == RecvStatus::Received);
    CHECK(out == "gh");
    CHECK(rx.try_receive(out, 100) == RecvStatus::Empty);
    CHECK(rx.receive(out, 100, 20ms) == RecvStatus::Empty);
    CHECK(out == "gh");
}

// Small sends are packed into the chunk at the tail: one byte per send costs
// what its bytes cost, and the queue's count is what it really holds.
void test_small_sends_are_packed_and_counted_as_held() {
    auto [tx, rx] = pellux::make_output_channel(1u << 30);
    auto state = tx.shared_state();
    constexpr std::size_t kBytes = 1u << 20;
    for (std::size_t i = 0; i < kBytes; ++i) tx.send(std::string_view("0123456789" + i % 10, 1));
    std::size_t held = 0, chunks = 0, counted = 0;
    {
        std::lock_guard lock(state->mutex);
        for (const auto& c : state->chunks) held += c.capacity() + pellux::kChunkOverhead;
        chunks = state->chunks.size();
        counted = state->queued_bytes;
    }
    CHECK(counted == held);
    CHECK(chunks == kBytes / pellux::kChunkBytes);
    CHECK(counted < kBytes + kBytes / 10);
    std::string got;
    while (rx.try_receive(got, 1 << 20) == RecvStatus::Received) {
    }
    CHECK(got.size() == kBytes);
    CHECK(is_digit_cycle(got));
    std::lock_guard lock(state->mutex);
    CHECK(state->queued_bytes == 0);
}

// A read that fails after taking bytes gives them back: they come first, in
// order, before the rest of a chunk it took only in part and everything
// after it, and the queue's count comes back with them.
void test_put_back_restores_the_head() {
    auto [tx, rx] = pellux::make_output_channel(1 << 20);
    const std::string stream = pattern(3 * pellux::kChunkBytes + 100, 3);
    CHECK(tx.send(std::string_view(stream).substr(0, pellux::kChunkBytes)));
    CHECK(tx.send(std::string_view(stream).substr(pellux::kChunkBytes)));
    std::string taken;
    CHECK(rx.try_receive(taken, 100) == RecvStatus::Received);  // part of the first chunk
    CHECK(rx.try_receive(taken, 1 << 20) == RecvStatus::Received);
    CHECK(rx.try_receive(taken, 500) == RecvStatus::Received);  // part of the second
    CHECK(taken == stream.substr(0, pellux::kChunkBytes + 500));
    rx.put_back(std::move(taken));
    // A failed read again, this time of part of what was given back.
    std::string again;
    CHECK(rx.try_receive(again, 10) == RecvStatus::Received);
    rx.put_back(std::move(again));
    std::string got;
    while (rx.try_receive(got, 777) == RecvStatus::Received) {
    }
    CHECK(got == stream);
    auto state = tx.shared_state();
    std::lock_guard lock(state->mutex);
    CHECK(state->queued_bytes == 0);
}

void test_disconnection_only_after_drain() {
    auto channel = pellux::make_output_channel(1 << 20);
    pellux::Receiver rx = std::move(channel.second);
    const std::string first(pellux::kChunkBytes, '1');
    {
        pellux::Sender tx = std::move(channel.first);
        tx.send(first);
        tx.send("two");
        tx.send("three");  // packed behind "two"
    }
    std::string out;
    CHECK(rx.try_receive(out, 2) == RecvStatus::Received);
    CHECK(rx.receive(out, 1 << 20, 1s) == RecvStatus::Received);
    CHECK(out == first);
    CHECK(rx.try_receive(out, 1) == RecvStatus::Received);
    CHECK(rx.receive(out, 100, 1s) == RecvStatus::Received);
    CHECK(out == first + "twothree");
    CHECK(rx.try_receive(out, 100) == RecvStatus::Disconnected);
    // A disconnected channel answers at once, not at the end of the wait.
    auto start = Clock::now();
    CHECK(rx.receive(out, 100, 60s) == RecvStatus::Disconnected);
    CHECK(seconds_since(start) < 20);
}

void test_send_fails_once_receiver_gone() {
    auto channel = pellux::make_output_channel(16);
    pellux::Sender tx = std::move(channel.first);
    { pellux::Receiver rx = std::move(channel.second); }
    CHECK(!tx.send("lost"));
    CHECK(!tx.wait_for_room());
}

// A receiver waiting with a long timeout is woken by the sender's end.
void test_waiting_receiver_woken_by_disconnection() {
    auto channel = pellux::make_output_channel(1 << 20);
    pellux::Receiver rx = std::move(channel.second);
    std::thread sender([tx = std::move(channel.first)]() mutable {
        std::this_thread::sleep_for(50ms);
        tx.send("last");
        pellux::Sender gone = std::move(tx);
    });
    std::string out;
    auto start = Clock::now();
    RecvStatus first = rx.receive(out, 100, 60s);
    RecvStatus second = rx.receive(out, 100, 60s);
    sender.join();
    CHECK(first == RecvStatus::Received);
    CHECK(second == RecvStatus::Disconnected);
    CHECK(out == "last");
    CHECK(seconds_since(start) < 20);
}

// A sender thread feeds a random stream in random chunk sizes, honouring
// backpressure as the reader thread does, while the owner takes it back in
// random portions with both kinds of receive. Every byte must come back once,
// in order, and the queue must never hold much more than its capacity.
void test_concurrent_stream_order_and_bound() {
    constexpr std::size_t kCapacity = 16384;
    const std::string stream = pattern(4u << 20, 7);
    auto channel = pellux::make_output_channel(kCapacity);
    auto state = channel.first.shared_state();
    std::optional<pellux::Receiver> rx(std::move(channel.second));
    std::thread sender([&stream, tx = std::move(channel.first)]() mutable {
        std::mt19937 rng(11);
        std::size_t pos = 0;
        while (pos < stream.size() && tx.wait_for_room()) {
            std::size_t n = std::min<std::size_t>(1 + rng() % pellux::kReadChunkBytes,
                                                  stream.size() - pos);
            if (!tx.send(stream.substr(pos, n))) break;
            pos += n;
        }
    });
    std::mt19937 rng(13);
    std::string got;
    std::size_t peak = 0;
    const auto end = Clock::now() + 120s;
    while (Clock::now() < end) {
        std::size_t room = 1 + rng() % 10000;
        RecvStatus st = (rng() % 2 == 0) ? rx->try_receive(got, room)
                                         : rx->receive(got, room, 5ms);
        {
            std::lock_guard lock(state->mutex);
            peak = std::max(peak, state->queued_bytes);
        }
        if (st == RecvStatus::Disconnected) break;
    }
    rx.reset();  // releases a sender stuck at capacity, so a fault fails instead of hanging
    sender.join();
    CHECK(got.size() == stream.size());
    CHECK(got == stream);
    // Room is checked before each send, so one chunk at most overshoots.
    CHECK(peak < kCapacity + pellux::kReadChunkBytes + pellux::kChunkOverhead);
}

// At capacity the sender waits; a receive that makes room lets it go on, and
// nothing is lost or reordered across the pauses.
void test_backpressure_pauses_and_resumes_sender() {
    constexpr std::size_t kChunk = pellux::kChunkBytes;  // one chunk each
    constexpr int kChunks = 50;
    auto channel = pellux::make_output_channel(2 * (kChunk + pellux::kChunkOverhead) + 1);
    std::optional<pellux::Receiver> rx(std::move(channel.second));
    std::atomic<int> sent{0};
    std::thread sender([&sent, tx = std::move(channel.first)]() mutable {
        for (int i = 0; i < kChunks; ++i) {
            if (!tx.wait_for_room()) return;
            tx.send(std::string(kChunk, static_cast<char>('A' + i % 26)));
            sent.fetch_add(1);
        }
    });
    // Three chunks pass the capacity of two and a byte: the fourth send waits.
    CHECK(eventually([&] { return sent.load() == 3; }));
    std::this_thread::sleep_for(100ms);
    CHECK(sent.load() == 3);
    std::string got;
    CHECK(rx->try_receive(got, kChunk) == RecvStatus::Received);
    CHECK(eventually([&] { return sent.load() == 4; }));
    got += drain(*rx);
    rx.reset();  // releases a sender that was never woken
    sender.join();
    std::string want;
    for (int i = 0; i < kChunks; ++i) want += std::string(kChunk, static_cast<char>('A' + i % 26));
    CHECK(got == want);
}

// A sender paused at capacity must not outlive a receiver that goes away.
void test_paused_sender_released_when_receiver_dropped() {
    auto channel = pellux::make_output_channel(100);
    std::optional<pellux::Receiver> rx(std::move(channel.second));
    std::atomic<bool> paused{false};
    std::atomic<int> result{-1};
    std::thread sender([&, tx = std::move(channel.first)]() mutable {
        tx.send(std::string(200, 'x'));
        paused = true;
        result = tx.wait_for_room() ? 1 : 0;
    });
    CHECK(eventually([&] { return paused.load(); }));
    rx.reset();
    CHECK(eventually([&] { return result.load() != -1; }));
    sender.join();
    CHECK(result.load() == 0);
}

// --- Reader thread on a pipe ---------------------------------------------------

struct Pipe {
    pellux::UniqueFd read_end, write_end;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
};

bool thread_named_reader_exists() {
    bool found = false;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name == pellux::kReaderThreadName) found = true;
        }
        ::closedir(d);
    }
    return found;
}

// Everything the source held when it ended reaches the receiver whole, even
// through a channel far smaller than the output.
void test_reader_moves_everything_then_disconnects() {
    Pipe pipe;
    auto [tx, rx] = pellux::make_output_channel(1024);
    pellux::ReaderThread reader = pellux::spawn_reader_thread(std::move(tx), std::move(pipe.read_end));
    CHECK(eventually([] { return thread_named_reader_exists(); }));
    const std::string data = pattern(1 << 20, 21);
    std::thread writer([&] {
        std::size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::write(pipe.write_end.get(), data.data() + off, data.size() - off);
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
        pipe.write_end.reset();
    });
    std::string got = drain(rx, 120s);
    writer.join();
    reader.finish(pellux::kReaderGrace);
    CHECK(got == data);
}

// Closing keeps the bound: a reader paused on a full channel cannot end by
// itself, so finish stops it at once instead of waiting out the grace or
// letting it read past the capacity; what it queued stays receivable.
void test_finish_stops_a_paused_reader_within_the_bound() {
    Pipe pipe;
    const std::string data = pattern(60000, 5);  // fits the pipe: no writer thread needed
    CHECK(::write(pipe.write_end.get(), data.data(), data.size()) == static_cast<ssize_t>(data.size()));
    constexpr std::size_t kCapacity = 2 * (pellux::kChunkBytes + pellux::kChunkOverhead);
    auto [tx, rx] = pellux::make_output_channel(kCapacity);
    auto state = tx.shared_state();
    pellux::ReaderThread reader = pellux::spawn_reader_thread(std::move(tx), std::move(pipe.read_end));
    CHECK(eventually([&] {
        std::lock_guard lock(state->mutex);
        return state->sender_paused;
    }));
    auto start = Clock::now();
    reader.finish(60s);
    CHECK(seconds_since(start) < 20);
    std::size_t held = 0;
    {
        std::lock_guard lock(state->mutex);
        held = state->queued_bytes;
    }
    CHECK(held <= kCapacity);
    std::string got;
    while (rx.try_receive(got, 1 << 20) == RecvStatus::Received) {
    }
    CHECK(!got.empty() && got.size() < data.size());
    CHECK(data.starts_with(got));
    CHECK(rx.try_receive(got, 1) == RecvStatus::Disconnected);
}

// A source that stays open and silent (a background process holding the
// terminal) must not hold finish past its grace; what was read stays
// receivable.
void test_finish_stops_a_reader_on_a_silent_source() {
    Pipe pipe;
    auto [tx, rx] = pellux::make_output_channel(1 << 20);
    pellux::ReaderThread reader = pellux::spawn_reader_thread(std::move(tx), std::move(pipe.read_end));
    CHECK(::write(pipe.write_end.get(), "before", 6) == 6);
    std::string got;
    CHECK(rx.receive(got, 100, 20s) == RecvStatus::Received);
    CHECK(::write(pipe.write_end.get(), "queued", 6) == 6);
    CHECK(eventually([&] { return rx.receive(got, 100, 10ms) == RecvStatus::Received; }));
    auto start = Clock::now();
    reader.finish(100ms);
    CHECK(seconds_since(start) < 20);
    CHECK(rx.try_receive(got, 100) == RecvStatus::Disconnected);
    CHECK(got == "beforequeued");
    CHECK(!thread_named_reader_exists());
}

// --- Input ---------------------------------------------------------------------

// A writer whose descriptor never has room (a pipe nobody reads, full): a
// bounded write and Ctrl-C for a program reading raw bytes (no terminal
// settings here, so no signal path) both give up with a clear error.
void test_writes_give_up_on_input_nobody_reads() {
    Pipe pipe;
    ::fcntl(pipe.write_end.get(), F_SETFL, O_NONBLOCK);
    const std::string fill(65536, 'f');
    while (::write(pipe.write_end.get(), fill.data(), fill.size()) > 0) {
    }
    pellux::BufferedWriter writer(std::move(pipe.write_end));
    const std::string timed_out = "timed out: the program does not read its input";

    auto start = Clock::now();
    auto big = writer.write(std::string(20000, 'w'), nullptr, Clock::now() + 200ms);
    CHECK(!big && big.error() == timed_out);
    CHECK(seconds_since(start) >= 0.15 && seconds_since(start) < 20);

    start = Clock::now();
    auto small = writer.write("line\n", nullptr, Clock::now() + 200ms);
    CHECK(small.has_value());  // buffered: only the flush meets the full pipe
    auto flushed = writer.flush(nullptr, Clock::now() + 200ms);
    CHECK(!flushed && flushed.error() == timed_out);

    start = Clock::now();
    auto interrupted = writer.interrupt(nullptr);
    double took = seconds_since(start);
    CHECK(!interrupted && interrupted.error() == timed_out);
    CHECK(took >= 0.9 && took < 20);
}

// --- Real sessions -----------------------------------------------------------

constexpr std::size_t kHistory = pellux::kMaxHistoryBytes;

std::unique_ptr<pellux::Session> spawn(const std::string& program) {
    auto s = pellux::spawn_session(program, false, kHistory);
    if (!s) {
        std::printf("spawn %s failed: %s\n", program.c_str(), s.error().message.c_str());
        std::exit(2);
    }
    return std::move(*s);
}

// True when `text` is `unit` repeated, starting `offset` bytes into the
// first copy and possibly cut short in the last.
bool is_repetition(std::string_view text, std::string_view unit, std::size_t offset = 0) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != unit[(offset + i) % unit.size()]) return false;
    }
    return true;
}

// The same for a piece taken from the middle of the stream.
bool is_window_of_repetition(std::string_view text, std::string_view unit) {
    for (std::size_t offset = 0; offset < unit.size(); ++offset) {
        if (is_repetition(text, unit, offset)) return true;
    }
    return false;
}

// The owner reads a flooding child in every way it can, then closes it while
// the reader thread is still pushing. The pieces joined up must be the
// child's stream, unbroken, and the history its most recent part. Pieces are
// compared as clean text, the form read_available returns: for this stream
// cleaning only removes the terminal's CR before each LF.
void test_flood_read_then_close(ScratchDir& dir) {
    const std::string unit = "pellux flood 0123456789\n";
    auto s = spawn(dir.script("flood", "exec yes 'pellux flood 0123456789'"));
    std::string all;
    for (int round = 0; round < 5; ++round) {
        all += pellux::sanitize_for_agent(pellux::read_until_quiet_inner(*s, 300, 1000, 100000));
        all += pellux::sanitize_for_agent(pellux::read_until_ready_inner(*s, 100, 5000, 10));
        auto avail = pellux::read_available(*s, 777);
        CHECK(avail.has_value());
        if (avail) all += *avail;
    }
    CHECK(!all.empty());
    auto start = Clock::now();
    pellux::close_inner(*s);
    CHECK(seconds_since(start) < 20);
    auto alive = pellux::is_alive(*s);
    CHECK(alive && !*alive);
    // What was queued before the close is still there, then the end.
    all += pellux::sanitize_for_agent(pellux::read_until_quiet_inner(*s, 20000, 500, 64u << 20));
    std::string rest;
    CHECK(s->rx.unguarded().try_receive(rest, 1) == RecvStatus::Disconnected);
    CHECK(is_repetition(all, unit));
    auto history = pellux::get_history(*s);
    CHECK(history && !history->empty() && all.ends_with(*history));
}

// Nobody reads: the reader fills the channel and pauses; close must still
// return, and the output must stay readable afterwards.
void test_close_unread_flood(ScratchDir& dir) {
    const std::string unit = "unread\r\n";
    auto s = spawn(dir.script("unread", "exec yes unread"));
    std::this_thread::sleep_for(1s);
    auto start = Clock::now();
    pellux::close_inner(*s);
    CHECK(seconds_since(start) < 30);
    std::string all = pellux::read_until_quiet_inner(*s, 30000, 1000, 128u << 20);
    CHECK(!all.empty());
    // The bound holds through the close: at most the capacity and one
    // chunk of overshoot.
    CHECK(all.size() <= pellux::kChannelCapacity + pellux::kChunkBytes);
    CHECK(is_repetition(all, unit));
}

// A child that leaves a process holding the terminal, with the child still
// running (`stay`) or already gone: close returns in bounded time instead of
// waiting for the holder, and the channel ends.
void test_close_with_terminal_holder(ScratchDir& dir, bool stay) {
    // The holder ignores the hangup the terminal's end sends; close signals
    // only the child itself.
    std::string body = "(trap '' HUP; exec sleep 120) &\necho \"holder $!\"\n";
    if (stay) body += "exec sleep 120\n";
    auto s = spawn(dir.script(stay ? "holder_stay" : "holder_gone", body));
    std::string out;
    pid_t holder = -1;
    const auto end = Clock::now() + 20s;
    while (holder < 0 && Clock::now() < end) {
        out += pellux::read_until_quiet_inner(*s, 200, 50, 4096);
        auto at = out.find("holder ");
        if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
            holder = static_cast<pid_t>(std::atoi(out.c_str() + at + 7));
        }
    }
    CHECK(holder > 0);
    if (holder <= 0) return;
    if (!stay) {
        CHECK(eventually([&] {
            auto alive = pellux::is_alive(*s);
            return alive && !*alive;
        }));
    }
    CHECK(::kill(holder, 0) == 0);  // the terminal really is still held
    auto start = Clock::now();
    pellux::close_inner(*s);
    double took = seconds_since(start);
    CHECK(took < 30);  // the holder would keep a plain join waiting 120 s
    CHECK(::kill(holder, 0) == 0);
    std::string rest;
    CHECK(s->rx.unguarded().receive(rest, 1 << 20, 5s) == RecvStatus::Disconnected);
    ::kill(holder, SIGKILL);
}

// Many sessions started and closed in turn, in each state a child can be
// in, must leave no descriptor, thread or zombie behind.
void test_spawn_close_cycles(ScratchDir& dir) {
    const std::string quick = dir.script("quick", "echo bye");
    const std::string flood = dir.script("cycle_flood", "exec yes cycle");
    const std::size_t fds_before = open_fds();
    const std::size_t threads_before = threads();
    std::vector<pid_t> children;
    for (int i = 0; i < 24; ++i) {
        const std::string& program = i % 3 == 0 ? quick : i % 3 == 1 ? flood : std::string("/bin/sh");
        auto s = spawn(program);
        children.push_back(s->process.child_pid());
        if (i % 2 == 0) (void)pellux::read_until_quiet_inner(*s, 200, 50, 65536);
        if (i % 4 == 1) {
            s.reset();  // disposal closes by itself
        } else {
            pellux::close_inner(*s);
        }
    }
    // Reset replaces the record under a flooding child, over and over. Reset
    // itself takes the fresh child's first output, which may end anywhere in
    // a line, so what follows is checked as a piece of the stream.
    std::unique_ptr<pellux::Session> slot = spawn(flood);
    for (int i = 0; i < 4; ++i) {
        children.push_back(slot->process.child_pid());
        CHECK(pellux::reset(slot).has_value());
        std::string text = pellux::sanitize_for_agent(pellux::read_until_ready_inner(*slot, 20000, 1000, 0));
        CHECK(!text.empty() && is_window_of_repetition(text, "cycle\n"));
    }
    children.push_back(slot->process.child_pid());
    slot.reset();
    CHECK(open_fds() == fds_before);
    CHECK(eventually([&] { return threads() == threads_before; }));
    int zombies = 0;
    for (pid_t pid : children) {
        if (::waitpid(pid, nullptr, WNOHANG) != -1 || errno != ECHILD) ++zombies;
    }
    CHECK(zombies == 0);
}

// A long stream read back in small capped reads: each read leaves the rest
// of a chunk queued, and the pieces must join up to exactly what the child
// wrote (with the terminal's CR before each LF).
void test_capped_reads_lose_nothing(ScratchDir& dir) {
    constexpr int kLines = 30000;
    std::string want;
    for (int i = 1; i <= kLines; ++i) want += std::to_string(i) + "\r\n";
    auto s = spawn(dir.script("count", "exec seq 1 " + std::to_string(kLines)));
    std::string got;
    const auto end = Clock::now() + 60s;
    while (got.size() < want.size() && Clock::now() < end) {
        got += pellux::read_until_quiet_inner(*s, 5000, 2000, 777);
    }
    pellux::close_inner(*s);
    CHECK(got.size() == want.size());
    CHECK(got == want);
}

// A program that reads nothing, its terminal's input completely full: Ctrl-C
// must still reach it at once, as at a terminal, instead of queueing behind
// the input (or waiting for room that never comes).
void test_ctrl_c_reaches_a_program_behind_full_input(ScratchDir& dir) {
    auto s = spawn(dir.script("deaf", "exec sleep 1000"));
    // The descriptor is non-blocking: fill the terminal until it refuses.
    const std::string lines(4096, 'i');
    std::size_t typed = 0;
    const auto end = Clock::now() + 20s;
    while (Clock::now() < end) {
        ssize_t n = ::write(s->process.master(), lines.data(), lines.size());
        if (n < 0) break;
        typed += static_cast<std::size_t>(n);
    }
    CHECK(errno == EAGAIN);
    CHECK(typed > 4096);
    auto start = Clock::now();
    auto sent = pellux::send_ctrl_c(*s);
    CHECK(sent.has_value());
    CHECK(seconds_since(start) < 5);
    CHECK(eventually([&] {
        auto alive = pellux::is_alive(*s);
        return alive && !*alive;
    }));
    pellux::close_inner(*s);
}

// The marker read under a live reader: output, then a prompt, then silence.
void test_marker_read(ScratchDir& dir) {
    auto s = spawn(dir.script("prompt",
                              "i=0\n"
                              "while [ $i -lt 2000 ]; do echo line; i=$((i+1)); done\n"
                              "printf 'READY> '\n"
                              "exec sleep 120"));
    CHECK(pellux::set_ready_markers(*s, {"READY> "}).has_value());
    std::string got = pellux::read_until_ready_inner(*s, 60000, 1u << 20, 50);
    pellux::close_inner(*s);
    CHECK(got.ends_with("READY> "));
    std::size_t lines = 0;
    for (std::size_t at = got.find("line\r\n"); at != std::string::npos;
         at = got.find("line\r\n", at + 1)) {
        ++lines;
    }
    CHECK(lines == 2000);
}

}  // namespace

// The reader thread records output while the caller's thread records input:
// every event is a whole line, in time order, and a character split between
// two outputs is written once, whole.
void test_recording_events_from_two_threads(ScratchDir& dir) {
    const std::string path = dir.file("threads.cast");
    auto opened = pellux::Recording::open(path, 1ull << 30, {24, 80, "t", "xterm"});
    CHECK(opened.has_value());
    if (!opened) return;
    auto recording = *opened;
    constexpr int kEvents = 5000;
    std::thread reader([&] {
        for (int i = 0; i < kEvents; ++i) {
            recording->output("\xc3");  // the first half of an e with an acute accent
            recording->output("\xa9");
        }
    });
    for (int i = 0; i < kEvents; ++i) recording->input("x\n");
    reader.join();
    recording->resize(30, 100);
    recording->finish();
    recording->output("after the end");
    const auto lines = file_lines(path);
    CHECK(lines.size() == 1 + 2 * kEvents + 2);
    CHECK(lines.front().starts_with("{\"version\": 2, \"width\": 80, \"height\": 24"));
    int outputs = 0, inputs = 0;
    double last = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        CHECK(line.starts_with("[") && line.ends_with("\"]"));
        const double at = std::strtod(line.c_str() + 1, nullptr);
        CHECK(at >= last);
        last = at;
        if (line.ends_with(", \"o\", \"\xc3\xa9\"]")) ++outputs;
        if (line.ends_with(", \"i\", \"x\\n\"]")) ++inputs;
    }
    CHECK(outputs == kEvents && inputs == kEvents);
    CHECK(lines[lines.size() - 2].ends_with(", \"r\", \"100x30\"]"));
    CHECK(lines.back().ends_with(", \"m\", \"end\"]"));
    struct stat st{};
    CHECK(::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == recording->size());
}

// The cap: the file ends with the marker that says why, never past the cap,
// and nothing is written after it.
void test_recording_stops_at_its_cap(ScratchDir& dir) {
    const std::string path = dir.file("capped.cast");
    constexpr std::uint64_t kCap = 2000;
    CHECK(pellux::Recording::open(path, 100, {}).error() == EINVAL);  // no room for the header
    auto recording = *pellux::Recording::open(path, kCap, {24, 80, "", ""});
    const std::string line(100, 'a');
    for (int i = 0; i < 100; ++i) recording->output(line);
    CHECK(recording->stopped());
    const std::uint64_t size = recording->size();
    CHECK(size <= kCap && size > kCap - 200);  // filled close to the cap, in pieces
    recording->input("more");
    CHECK(recording->size() == size);
    const auto lines = file_lines(path);
    CHECK(lines.back().ends_with(", \"m\", \"recording stopped: size cap of 2000 bytes reached\"]"));
}

int main() {
    // A closed terminal must not kill the test through a stray SIGPIPE/SIGHUP.
    ::signal(SIGPIPE, SIG_IGN);

    test_partial_receive_leaves_rest_at_head();
    test_small_sends_are_packed_and_counted_as_held();
    test_put_back_restores_the_head();
    test_disconnection_only_after_drain();
    test_send_fails_once_receiver_gone();
    test_waiting_receiver_woken_by_disconnection();
    test_concurrent_stream_order_and_bound();
    test_backpressure_pauses_and_resumes_sender();
    test_paused_sender_released_when_receiver_dropped();

    test_reader_moves_everything_then_disconnects();
    test_finish_stops_a_paused_reader_within_the_bound();
    test_finish_stops_a_reader_on_a_silent_source();

    test_writes_give_up_on_input_nobody_reads();

    ScratchDir dir;
    test_flood_read_then_close(dir);
    test_close_unread_flood(dir);
    test_close_with_terminal_holder(dir, true);
    test_close_with_terminal_holder(dir, false);
    test_spawn_close_cycles(dir);
    test_capped_reads_lose_nothing(dir);
    test_ctrl_c_reaches_a_program_behind_full_input(dir);
    test_marker_read(dir);
    test_recording_events_from_two_threads(dir);
    test_recording_stops_at_its_cap(dir);

    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
