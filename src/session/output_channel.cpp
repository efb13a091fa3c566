#include "session/output_channel.hpp"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pellux {

std::pair<Sender, Receiver> make_output_channel(std::size_t capacity) {
    auto state = std::make_shared<detail::ChannelState>();
    state->capacity = capacity;
    state->wake_fd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state->wake_fd) throw std::system_error(errno, std::generic_category(), "eventfd");
    return {Sender(state), Receiver(state)};
}

Sender::~Sender() {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->sender_alive = false;
    }
    state_->data_ready.notify_all();
}

bool Sender::send(std::string chunk) {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->receiver_alive) return false;
        state_->queued_bytes += chunk.size();
        state_->chunks.push_back(std::move(chunk));
    }
    state_->data_ready.notify_one();
    return true;
}

bool Sender::wait_for_room() {
    std::unique_lock lock(state_->mutex);
    state_->room_ready.wait(lock, [&] {
        return state_->queued_bytes < state_->capacity || state_->backpressure_lifted ||
               !state_->receiver_alive || state_->stop_requested;
    });
    return state_->receiver_alive && !state_->stop_requested;
}

Receiver::~Receiver() {
    if (!state_) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        state_->chunks.clear();
        state_->queued_bytes = 0;
    }
    state_->room_ready.notify_all();
}

RecvStatus Receiver::take_locked(std::unique_lock<std::mutex>& lock, std::string& out,
                                 std::size_t max_bytes) {
    auto& s = *state_;
    if (s.chunks.empty()) return s.sender_alive ? RecvStatus::Empty : RecvStatus::Disconnected;
    if (max_bytes == 0) return RecvStatus::Empty;
    std::string& head = s.chunks.front();
    std::size_t available = head.size() - s.head_offset;
    std::size_t n = std::min(available, max_bytes);
    bool was_full = s.queued_bytes >= s.capacity;
    if (s.head_offset == 0 && n == head.size() && out.empty()) {
        out = std::move(head);  // the common case: hand the chunk over without a copy
    } else {
        out.append(head, s.head_offset, n);
    }
    s.queued_bytes -= n;
    if (n == available) {
        s.chunks.pop_front();
        s.head_offset = 0;
    } else {
        s.head_offset += n;
    }
    bool wake_sender = was_full && s.queued_bytes < s.capacity;
    lock.unlock();
    if (wake_sender) s.room_ready.notify_one();
    return RecvStatus::Received;
}

RecvStatus Receiver::receive(std::string& out, std::size_t max_bytes,
                             std::chrono::steady_clock::duration timeout) {
    std::unique_lock lock(state_->mutex);
    if (state_->chunks.empty() && state_->sender_alive && timeout > timeout.zero()) {
        state_->data_ready.wait_for(lock, timeout, [&] {
            return !state_->chunks.empty() || !state_->sender_alive;
        });
    }
    return take_locked(lock, out, max_bytes);
}

RecvStatus Receiver::try_receive(std::string& out, std::size_t max_bytes) {
    std::unique_lock lock(state_->mutex);
    return take_locked(lock, out, max_bytes);
}

}  // namespace pellux
