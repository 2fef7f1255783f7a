#pragma once
// Byte caches: the interfaces a packet's byte source implements.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "QORPlatform/Data.hpp"

namespace qor {

/// A half-open range of unsigned 32-bit file offsets.
struct UInt32Range {
    std::uint32_t lowerBound = 0;
    std::uint32_t upperBound = 0;
    [[nodiscard]] std::uint32_t count() const { return upperBound - lowerBound; }
    friend bool operator==(const UInt32Range&, const UInt32Range&) = default;
};

/// Values that a byte cache can hold: they encode to bytes (or to nothing, which stores
/// nothing) and decode from them. `Data` conforms with the identity.
template <class T>
struct Cachable;

template <>
struct Cachable<Data> {
    static std::optional<Data> encode(const Data& d) { return d; }
    static Data decode(const Data& d) { return d; }
};

/// The base cache interface over byte ranges.
class CacheProtocol {
public:
    virtual ~CacheProtocol() = default;
    [[nodiscard]] virtual std::optional<Data> getBytes(UInt32Range key) const = 0;
    /// Stores bytes under a key; nothing when `bytes` is nothing.
    virtual void setBytes(std::optional<Data> bytes, UInt32Range key) = 0;
    [[nodiscard]] virtual bool has(UInt32Range key) const = 0;
    virtual void clear() = 0;

    template <class T>
    std::optional<T> get(UInt32Range key) const {
        auto bytes = getBytes(key);
        if (!bytes) return std::nullopt;
        return Cachable<T>::decode(*bytes);
    }
    template <class T>
    void set(const T& object, UInt32Range key) {
        setBytes(Cachable<T>::encode(object), key);
    }
};

/// A cache in memory with a limit on its number of entries.
class MemoryCachingProtocol : public CacheProtocol {
public:
    /// The largest number of entries kept; 0 or less means no limit.
    virtual void setCountLimit(std::int64_t limit) = 0;
    [[nodiscard]] virtual std::size_t entryCount() const = 0;
};

/// What a packet's data-cache slot holds: bytes by exact file range.
class QORDataCachingProtocol {
public:
    virtual ~QORDataCachingProtocol() = default;
    [[nodiscard]] virtual std::shared_ptr<MemoryCachingProtocol> fileCache() const = 0;
    [[nodiscard]] virtual std::optional<Data> object(UInt32Range range) const = 0;
    virtual void set(const Data& data, UInt32Range range) = 0;
    virtual void clearCache() = 0;
    /// A hint that `range` will be asked for soon: a source that can start bringing the bytes
    /// into the processor's caches does so and returns at once. Nothing else changes.
    virtual void prefetch(UInt32Range range) const noexcept { (void)range; }
};

}  // namespace qor
