#include "session/output_channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace pellux {

namespace {

// How long the reader waits for memory to come back after an allocation
// failed, before it tries again.
constexpr std::chrono::milliseconds kAllocationRetryPause{20};

void release_returned(detail::ChannelState& s) {
    s.queued_bytes -= s.returned.capacity() + kChunkOverhead;
    std::string().swap(s.returned);
    s.returned_offset = 0;
}

}  // namespace

std::pair<Sender, Receiver> make_output_channel(std::size_t capacity) {
    auto state = std::make_shared<detail::ChannelState>();
    state->capacity = capacity;
    state->wake_fd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state->wake_fd) throw std::system_error(errno, std::generic_category(), "eventfd");
    return {Sender(state), Receiver(state)};
}

// ---- the owner's stop --------------------------------------------------------

bool SenderStop::wait_for_end(std::chrono::milliseconds grace) {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    s.sender_changed.wait_for(lock, grace, [&] { return !s.sender_alive || s.sender_paused; });
    return !s.sender_alive;
}

void SenderStop::request_stop() {
    auto& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.stop_requested = true;
    }
    s.room_ready.notify_all();
    std::uint64_t one = 1;
    ssize_t ignored = ::write(s.wake_fd.get(), &one, sizeof one);
    (void)ignored;
}

void ChannelWatch::wake_receiver() const {
    // Taking the mutex orders the wake-up after the waiter's last look at
    // its stop: a waiter that looked before the request is already waiting.
    { std::lock_guard lock(state_->mutex); }
    state_->data_ready.notify_all();
}

// ---- sending -------------------------------------------------------------------

Sender::~Sender() {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->sender_alive = false;
    }
    state_->data_ready.notify_all();
    state_->sender_changed.notify_all();
}

bool Sender::send(std::string_view bytes) {
    // The storage a new chunk may need is allocated before the lock, so the
    // receiver never waits on the allocator.
    const std::size_t want = std::max(kChunkBytes, bytes.size());
    if (spare_.capacity() < want) {
        std::string fresh;
        fresh.reserve(want);
        spare_ = std::move(fresh);
    }
    auto& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.receiver_alive) return false;
        std::size_t into_tail = 0;
        if (!s.chunks.empty()) {
            const std::string& tail = s.chunks.back();
            into_tail = std::min(tail.capacity() - tail.size(), bytes.size());
        }
        const std::size_t rest = bytes.size() - into_tail;
        if (rest > 0) s.chunks.emplace_back();  // the one step that may throw: nothing changed yet
        if (into_tail > 0) {
            std::string& tail = s.chunks[s.chunks.size() - (rest > 0 ? 2 : 1)];
            tail.append(bytes.data(), into_tail);  // within its storage: no allocation
        }
        if (rest > 0) {
            spare_.assign(bytes.data() + into_tail, rest);
            s.queued_bytes += spare_.capacity() + kChunkOverhead;
            s.chunks.back() = std::move(spare_);
            spare_ = std::string();
        }
    }
    s.data_ready.notify_one();
    return true;
}

bool Sender::wait_for_room() {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    auto go_on = [&] { return s.queued_bytes < s.capacity || !s.receiver_alive || s.stop_requested; };
    if (!go_on()) {
        s.sender_paused = true;
        s.sender_changed.notify_all();
        s.room_ready.wait(lock, go_on);
        s.sender_paused = false;
    }
    return s.receiver_alive && !s.stop_requested;
}

bool Sender::wait_after_allocation_failure() {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    auto stop = [&] { return !s.receiver_alive || s.stop_requested; };
    // Stuck for now like a reader paused on a full queue: close need not
    // wait for it.
    s.sender_paused = true;
    s.sender_changed.notify_all();
    s.room_ready.wait_for(lock, kAllocationRetryPause, stop);
    s.sender_paused = false;
    return !stop();
}

// ---- receiving -----------------------------------------------------------------

Receiver::~Receiver() {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        state_->chunks.clear();
        std::string().swap(state_->returned);
        state_->returned_offset = 0;
        state_->queued_bytes = 0;
    }
    state_->room_ready.notify_all();
}

RecvStatus Receiver::take_locked(std::unique_lock<std::mutex>& lock, std::string& out,
                                 std::size_t max_bytes) {
    auto& s = *state_;
    if (!s.has_data()) return s.sender_alive ? RecvStatus::Empty : RecvStatus::Disconnected;
    if (max_bytes == 0) return RecvStatus::Empty;
    if (s.returned_offset < s.returned.size()) {
        std::size_t n = std::min(s.returned.size() - s.returned_offset, max_bytes);
        out.append(s.returned, s.returned_offset, n);  // may throw: nothing changed yet
        s.returned_offset += n;
        if (s.returned_offset == s.returned.size()) release_returned(s);
    } else {
        std::string& head = s.chunks.front();
        std::size_t available = head.size() - s.head_offset;
        std::size_t n = std::min(available, max_bytes);
        if (s.head_offset == 0 && n == head.size() && out.empty()) {
            // The common case: hand the chunk over without a copy.
            s.queued_bytes -= head.capacity() + kChunkOverhead;
            out = std::move(head);
            s.chunks.pop_front();
        } else {
            out.append(head, s.head_offset, n);  // may throw: nothing changed yet
            if (n == available) {
                s.queued_bytes -= head.capacity() + kChunkOverhead;
                s.chunks.pop_front();
                s.head_offset = 0;
            } else {
                s.head_offset += n;
            }
        }
    }
    bool wake_sender = s.sender_paused && s.queued_bytes < s.capacity;
    lock.unlock();
    if (wake_sender) s.room_ready.notify_one();
    return RecvStatus::Received;
}

RecvStatus Receiver::receive(std::string& out, std::size_t max_bytes,
                             std::chrono::steady_clock::duration timeout, const ReceiveStop* stop) {
    auto& s = *state_;
    std::unique_lock lock(s.mutex);
    auto stopped = [&] { return stop != nullptr && stop->requested(); };
    if (!s.has_data() && s.sender_alive && timeout > timeout.zero() && !stopped()) {
        s.data_ready.wait_for(lock, timeout,
                              [&] { return s.has_data() || !s.sender_alive || stopped(); });
    }
    return take_locked(lock, out, max_bytes);
}

RecvStatus Receiver::try_receive(std::string& out, std::size_t max_bytes) {
    std::unique_lock lock(state_->mutex);
    return take_locked(lock, out, max_bytes);
}

void Receiver::put_back(std::string&& bytes) noexcept {
    if (bytes.empty()) return;
    auto& s = *state_;
    std::lock_guard lock(s.mutex);
    if (!s.receiver_alive) return;
    if (s.returned.empty()) {
        // The usual case: the failed read took every byte given back before
        // (or there were none), so its bytes simply go first. A chunk it took
        // only in part still holds the rest at the head, which follows them.
        s.returned = std::move(bytes);
        s.returned_offset = 0;
        s.queued_bytes += s.returned.capacity() + kChunkOverhead;
    } else if (bytes.size() <= s.returned_offset) {
        // The read took only part of the bytes given back before: they are
        // still in place.
        s.returned_offset -= bytes.size();
    } else {
        // Not reached by any read (a read takes the given-back bytes before
        // anything else); kept whole if memory allows.
        try {
            std::size_t before = s.returned.capacity();
            s.returned.replace(0, s.returned_offset, bytes);
            s.returned_offset = 0;
            s.queued_bytes += s.returned.capacity() - before;
        } catch (const std::exception&) {
        }
    }
}

}  // namespace pellux
