// A mutex that remembers a failure.
//
// std::mutex has no notion of poisoning, but the session must report a lock
// whose previous holder failed while holding it ("rx lock poisoned" and the
// like). Guarded<T> owns the value it protects; a Lock that is destroyed while
// an exception unwinds through its scope marks the mutex poisoned for good.
// Running out of memory in an operation that leaves the value untouched
// when it fails is not such a failure: apply() lets it through unpoisoned.
#pragma once

#include <exception>
#include <mutex>
#include <new>
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

    // Runs `fn(value)` under the lock; false (and `fn` not run) when the lock
    // is poisoned. `fn` must be all-or-nothing on allocation failure: when it
    // throws std::bad_alloc the value is as it was, so the failure is
    // rethrown with the lock released and not poisoned, and the next holder
    // finds a usable value. Any other failure poisons the lock as a Lock's
    // unwinding does.
    template <class Fn>
    bool apply(Fn&& fn) {
        bool out_of_memory = false;
        {
            std::lock_guard guard(mutex_);
            if (poisoned_) return false;
            try {
                fn(value_);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
            } catch (...) {
                poisoned_ = true;
                throw;
            }
        }
        if (out_of_memory) throw std::bad_alloc();
        return true;
    }

    // Direct access for construction and disposal, when no other thread can
    // hold the lock.
    T& unguarded() { return value_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // written and read only with mutex_ held
    T value_;
};

}  // namespace pellux
