#pragma once
// One replaceable reference to an immutable value, readable from any thread.

#include <memory>
#include <mutex>

#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// Holds a `std::shared_ptr<const T>` that writers replace whole and readers copy.
///
/// The lock is held only to copy or swap the reference (never while the value is built, used or
/// destroyed), so readers never wait for anything but another copy. This is what
/// `std::atomic<std::shared_ptr>` offers; libstdc++'s version guards the pointer with a lock bit
/// that ThreadSanitizer cannot see, so the holder uses a lock of its own. Thread-safe.
template <class T>
class SharedSnapshot {
public:
    explicit SharedSnapshot(std::shared_ptr<const T> value) : value_(std::move(value)) {}
    [[nodiscard]] std::shared_ptr<const T> load() const {
        std::lock_guard guard(lock_);
        return value_;
    }
    void store(std::shared_ptr<const T> value) {
        {
            std::lock_guard guard(lock_);
            value_.swap(value);
        }
        // The replaced value is released here, outside the lock.
    }

private:
    mutable UnfairLock lock_;
    std::shared_ptr<const T> value_;
};

}  // namespace qor
