#pragma once
// Observers by notification name, tokens, removal.

#include <functional>
#include <map>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QORPlatform/Value.hpp"

namespace qor {

class NSObject;

struct Notification {
    std::string name;
    std::shared_ptr<NSObject> object;
    std::map<std::string, Value> userInfo;
};

/// The handle an observer registration returns; pass it back to remove the observer.
using ObserverToken = std::shared_ptr<const void>;

/// Delivers posted notifications synchronously, on the posting thread, to every observer of the
/// name (and of the object, when the observer named one). Thread-safe: observers may be added,
/// removed and notified from any thread; a block is never called while the centre's lock is held.
class NotificationCenter {
public:
    using Block = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    /// Registers `block` for `name`; with a non-null `object`, only for posts naming that object.
    ObserverToken addObserver(std::string name, const NSObject* object, Block block);
    void removeObserver(const ObserverToken& token);
    void post(const Notification& notification);
    void post(std::string name, std::shared_ptr<NSObject> object = nullptr,
              std::map<std::string, Value> userInfo = {});
    [[nodiscard]] std::size_t observerCount(const std::string& name) const;

private:
    struct Entry;
    mutable std::mutex mutex_;
    // Observers by name, then by entry: adding and removing are O(1), so a million packets each
    // observing one name come and go cheaply.
    std::unordered_map<std::string, std::unordered_map<const Entry*, std::shared_ptr<Entry>>> entries_;
};

}  // namespace qor
