#pragma once
// One replaceable reference to an immutable value, readable from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "QORModels/support/OwnCount.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

namespace detail {
/// The generations of every `SharedSnapshot` in the process, whatever its value type: each
/// holder takes a fresh one when it is made and at every store, so no two holders (not even one
/// made later at the address of a destroyed one) ever share a generation.
inline std::atomic<std::uint64_t> sharedSnapshotGenerations{0};
inline std::uint64_t nextSharedSnapshotGeneration() {
    return sharedSnapshotGenerations.fetch_add(1, std::memory_order_relaxed) + 1;
}
}  // namespace detail

/// Holds a `std::shared_ptr<const T>` that writers replace whole and readers copy.
///
/// The lock is held only to copy or swap the reference (never while the value is built, used or
/// destroyed), so readers never wait for anything but another copy. This is what
/// `std::atomic<std::shared_ptr>` offers; libstdc++'s version guards the pointer with a lock bit
/// that ThreadSanitizer cannot see, so the holder uses a lock of its own. Thread-safe.
template <class T>
class SharedSnapshot {
public:
    explicit SharedSnapshot(std::shared_ptr<const T> value)
        : value_(std::move(value)), generation_(detail::nextSharedSnapshotGeneration()) {}
    /// The current value. Each thread remembers the last value it loaded and reuses it until a
    /// store replaces it, so the readers of a value that changes rarely (analysis reads the
    /// plug-in lookup table for every packet, on every thread) do not all take one lock. The
    /// pointer handed out shares the value through a holder of the thread's own, so copying and
    /// dropping it counts references on a counter only that thread writes, not on the value's
    /// one counter that every thread would otherwise contend for. A replaced value stays alive
    /// until each thread that loaded it loads again or ends. The thread remembers the holder by
    /// address and generation; generations are unique in the process, so a holder made at the
    /// address of a destroyed one never serves that one's value.
    [[nodiscard]] std::shared_ptr<const T> load() const {
        std::uint64_t generation = 0;
        return load(generation);
    }
    /// `load()`, and the generation of the value it gives in `generation`.
    [[nodiscard]] std::shared_ptr<const T> load(std::uint64_t& generation) const {
        struct Recent {
            const SharedSnapshot* holder = nullptr;
            std::uint64_t generation = 0;
            std::shared_ptr<const T> value;  // aliases a thread-local holder of the shared value
        };
        thread_local Recent recent;
        generation = generation_.load(std::memory_order_acquire);
        if (recent.holder == this && recent.generation == generation) return recent.value;
        std::shared_ptr<const T> current;
        std::uint64_t currentGeneration = 0;
        {
            std::lock_guard guard(lock_);
            current = value_;
            currentGeneration = generation_.load(std::memory_order_relaxed);
        }
        recent = Recent{this, currentGeneration, withOwnCount(std::move(current))};
        generation = currentGeneration;
        return recent.value;
    }
    /// The generation of the value held now: a new one at every store, so whoever noted the
    /// generation of a value it loaded knows, with one atomic load, whether it is still held.
    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }
    void store(std::shared_ptr<const T> value) {
        {
            std::lock_guard guard(lock_);
            value_.swap(value);
            generation_.store(detail::nextSharedSnapshotGeneration(), std::memory_order_release);
        }
        // The replaced value is released here, outside the lock.
    }

private:
    mutable UnfairLock lock_;
    std::shared_ptr<const T> value_;
    std::atomic<std::uint64_t> generation_;
};

}  // namespace qor
