// The queue of output chunks from a session's reader thread to its owner.
//
// One Sender (the reader thread) and one Receiver (the session's `rx`, used
// under its lock by the owner thread). Bytes come out in the order they went
// in; a receive that takes only part of a chunk leaves the rest at the head,
// so a byte limit never loses output, and a read that fails after taking
// bytes puts them back at the head.
//
// The bound counts what the queue really holds: the storage of its chunks
// plus their bookkeeping, not only the bytes in them. Small sends are packed
// into the chunk at the tail, so a program that writes one byte at a time
// costs what its bytes cost. Past kChannelCapacity the reader stops reading
// the terminal until receives make room, which pauses the child exactly as a
// terminal whose output is stopped. The bound holds until the end, close
// included.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "session/unique_fd.hpp"

namespace pellux {

inline constexpr std::size_t kChannelCapacity = 64u * 1024u * 1024u;

// Storage of one chunk: the reader reads at most this much at a time.
inline constexpr std::size_t kChunkBytes = 8192;

// What a chunk costs beyond its storage: the allocator's header and the
// queue's slot for it (rounded up).
inline constexpr std::size_t kChunkOverhead = 64;

namespace detail {

struct ChannelState {
    std::mutex mutex;
    std::condition_variable data_ready;      // the receiver waits here
    std::condition_variable room_ready;      // the sender waits here under backpressure
    std::condition_variable sender_changed;  // the owner waits here while stopping the sender
    // Bytes a failed read gave back; they come before every chunk.
    std::string returned;
    std::size_t returned_offset = 0;
    std::deque<std::string> chunks;
    std::size_t head_offset = 0;   // bytes of chunks.front() already taken
    std::size_t queued_bytes = 0;  // memory held: chunk storage plus kChunkOverhead each
    std::size_t capacity = kChannelCapacity;
    bool sender_alive = true;
    bool sender_paused = false;  // the sender waits for room
    bool receiver_alive = true;
    bool stop_requested = false;
    UniqueFd wake_fd;  // eventfd that breaks the reader's poll
    // The reader sits in its poll on the terminal holding no bytes: all it
    // read is queued. Written by the reader, read by anyone without the mutex.
    std::atomic<bool> reader_idle{false};

    bool has_data() const { return returned_offset < returned.size() || !chunks.empty(); }
};

}  // namespace detail

enum class RecvStatus {
    Received,      // bytes were appended
    Empty,         // nothing queued (try-receive) or nothing within the timeout
    Disconnected,  // the sender is gone and every chunk has been taken
};

// Ends a receiver's wait from another thread without the receiver's lock:
// the request is a flag the wait checks, set before the wait is woken, so
// it is never missed. A read passes its stop to every receive.
class ReceiveStop {
public:
    enum class Why { None, Interrupted, Closed };

    Why why() const { return why_.load(std::memory_order_acquire); }
    bool requested() const { return why() != Why::None; }
    // The first request wins; later ones change nothing.
    void request(Why why) {
        Why none = Why::None;
        why_.compare_exchange_strong(none, why, std::memory_order_acq_rel);
    }

private:
    std::atomic<Why> why_{Why::None};
};

// A handle on the channel for anyone: whether the reader is idle, and the
// wake-up of a receive that waits (for a stop request).
class ChannelWatch {
public:
    explicit ChannelWatch(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}

    bool reader_idle() const { return state_->reader_idle.load(std::memory_order_acquire); }
    // Wakes a receive that waits, so that it looks at its stop again.
    void wake_receiver() const;

private:
    std::shared_ptr<detail::ChannelState> state_;
};

// The owner's handle on the sending side, to end it at close.
class SenderStop {
public:
    explicit SenderStop(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}

    // Waits up to `grace` for the sender to end by itself. Returns early,
    // false, when the sender pauses on a full queue: it cannot end by itself
    // then, and the bound is not lifted for it. True once it has ended.
    bool wait_for_end(std::chrono::milliseconds grace);

    // Tells the sender to stop: wakes it from a pause, from an allocation
    // retry and from its poll on the wake descriptor.
    void request_stop();

private:
    std::shared_ptr<detail::ChannelState> state_;
};

class Sender {
public:
    explicit Sender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) = delete;
    ~Sender();

    // Queues the bytes, packed behind the tail chunk where they fit. False
    // when the receiver is gone (the bytes are dropped). Throws
    // std::bad_alloc with nothing queued when memory for a chunk runs out.
    bool send(std::string_view bytes);

    // Blocks while the queue is full. False when the sender should stop
    // instead: the receiver is gone or a stop was requested.
    bool wait_for_room();

    // Says whether the reader waits in its poll with every byte it read
    // queued (true just before the poll, false as soon as it returns).
    void set_idle(bool idle) { state_->reader_idle.store(idle, std::memory_order_release); }

    // After a failed allocation: waits a moment for memory to come back.
    // False when the sender should stop instead.
    bool wait_after_allocation_failure();

    // Read end of the eventfd that a stop request makes readable.
    int wake_fd() const { return state_->wake_fd.get(); }

    SenderStop stop_handle() const { return SenderStop(state_); }
    const std::shared_ptr<detail::ChannelState>& shared_state() const { return state_; }

private:
    std::shared_ptr<detail::ChannelState> state_;
    std::string spare_;  // the next chunk's storage, allocated outside the lock
};

class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) = default;
    ~Receiver();

    // Appends to `out` at most `max_bytes` bytes of the chunk at the head of
    // the queue, waiting up to `timeout` for one to arrive. Whatever of that
    // chunk does not fit stays at the head for the next receive. Throws
    // std::bad_alloc, with the queue unchanged, when `out` cannot grow.
    // A request on `stop` ends the wait at once (Empty unless a chunk is
    // there).
    RecvStatus receive(std::string& out, std::size_t max_bytes,
                       std::chrono::steady_clock::duration timeout,
                       const ReceiveStop* stop = nullptr);

    // The same without waiting.
    RecvStatus try_receive(std::string& out, std::size_t max_bytes);

    // Gives back, at the head of the queue, every byte the receives since the
    // last completed read took (in order): a read that fails hands on
    // nothing and loses nothing. Never allocates.
    void put_back(std::string&& bytes) noexcept;

    ChannelWatch watch() const { return ChannelWatch(state_); }

private:
    RecvStatus take_locked(std::unique_lock<std::mutex>& lock, std::string& out,
                           std::size_t max_bytes);

    std::shared_ptr<detail::ChannelState> state_;
};

// Creates an empty channel. Throws std::system_error when the wake
// descriptor cannot be made.
std::pair<Sender, Receiver> make_output_channel(std::size_t capacity = kChannelCapacity);

}  // namespace pellux
