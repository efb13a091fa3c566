// History and the reads that do not wait.
#include "session/history.hpp"

#include <new>

#include "sanitize/sanitize.hpp"
#include "session/session.hpp"

namespace pellux {

void History::append(std::string_view bytes) {
    if (bytes.size() >= cap_) {
        buffer_.assign(bytes.substr(bytes.size() - cap_));  // strong: unchanged if it throws
        start_ = 0;
        return;
    }
    buffer_.append(bytes);  // strong: unchanged if it throws; nothing below allocates
    std::size_t live = buffer_.size() - start_;
    if (live > cap_) start_ += live - cap_;
    if (start_ > cap_ / 2 && start_ >= buffer_.size() - start_) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
}

void append_history(Session& session, std::string_view bytes) {
    if (bytes.empty()) return;
    if (!session.history.apply([&](History& h) { h.append(bytes); })) {
        throw InternalFailure(kPoisonedUnwrap);
    }
}

TakenOutput::~TakenOutput() {
    if (done_ || bytes_.empty()) return;
    // Nothing to give back to when the receiving end's lock is poisoned: no
    // read can take anything any more.
    (void)session_->rx.apply([&](Receiver& rx) { rx.put_back(std::move(bytes_)); });
}

void TakenOutput::commit() {
    if (done_) return;
    append_history(*session_, bytes_);
    done_ = true;
}

void TakenOutput::give_back_from(std::size_t keep) {
    if (done_ || keep >= bytes_.size()) return;
    std::string tail = bytes_.substr(keep);
    bytes_.resize(keep);
    (void)session_->rx.apply([&](Receiver& rx) { rx.put_back(std::move(tail)); });
}

std::string TakenOutput::commit_and_release() {
    commit();
    return std::move(bytes_);
}

Result<CleanRead> take_available(Session& session, std::optional<std::uint32_t> max_bytes) {
    std::size_t limit = max_bytes ? *max_bytes : kDefaultReadAvailableBytes;
    CleanRead read{TakenOutput(session), {}};
    // A forked copy reads nothing: the output belongs to the process that started the session.
    if (!started_here(session)) return read;
    std::string& raw = read.taken.bytes();
    // What does not fit under the limit stays queued for the next read.
    bool usable = session.rx.apply([&](Receiver& rx) {
        while (raw.size() < limit) {
            if (rx.try_receive(raw, limit - raw.size()) != RecvStatus::Received) break;
        }
    });
    if (!usable) return runtime_error("rx lock poisoned");
    read.text = sanitize_for_agent(raw);
    return read;
}

Result<std::string> read_available(Session& session, std::optional<std::uint32_t> max_bytes) {
    auto read = take_available(session, max_bytes);
    if (!read) return std::unexpected(read.error());
    read->taken.commit();
    return std::move(read->text);
}

Result<std::string> get_history(Session& session) {
    auto lock = session.history.lock();
    if (!lock) return runtime_error("history lock poisoned");
    return sanitize_for_agent((*lock)->contents());
}

}  // namespace pellux
