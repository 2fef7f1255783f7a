#pragma once
// The immutable plug-in lookup table that packet analysis reads from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QORDependencies/Records.hpp"
#include "QORModels/support/AddressKeyTable.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor {

/// Hash for text keys that also accepts `std::string_view` (lookups allocate nothing).
struct TextKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

template <class V>
using TextKeyMap = std::unordered_map<std::string, V, TextKeyHash, std::equal_to<>>;

/// The bytes of an attribute within a packet's `bytes`: from the offset of the header that owns
/// it plus the attribute's offset, for the attribute's length (clamped to the bytes that exist;
/// nothing when it starts past them).
inline Data attributeSlice(const Data& bytes, std::uint16_t ownerOffset, const QORPlugInAnalyzerAttribute& attribute) {
    const std::uint64_t from = std::uint64_t{ownerOffset} + attribute.attributeOffset;
    if (from > bytes.size()) return Data();
    return bytes.slice(static_cast<std::size_t>(from), attribute.attributeLength);
}

/// A snapshot of the plug-in registry for packets: protocol names to analyzer classes and
/// header sizes, attribute keys to attribute records, and every column key path with the
/// analyzer class of its plug-in (in plug-in order).
///
/// Thread safety: a table is never changed after it is built. The process-wide current table is
/// replaced whole by `publish` (one reference swap under a lock held only for the swap); `current()` may be called from any
/// thread and the caller keeps using the table it got even when a newer one is published.
struct PluginLookupTable {
    TextKeyMap<AnalyzerClassRef> analyzerClassByProtocol;
    TextKeyMap<std::uint32_t> headerSizeByProtocol;
    TextKeyMap<QORPlugInAnalyzerAttribute> attributeByKey;
    std::vector<std::pair<std::string, AnalyzerClassRef>> columnBindings;
    /// The IP address attribute pairs an analyzer class answers (see `addressRoles`).
    enum AddressRole : std::uint8_t { kIPv4Addresses = 1, kIPv6Addresses = 2 };
    /// A protocol's analyzer class with the address pairs it answers and its number in
    /// `AnalyzerClassIndex` (0 when the index is full).
    struct ProtocolClass {
        AnalyzerClassRef cls;
        std::uint8_t addressRoles = 0;
        std::uint16_t chainIndex = 0;
    };
    /// `analyzerClassByProtocol` again, keyed by the interned protocol names (their identities),
    /// each class with its address roles and its class number worked out once (filled by
    /// `build`), so that a walk step looks up neither.
    AddressKeyTable<ProtocolClass> analyzerClassByInternedProtocol;

    /// The attributes a packet reads for its source and destination columns, looked up once by
    /// `build` (every listed packet reads two of them): absent when no plug-in declares one.
    struct EndpointAttributes {
        std::optional<QORPlugInAnalyzerAttribute> etherSrc, etherDst, ip4Src, ip4Dst, ip6Src, ip6Dst;
    };
    EndpointAttributes endpointAttributes;

    /// The attribute record of `key`, or null.
    [[nodiscard]] const QORPlugInAnalyzerAttribute* attribute(std::string_view key) const {
        auto it = attributeByKey.find(key);
        return it == attributeByKey.end() ? nullptr : &it->second;
    }

    /// The address pairs `cls` answers: `kIPv4Addresses` when "ip4SrcAddr" and "ip4DstAddr" are
    /// attributes of one class and `cls` is that class or derives from it, `kIPv6Addresses` the
    /// same for "ip6SrcAddr" and "ip6DstAddr".
    [[nodiscard]] std::uint8_t addressRoles(const QORPluginAnalyzerClass& cls) const;

    /// An analyzer class found for a protocol name, with its `addressRoles` and its number in
    /// `AnalyzerClassIndex` (0 when the index is full); `cls` is null when there is none.
    struct FoundClass {
        const AnalyzerClassRef* cls = nullptr;
        std::uint8_t addressRoles = 0;
        std::uint16_t chainIndex = 0;
    };
    /// The analyzer class for a protocol name: through the interned keys when the table has
    /// them (with what `build` worked out), else through the text keys.
    [[nodiscard]] FoundClass analyzerClass(InternedString protocol) const;

    /// The table in force (at first, one with empty maps and an empty list).
    static std::shared_ptr<const PluginLookupTable> current();
    /// The same, with the table's generation in `generation`: every `publish` makes a new one.
    static std::shared_ptr<const PluginLookupTable> current(std::uint64_t& generation);
    /// The generation of the table in force (one atomic load): what something resolved against
    /// a table compares with the generation it noted, to know that table is still in force.
    static std::uint64_t currentGeneration() noexcept;
    /// Replaces the table in force.
    static void publish(std::shared_ptr<const PluginLookupTable> table);

    /// Builds a table from plug-in structures (element 0 is the built-in packet plug-in, whose
    /// attributes are not entered): protocols and columns of every structure that has an
    /// analyzer class, later structures overwriting earlier ones for the same name.
    static std::shared_ptr<const PluginLookupTable> build(const std::vector<QORPlugInStructure>& structures);
};

}  // namespace qor
