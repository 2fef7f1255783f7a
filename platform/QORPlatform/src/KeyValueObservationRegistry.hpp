#pragma once
// The observers of one object (internal to the platform library).

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "QORPlatform/KeyValueObserving.hpp"

namespace qor {

/// The observers of one object, created when the first one is added and kept until the object
/// is destroyed. Objects reach it through `NSObject`; nothing else uses it directly.
class KeyValueObservationRegistry {
public:
    KeyValueObservationToken add(std::string keyPath, KeyValueObserver observer, unsigned options);
    bool remove(KeyValueObservationToken token);
    /// Whether any observer is registered (one atomic load).
    [[nodiscard]] bool isEmpty() const { return count_.load(std::memory_order_acquire) == 0; }
    void willChange(const NSObject& object, std::string_view key);
    void didChange(const NSObject& object, std::string_view key);

private:
    struct Registration {
        std::uint64_t id = 0;
        std::string keyPath;
        std::string key;  ///< the key path's first component, which a change names
        unsigned options = 0;
        KeyValueObserver observer;
        std::atomic<bool> removed{false};
    };
    /// Old values read by `willChange` on one thread, waiting for the matching `didChange`.
    struct Pending {
        std::thread::id thread;
        std::string key;
        std::vector<std::pair<std::uint64_t, Value>> oldValues;
    };
    std::vector<std::shared_ptr<Registration>> matching(std::string_view key) const;

    mutable std::mutex mutex_;
    std::atomic<std::size_t> count_{0};
    std::vector<std::shared_ptr<Registration>> registrations_;
    std::vector<Pending> pending_;
};

}  // namespace qor
