#pragma once
// One key of one class of objects, resolved once and read from many objects.

#include <memory>
#include <string_view>
#include <typeinfo>

#include "QORPlatform/Value.hpp"

namespace qor {

class NSObject;

/// Reads one key of objects of one class without asking each object by the key's name: what a
/// key-path expression keeps, so that a predicate evaluated over many objects (a filter over a
/// packet list) resolves each of its keys once rather than once per object.
///
/// A reader answers exactly what `object.valueForKey(key)` answers. It may serve only some
/// objects (those of the class it was made for, while what it was resolved against is still in
/// force); `read` declines the others and the caller asks them by name. Readers are immutable
/// once made and may be used from any number of threads at once.
class KeyReader {
public:
    KeyReader() = default;
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;
    virtual ~KeyReader();

    /// Puts the key's value for `object` in `out` and gives true; gives false, leaving `out` as
    /// it was, when the reader does not serve `object`.
    virtual bool read(const NSObject& object, Value& out) const = 0;
};

/// Makes the reader of `key` for objects like `object` (null when there is no faster way than
/// the key's name).
using KeyReaderResolver = std::shared_ptr<const KeyReader> (*)(const NSObject& object, std::string_view key);

/// Key readers by class: a library whose class answers its keys faster than by name registers a
/// resolver for the class's exact dynamic type, once, when it loads. Classes without one are
/// read by name. Up to `kCapacity` classes; a later registration for the same type replaces the
/// earlier one. Thread-safe; `resolve` takes no lock.
class KeyReaders {
public:
    static constexpr std::size_t kCapacity = 32;
    /// False when the table is full.
    static bool registerResolver(const std::type_info& type, KeyReaderResolver resolver);
    /// The reader of `key` for objects of `object`'s dynamic type; null when its class has no
    /// resolver or the resolver has no reader for the key.
    static std::shared_ptr<const KeyReader> resolve(const NSObject& object, std::string_view key);
};

}  // namespace qor
