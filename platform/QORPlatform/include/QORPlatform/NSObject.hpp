#pragma once
// The root of every object that key-value access and plug-ins reach.

#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "QORPlatform/KeyValueObserving.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

class KeyValueObservationRegistry;

/// Root object: identity, a description, key-value access and key-value observing.
///
/// Objects live in `std::shared_ptr`. Subclasses answer `valueForKey` for their properties and
/// fall back to `valueForUndefinedKey`, which gives none unless overridden. Thread safety of the
/// properties is the subclass's to document.
///
/// Observing: `addObserver` registers a callback for a key path; a subclass's setters announce
/// changes with `changeValueForKeys` (or the `willChangeValueForKey`/`didChangeValueForKey`
/// pair), and every observer whose key path starts with a changed key is called after the
/// change, on the thread that made it, with the values its options asked for. An object nobody
/// has ever observed pays one pointer load and a branch per announced change: the observer
/// table is created by the first `addObserver` and lives until the object is destroyed.
/// Adding and removing observers is thread-safe and may happen from inside a callback; once
/// `removeObserver` has returned, the observer is not called for changes that start afterwards
/// (a call already under way on another thread may still finish). Observers must be removed
/// before the object is destroyed or simply be dropped with it; they must not outlive what
/// they capture.
class NSObject : public std::enable_shared_from_this<NSObject> {
public:
    NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;
    virtual ~NSObject();

    /// The property named `key`; unknown keys go to `valueForUndefinedKey`.
    [[nodiscard]] virtual Value valueForKey(std::string_view key) const;
    /// Follows a dotted path: each component is asked of the object the previous one gave. A
    /// component applied to a non-object value understands only "description" (its text).
    [[nodiscard]] Value valueForKeyPath(std::string_view path) const;
    [[nodiscard]] virtual Value valueForUndefinedKey(std::string_view key) const;

    [[nodiscard]] virtual std::string description() const;
    [[nodiscard]] virtual std::string_view className() const { return "NSObject"; }
    /// Object equality; identity unless a subclass says otherwise.
    [[nodiscard]] virtual bool isEqual(const NSObject& other) const { return this == &other; }

    // --- Key-value observing -----------------------------------------------------------------
    /// Calls `observer` after each change of the key path's first component, with the values
    /// `options` (`KeyValueObservingOptions`) ask for. Observing is not part of the object's
    /// value, so a const object can be observed.
    KeyValueObservationToken addObserver(std::string keyPath, KeyValueObserver observer,
                                         unsigned options = kKeyValueObservingOptionNone) const;
    /// Stops the registration; false when the token names none of this object's.
    bool removeObserver(KeyValueObservationToken token) const;
    /// Announces that `key` is about to change (reads the old values observers asked for).
    void willChangeValueForKey(std::string_view key) const;
    /// Announces that `key` has changed: calls its observers.
    void didChangeValueForKey(std::string_view key) const;

protected:
    /// Whether anyone has ever observed this object (its observer table exists). When not, a
    /// change needs no announcing: a setter of many fields may then take its lock once.
    [[nodiscard]] bool mayBeObserved() const noexcept {
        return observationRegistry_.load(std::memory_order_acquire) != nullptr;
    }
    /// Runs `assign`, announcing a change of each of `keys` around it when someone observes this
    /// object and `differs()` says the value is about to change. Unobserved, it costs one
    /// pointer load and a branch before `assign`; `differs` is not even called.
    template <class Differs, class Assign>
    void changeValueForKeys(std::initializer_list<std::string_view> keys, Differs&& differs, Assign&& assign) {
        if (!mayBeObserved()) [[likely]] {
            assign();
            return;
        }
        if (!isObserved() || !differs()) {
            assign();
            return;
        }
        for (auto key : keys) willChangeValueForKey(key);
        assign();
        for (auto key : keys) didChangeValueForKey(key);
    }

private:
    /// Whether at least one observer is registered now.
    [[nodiscard]] bool isObserved() const;
    KeyValueObservationRegistry& observationRegistry() const;

    mutable std::atomic<KeyValueObservationRegistry*> observationRegistry_{nullptr};
};

/// Follows a key path starting from a value (used for paths whose head is not an object).
Value valueForKeyPath(const Value& start, std::string_view path);

}  // namespace qor
