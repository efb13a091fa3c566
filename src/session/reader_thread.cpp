#include "session/reader_thread.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace pellux {

namespace {

// Hands `bytes` to the channel. Out of memory, it waits and tries again:
// bytes read from the terminal are never dropped, and the thread never ends
// the process. False when the thread should stop.
bool hand_over(Sender& sender, std::string_view bytes) {
    while (true) {
        try {
            return sender.send(bytes);
        } catch (const std::bad_alloc&) {
            if (!sender.wait_after_allocation_failure()) return false;
        }
    }
}

// Body of "pellux_reader". It blocks in poll on the master and the wake
// descriptor, so a stop request reaches it even while a background process
// keeps the terminal open and silent. The read buffer lives on the thread's
// stack: starting needs no allocation.
void reader_loop(Sender sender, UniqueFd master, std::shared_ptr<Recording> recording) noexcept {
    ::pthread_setname_np(::pthread_self(), kReaderThreadName);
    // This thread's exception state lives in thread-local storage that the
    // loader allocates on first use; under memory pressure that first use
    // would be the throw of std::bad_alloc, and the loader aborts when it
    // cannot allocate. Touch it now, while memory is there.
    // (The call is declared pure: only a use of its result keeps it.)
    [[maybe_unused]] volatile int touched = std::uncaught_exceptions();
    char buffer[kReadChunkBytes];
    pollfd fds[2] = {{master.get(), POLLIN, 0}, {sender.wake_fd(), POLLIN, 0}};
    while (sender.wait_for_room()) {
        sender.set_idle(true);
        int ready = ::poll(fds, 2, -1);
        sender.set_idle(false);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;  // stop requested
        if (fds[0].revents == 0) continue;
        ssize_t n = ::read(master.get(), buffer, kReadChunkBytes);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;  // EIO once the last holder of the slave has closed it
        }
        if (n == 0) break;
        // Recorded here, as it arrives, so its time is when the program
        // printed it, not when a read took it.
        if (recording) recording->output(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (!hand_over(sender, std::string_view(buffer, static_cast<std::size_t>(n)))) break;
    }
    // master and sender are released here: the receiver sees disconnection
    // once it has taken what is queued.
}

}  // namespace

ReaderThread spawn_reader_thread(Sender sender, UniqueFd master_dup,
                                 std::shared_ptr<Recording> recording) {
    SenderStop stop = sender.stop_handle();
    // Signals the interpreter handles must land on its threads, not here: a
    // handler installed without SA_RESTART would otherwise interrupt our reads.
    // Faults stay unblocked so that a crash still reports as one.
    sigset_t blocked, old_mask;
    ::sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
        ::sigdelset(&blocked, sig);
    }
    ::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
    std::thread thread;
    try {
        thread = std::thread(reader_loop, std::move(sender), std::move(master_dup), std::move(recording));
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return ReaderThread(std::move(thread), std::move(stop));
}

void ReaderThread::finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) return;
    if (!stop_.wait_for_end(grace)) stop_.request_stop();
    thread_.join();
}

ReaderThread::~ReaderThread() {
    if (thread_.joinable()) thread_.detach();
}

}  // namespace pellux
