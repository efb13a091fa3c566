// The thread that moves a session's terminal output into its channel.
//
// The thread owns its duplicate of the master and the channel's Sender; it
// touches nothing else of the session and never the interpreter. The owner
// thread keeps a ReaderThread handle to end it.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "session/output_channel.hpp"
#include "session/recording.hpp"
#include "session/unique_fd.hpp"

namespace pellux {

inline constexpr std::size_t kReadChunkBytes = kChunkBytes;
inline constexpr const char* kReaderThreadName = "pellux_reader";

class ReaderThread {
public:
    ReaderThread(std::thread thread, SenderStop stop)
        : thread_(std::move(thread)), stop_(std::move(stop)) {}
    ReaderThread(ReaderThread&&) noexcept = default;
    ReaderThread& operator=(ReaderThread&&) = default;
    ~ReaderThread();  // detaches a thread that was never joined

    // Waits up to `grace` for the thread to end by itself (end of file once
    // every holder of the slave is gone), reading on within the queue's
    // bound meanwhile; stops it at once when it pauses on a full queue, and
    // at the end of the grace otherwise; then joins. Never blocks longer
    // than `grace` plus one chunk's hand-off. Owner thread only.
    void finish(std::chrono::milliseconds grace);

private:
    std::thread thread_;
    SenderStop stop_;
};

// Starts "pellux_reader" with asynchronous signals blocked, so that signals
// meant for the interpreter are never delivered to it. Throws
// std::system_error when the thread cannot be started. A `recording`, when
// given, records every chunk as the thread reads it, before it is queued.
ReaderThread spawn_reader_thread(Sender sender, UniqueFd master_dup,
                                 std::shared_ptr<Recording> recording = nullptr);

}  // namespace pellux
