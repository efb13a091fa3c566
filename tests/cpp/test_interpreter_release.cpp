// Native tests of without_interpreter, the one way the core gives the
// interpreter lock up, against a stand-in lock that records what happens:
// the lock is held again before a result or a failure reaches the caller,
// and a thread that the "interpreter" ends while taking the lock back
// (pthread_exit, as CPython does to daemon threads at exit) unwinds cleanly
// through the guard instead of terminating the process.
//
// Usage: test_interpreter_release. Prints "N passed, M failed"; exit status
// 1 on failure.

#include <pthread.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "session/interpreter_release.hpp"

namespace {

int g_passed = 0;
int g_failed = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (cond) {                                                                  \
            ++g_passed;                                                              \
        } else {                                                                     \
            ++g_failed;                                                              \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond);            \
        }                                                                            \
    } while (0)

class RecordingLock final : public pellux::InterpreterRelease {
public:
    void release() noexcept override {
        held = false;
        events.push_back("release");
    }
    void reacquire() override {
        events.push_back("reacquire");
        if (end_thread_on_reacquire) pthread_exit(nullptr);
        held = true;
    }

    bool held = true;
    bool end_thread_on_reacquire = false;
    std::vector<std::string> events;
};

void test_result_comes_back_with_the_lock_held() {
    RecordingLock lock;
    bool released_inside = false;
    std::string text = pellux::without_interpreter(&lock, [&] {
        released_inside = !lock.held;
        return std::string("answer");
    });
    CHECK(released_inside);
    CHECK(lock.held);
    CHECK(text == "answer");
    CHECK((lock.events == std::vector<std::string>{"release", "reacquire"}));
}

void test_failure_travels_after_the_lock_is_back() {
    RecordingLock lock;
    bool held_when_caught = false;
    std::string message;
    try {
        pellux::without_interpreter(&lock, [&]() -> int { throw std::runtime_error("poisoned"); });
    } catch (const std::runtime_error& e) {
        held_when_caught = lock.held;
        message = e.what();
    }
    CHECK(held_when_caught);
    CHECK(message == "poisoned");
    CHECK((lock.events == std::vector<std::string>{"release", "reacquire"}));
}

void test_void_body_and_no_lock() {
    RecordingLock lock;
    int runs = 0;
    pellux::without_interpreter(&lock, [&] { ++runs; });
    pellux::without_interpreter(nullptr, [&] { ++runs; });
    CHECK(runs == 2);
    CHECK(lock.held);
    CHECK(lock.events.size() == 2);
}

struct EndedThread {
    RecordingLock lock;
    bool returned = false;         // without_interpreter came back: must not happen
    bool frame_cleaned_up = false;  // a destructor above the guard ran during the unwind
};

struct Cleanup {
    bool* flag;
    ~Cleanup() { *flag = true; }
};

void* thread_ended_while_taking_the_lock(void* arg) {
    auto* t = static_cast<EndedThread*>(arg);
    Cleanup cleanup{&t->frame_cleaned_up};
    int value = pellux::without_interpreter(&t->lock, [] { return 42; });
    t->returned = value == 42;
    return nullptr;
}

void test_thread_ended_while_taking_the_lock_back_unwinds_cleanly() {
    EndedThread t;
    t.lock.end_thread_on_reacquire = true;
    pthread_t thread;
    CHECK(pthread_create(&thread, nullptr, thread_ended_while_taking_the_lock, &t) == 0);
    CHECK(pthread_join(thread, nullptr) == 0);
    CHECK(!t.returned);
    CHECK(t.frame_cleaned_up);
    CHECK((t.lock.events == std::vector<std::string>{"release", "reacquire"}));
}

}  // namespace

int main() {
    test_result_comes_back_with_the_lock_held();
    test_failure_travels_after_the_lock_is_back();
    test_void_body_and_no_lock();
    test_thread_ended_while_taking_the_lock_back_unwinds_cleanly();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
