#include "session/reader_thread.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

namespace pellux {

namespace {

// Body of "pellux_reader". It blocks in poll on the master and the wake
// descriptor, so a stop request reaches it even while a background process
// keeps the terminal open and silent.
void reader_loop(Sender sender, UniqueFd master) {
    ::pthread_setname_np(::pthread_self(), kReaderThreadName);
    auto buffer = std::make_unique<char[]>(kReadChunkBytes);
    pollfd fds[2] = {{master.get(), POLLIN, 0}, {sender.wake_fd(), POLLIN, 0}};
    while (sender.wait_for_room()) {
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;  // stop requested
        if (fds[0].revents == 0) continue;
        ssize_t n = ::read(master.get(), buffer.get(), kReadChunkBytes);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;  // EIO once the last holder of the slave has closed it
        }
        if (n == 0) break;
        if (!sender.send(std::string(buffer.get(), static_cast<std::size_t>(n)))) break;
    }
    // master and sender are released here: the receiver sees disconnection
    // once it has taken what is queued.
}

}  // namespace

ReaderThread spawn_reader_thread(Sender sender, UniqueFd master_dup) {
    auto state = sender.shared_state();
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
        thread = std::thread(reader_loop, std::move(sender), std::move(master_dup));
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return ReaderThread(std::move(thread), std::move(state));
}

void ReaderThread::finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) return;
    {
        std::unique_lock lock(state_->mutex);
        // Closing: the paused reader may take what the terminal still holds.
        state_->backpressure_lifted = true;
        state_->room_ready.notify_all();
        bool ended = state_->data_ready.wait_for(lock, grace, [&] { return !state_->sender_alive; });
        if (!ended) {
            state_->stop_requested = true;
            state_->room_ready.notify_all();
            std::uint64_t one = 1;
            ssize_t ignored = ::write(state_->wake_fd.get(), &one, sizeof one);
            (void)ignored;
        }
    }
    thread_.join();
}

ReaderThread::~ReaderThread() {
    if (thread_.joinable()) thread_.detach();
}

}  // namespace pellux
