#pragma once
// The root of every object that key-value access and plug-ins reach.

#include <memory>
#include <string>
#include <string_view>

#include "QORPlatform/Value.hpp"

namespace qor {

/// Root object: identity, a description and key-value access.
///
/// Objects live in `std::shared_ptr`. Subclasses answer `valueForKey` for their properties and
/// fall back to `valueForUndefinedKey`, which gives none unless overridden. Thread safety is the
/// subclass's to document.
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
};

/// Follows a key path starting from a value (used for paths whose head is not an object).
Value valueForKeyPath(const Value& start, std::string_view path);

}  // namespace qor
