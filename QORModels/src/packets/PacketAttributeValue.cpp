#include "PacketAttributeValue.hpp"

#include "QORModels/analysis/PluginLookupTable.hpp"

namespace qor {

AttributeOwners::Role AttributeOwners::roleOf(std::uint16_t index, const QORPluginAnalyzerClass& cls,
                                              const QORPlugInAnalyzerAttribute& attribute) {
    // Classes numbered past the index's capacity are never in a stored chain; asked anyway, the
    // answer is worked out each time.
    const bool memo = index < states_.size();
    if (memo) {
        switch (states_[index].load(std::memory_order_acquire)) {
            case kNotOwner: return {};
            case kOwner: return {true, readers_[index].load(std::memory_order_relaxed)};
            default: break;
        }
    }
    const Role role = workOut(cls, attribute);
    if (memo) {
        // Threads that meet a class at once work out the same role and store the same values.
        readers_[index].store(role.reader, std::memory_order_relaxed);
        states_[index].store(role.owns ? kOwner : kNotOwner, std::memory_order_release);
    }
    return role;
}

AttributeOwners::Role AttributeOwners::workOut(const QORPluginAnalyzerClass& cls, const QORPlugInAnalyzerAttribute& attribute) {
    Role role;
    const QORPluginAnalyzerClass& owner = *attribute.plugInAnalyzerClass;
    role.owns = &cls == &owner || cls.isSubclassOf(owner);
    if (role.owns) {
        if (const auto* reading = dynamic_cast<const QORAttributeReading*>(&cls)) role.reader = reading->attributeReader(attribute.attributeKey);
    }
    return role;
}

std::optional<Value> attributeValue(const QORPacket& packet, const QORPlugInAnalyzerAttribute* attribute, AttributeOwners* owners) {
    if (!attribute) return std::nullopt;
    if (!attribute->plugInAnalyzerClass) return Value();
    const auto chain = packet.analysedLinks();
    if (chain.empty()) return Value();
    const ChainLink* owner = nullptr;
    AttributeOwners::Role role;
    std::uint16_t offset = 0;  // of the owner's header: the header sizes before it, in 16 bits
    for (const ChainLink& link : chain.links()) {
        if (const auto* linkClass = AnalyzerClassIndex::classAt(link.classIndex)) {
            role = owners ? owners->roleOf(link.classIndex, *linkClass, *attribute) : AttributeOwners::workOut(*linkClass, *attribute);
            if (role.owns) {
                owner = &link;
                break;
            }
        }
        offset = static_cast<std::uint16_t>(offset + link.protocolSize);
    }
    if (!owner) return Value();
    const auto bytes = packet.data();
    if (!bytes) return Value();
    if (role.reader) return role.reader(attributeSlice(*bytes, offset, *attribute));
    Value value;
    const auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(packet.shared_from_this()));
    CompactAnalyzerChain::inspect(*owner, *bytes, self, [&](const QORPluginAnalyzerProtocol& analyzer) {
        value = analyzer.value(attribute->attributeKey, attributeSlice(*bytes, offset, *attribute));
    });
    return value;
}

}  // namespace qor
