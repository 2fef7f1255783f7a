#pragma once
// A plug-in attribute's value in a packet, read from the packet's stored chain.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "QORDependencies/QORAttributeReading.hpp"
#include "QORDependencies/Records.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// What one attribute's lookup has learnt about the analyzer classes of stored chains, by their
/// number in `AnalyzerClassIndex` (numbers and classes never change once given): whether a class
/// owns the attribute (is its class or derives from it) and, when it does, the class's reader of
/// the attribute (`QORAttributeReading`), if any. Filled on first meeting each class; any number
/// of threads may use one at once.
class AttributeOwners {
public:
    /// How a class stands to the attribute.
    struct Role {
        bool owns = false;
        QORAttributeReading::AttributeReader reader = nullptr;
    };
    /// The role of `cls`, numbered `index`, for `attribute`.
    Role roleOf(std::uint16_t index, const QORPluginAnalyzerClass& cls, const QORPlugInAnalyzerAttribute& attribute);
    /// The same, worked out without remembering it.
    static Role workOut(const QORPluginAnalyzerClass& cls, const QORPlugInAnalyzerAttribute& attribute);

private:
    enum State : std::uint8_t { kUnknown = 0, kNotOwner, kOwner };
    std::array<std::atomic<std::uint8_t>, AnalyzerClassIndex::kCapacity> states_{};
    std::array<std::atomic<QORAttributeReading::AttributeReader>, AnalyzerClassIndex::kCapacity> readers_{};
};

/// The attribute's value from the first header of the packet's chain whose class owns it (the
/// class's attribute reader over the attribute's bytes when it has one, else the analyzer of
/// that header asked with `value(key, data)`); none when the attribute names no class, the
/// packet has no chain or no such header, or its bytes are gone. Nothing for no attribute.
/// `owners`, when given, remembers the classes met, for a caller that reads the same attribute
/// of many packets.
std::optional<Value> attributeValue(const QORPacket& packet, const QORPlugInAnalyzerAttribute* attribute,
                                    AttributeOwners* owners = nullptr);

}  // namespace qor
