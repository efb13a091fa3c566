// The queue of output chunks from a session's reader thread to its owner.
//
// One Sender (the reader thread) and one Receiver (the session's `rx`, used
// under its lock by the owner thread). Chunks come out in the order they went
// in; a receive that takes only part of a chunk leaves the rest at the head,
// so a byte limit never loses output. At most kCapacity bytes wait unread:
// past that the reader stops reading the terminal until receives make room,
// which pauses the child exactly as a terminal whose output is stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "session/unique_fd.hpp"

namespace pellux {

inline constexpr std::size_t kChannelCapacity = 64u * 1024u * 1024u;

namespace detail {

struct ChannelState {
    std::mutex mutex;
    std::condition_variable data_ready;   // the receiver waits here
    std::condition_variable room_ready;   // the sender waits here under backpressure
    std::deque<std::string> chunks;
    std::size_t head_offset = 0;          // bytes of chunks.front() already taken
    std::size_t queued_bytes = 0;         // unread bytes in the queue
    std::size_t capacity = kChannelCapacity;
    bool sender_alive = true;
    bool receiver_alive = true;
    bool backpressure_lifted = false;     // set while the session closes
    bool stop_requested = false;
    UniqueFd wake_fd;                     // eventfd that breaks the reader's poll
};

}  // namespace detail

enum class RecvStatus {
    Received,      // bytes were appended
    Empty,         // nothing queued (try-receive) or nothing within the timeout
    Disconnected,  // the sender is gone and every chunk has been taken
};

class Sender {
public:
    explicit Sender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) = delete;
    ~Sender();

    // Queues one chunk. False when the receiver is gone (the chunk is dropped).
    bool send(std::string chunk);

    // Blocks while the queue is full. False when the sender should stop
    // instead: the receiver is gone or a stop was requested.
    bool wait_for_room();

    // Read end of the eventfd that a stop request makes readable.
    int wake_fd() const { return state_->wake_fd.get(); }

    const std::shared_ptr<detail::ChannelState>& shared_state() const { return state_; }

private:
    std::shared_ptr<detail::ChannelState> state_;
};

class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) = default;
    ~Receiver();

    // Appends to `out` at most `max_bytes` bytes of the chunk at the head of
    // the queue, waiting up to `timeout` for one to arrive. Whatever of that
    // chunk does not fit stays at the head for the next receive.
    RecvStatus receive(std::string& out, std::size_t max_bytes,
                       std::chrono::steady_clock::duration timeout);

    // The same without waiting.
    RecvStatus try_receive(std::string& out, std::size_t max_bytes);

private:
    RecvStatus take_locked(std::unique_lock<std::mutex>& lock, std::string& out,
                           std::size_t max_bytes);

    std::shared_ptr<detail::ChannelState> state_;
};

// Creates an empty channel. Throws std::system_error when the wake
// descriptor cannot be made.
std::pair<Sender, Receiver> make_output_channel(std::size_t capacity = kChannelCapacity);

}  // namespace pellux
