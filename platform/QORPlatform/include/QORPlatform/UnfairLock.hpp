#pragma once
// A one-byte lock for critical sections that only copy or swap a value.

#include <atomic>
#include <mutex>
#include <thread>

namespace qor {

/// A spin lock that yields while contended. Meant for sections that copy or swap a value and
/// nothing else, where a full mutex (40 bytes) per object would dominate memory. Satisfies
/// Lockable, so std::lock_guard and std::scoped_lock work with it.
class UnfairLock {
public:
    void lock() noexcept {
        while (flag_.exchange(true, std::memory_order_acquire)) {
            while (flag_.load(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    bool try_lock() noexcept { return !flag_.exchange(true, std::memory_order_acquire); }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

    template <class F>
    decltype(auto) withLock(F&& f) {
        std::lock_guard guard(*this);
        return std::forward<F>(f)();
    }

private:
    std::atomic<bool> flag_{false};
};

/// A value and the lock that guards it, living together.
template <class T>
class Locked {
public:
    Locked() = default;
    explicit Locked(T value) : value_(std::move(value)) {}
    template <class F>
    decltype(auto) withLock(F&& f) {
        std::lock_guard guard(lock_);
        return std::forward<F>(f)(value_);
    }
    template <class F>
    decltype(auto) withLock(F&& f) const {
        std::lock_guard guard(lock_);
        return std::forward<F>(f)(value_);
    }
    T copy() const { return withLock([](const T& v) { return v; }); }

private:
    mutable UnfairLock lock_;
    T value_{};
};

}  // namespace qor
