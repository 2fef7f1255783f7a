#include "KeyValueObservationRegistry.hpp"

#include <algorithm>

#include "QORPlatform/NSObject.hpp"

namespace qor {
namespace {
/// Tokens are unique in the process, so a token of one object never removes another's observer.
std::atomic<std::uint64_t> gNextToken{1};
}  // namespace

KeyValueObservationToken KeyValueObservationRegistry::add(std::string keyPath, KeyValueObserver observer,
                                                          unsigned options) {
    auto registration = std::make_shared<Registration>();
    registration->id = gNextToken.fetch_add(1, std::memory_order_relaxed);
    registration->key = keyPath.substr(0, keyPath.find('.'));
    registration->keyPath = std::move(keyPath);
    registration->options = options;
    registration->observer = std::move(observer);
    std::lock_guard guard(mutex_);
    registrations_.push_back(registration);
    count_.store(registrations_.size(), std::memory_order_release);
    return {registration->id};
}

bool KeyValueObservationRegistry::remove(KeyValueObservationToken token) {
    std::shared_ptr<Registration> removed;  // released outside the lock
    {
        std::lock_guard guard(mutex_);
        auto it = std::find_if(registrations_.begin(), registrations_.end(),
                               [&](const auto& r) { return r->id == token.id; });
        if (it == registrations_.end()) return false;
        (*it)->removed.store(true, std::memory_order_release);
        removed = std::move(*it);
        registrations_.erase(it);
        count_.store(registrations_.size(), std::memory_order_release);
    }
    return true;
}

std::vector<std::shared_ptr<KeyValueObservationRegistry::Registration>> KeyValueObservationRegistry::matching(
    std::string_view key) const {
    std::vector<std::shared_ptr<Registration>> found;
    std::lock_guard guard(mutex_);
    for (const auto& r : registrations_) {
        if (r->key == key) found.push_back(r);
    }
    return found;
}

void KeyValueObservationRegistry::willChange(const NSObject& object, std::string_view key) {
    // The old values are read outside the lock: reading a property may take the object's own
    // locks or announce changes of its own.
    Pending pending{std::this_thread::get_id(), std::string(key), {}};
    for (const auto& r : matching(key)) {
        if (r->options & kKeyValueObservingOptionOld) pending.oldValues.emplace_back(r->id, object.valueForKeyPath(r->keyPath));
    }
    if (pending.oldValues.empty()) return;
    std::lock_guard guard(mutex_);
    pending_.push_back(std::move(pending));
}

void KeyValueObservationRegistry::didChange(const NSObject& object, std::string_view key) {
    std::vector<std::pair<std::uint64_t, Value>> oldValues;
    {
        // The latest `willChange` of this key on this thread (changes nest like calls).
        std::lock_guard guard(mutex_);
        const auto thread = std::this_thread::get_id();
        auto it = std::find_if(pending_.rbegin(), pending_.rend(),
                               [&](const Pending& p) { return p.thread == thread && p.key == key; });
        if (it != pending_.rend()) {
            oldValues = std::move(it->oldValues);
            pending_.erase(std::next(it).base());
        }
    }
    for (const auto& r : matching(key)) {
        if (r->removed.load(std::memory_order_acquire)) continue;  // removed by an earlier callback
        KeyValueChange change{r->keyPath, {}, {}};
        if (r->options & kKeyValueObservingOptionOld) {
            auto old = std::find_if(oldValues.begin(), oldValues.end(), [&](const auto& v) { return v.first == r->id; });
            if (old != oldValues.end()) change.oldValue = std::move(old->second);
        }
        if (r->options & kKeyValueObservingOptionNew) change.newValue = object.valueForKeyPath(r->keyPath);
        r->observer(object, change);
    }
}

}  // namespace qor
