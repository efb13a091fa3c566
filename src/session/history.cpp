// History and the reads that do not wait.
#include "session/history.hpp"

#include "sanitize/sanitize.hpp"
#include "session/session.hpp"

namespace pellux {

void History::append(std::string_view bytes) {
    if (bytes.size() >= cap_) {
        buffer_.assign(bytes.substr(bytes.size() - cap_));
        start_ = 0;
        return;
    }
    buffer_.append(bytes);
    std::size_t live = buffer_.size() - start_;
    if (live > cap_) start_ += live - cap_;
    if (start_ > cap_ / 2 && start_ >= buffer_.size() - start_) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
}

void append_history(Session& session, std::string_view bytes) {
    if (bytes.empty()) return;
    auto lock = session.history.lock();
    if (!lock) throw InternalFailure(kPoisonedUnwrap);
    (*lock)->append(bytes);
}

Result<std::string> read_available(Session& session, std::optional<std::uint32_t> max_bytes) {
    if (!started_here(session)) return std::string();
    std::size_t limit = max_bytes ? *max_bytes : kDefaultReadAvailableBytes;
    auto rx = session.rx.lock();
    if (!rx) return runtime_error("rx lock poisoned");
    std::string raw;
    // What does not fit under the limit stays queued for the next read.
    while (raw.size() < limit) {
        if ((*rx)->try_receive(raw, limit - raw.size()) != RecvStatus::Received) break;
    }
    append_history(session, raw);
    return sanitize_for_agent(raw);
}

Result<std::string> get_history(Session& session) {
    auto lock = session.history.lock();
    if (!lock) return runtime_error("history lock poisoned");
    return sanitize_for_agent((*lock)->contents());
}

}  // namespace pellux
