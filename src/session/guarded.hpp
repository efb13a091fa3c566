// A mutex that remembers a failure.
//
// std::mutex has no notion of poisoning, but the session must report a lock
// whose previous holder failed while holding it ("rx lock poisoned" and the
// like). Guarded<T> owns the value it protects; a Lock that is destroyed while
// an exception unwinds through its scope marks the mutex poisoned for good.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace pellux {

template <class T>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    class Lock {
    public:
        explicit Lock(Guarded& owner)
            : owner_(&owner), unwinding_at_entry_(std::uncaught_exceptions()) {
            owner_->mutex_.lock();
        }
        Lock(Lock&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)),
              unwinding_at_entry_(other.unwinding_at_entry_) {}
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        Lock& operator=(Lock&&) = delete;
        ~Lock() {
            if (owner_ == nullptr) return;
            if (std::uncaught_exceptions() > unwinding_at_entry_) owner_->poisoned_ = true;
            owner_->mutex_.unlock();
        }

        T& operator*() const { return owner_->value_; }
        T* operator->() const { return &owner_->value_; }

    private:
        Guarded* owner_;
        int unwinding_at_entry_;
    };

    // Takes the lock. Returns nothing (and leaves the mutex free) when an
    // earlier holder failed while holding it.
    std::optional<Lock> lock() {
        Lock guard(*this);
        if (poisoned_) return std::nullopt;
        return std::optional<Lock>(std::move(guard));
    }

    bool poisoned() const { return poisoned_; }

    // Direct access for construction and disposal, when no other thread can
    // hold the lock.
    T& unguarded() { return value_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // written and read only with mutex_ held
    T value_;
};

}  // namespace pellux
