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
    /// The role of the class numbered `index` when it is known; false when it is not yet.
    bool recall(std::uint16_t index, Role& role) const noexcept {
        if (index >= states_.size()) return false;
        const std::uint8_t state = states_[index].load(std::memory_order_acquire);
        if (state == kUnknown) return false;
        role = state == kOwner ? Role{true, readers_[index].load(std::memory_order_relaxed)} : Role{};
        return true;
    }
    /// Works out the role of `cls`, numbered `index`, for `attribute`, and remembers it.
    Role learn(std::uint16_t index, const QORPluginAnalyzerClass& cls, const QORPlugInAnalyzerAttribute& attribute);
    /// The same, without remembering it.
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
/// The same for an attribute there is, put in `out`.
void readAttribute(const QORPacket& packet, const QORPlugInAnalyzerAttribute& attribute, Value& out, AttributeOwners* owners);

}  // namespace qor
