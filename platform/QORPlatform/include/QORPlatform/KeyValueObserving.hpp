#pragma once
// Key-value observing: being told when a property of an object changes.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "QORPlatform/Value.hpp"

namespace qor {

class NSObject;

/// What an observer wants delivered with each change (combine with `|`).
enum KeyValueObservingOptions : unsigned {
    kKeyValueObservingOptionNone = 0,
    /// The value after the change, read with `valueForKeyPath` once the change is made.
    kKeyValueObservingOptionNew = 1,
    /// The value before the change, read with `valueForKeyPath` just before it is made.
    kKeyValueObservingOptionOld = 2,
};

/// One change as an observer sees it. The values are none unless the options asked for them.
struct KeyValueChange {
    std::string_view keyPath;  ///< the key path the observer registered
    Value oldValue;
    Value newValue;
};

/// Called on the thread that made the change, after it is made.
using KeyValueObserver = std::function<void(const NSObject& object, const KeyValueChange& change)>;

/// Names one registration for `removeObserver`; 0 names none.
struct KeyValueObservationToken {
    std::uint64_t id = 0;
    explicit operator bool() const { return id != 0; }
};

}  // namespace qor
