#include "PacketAttributeValue.hpp"

#include "QORModels/analysis/PluginLookupTable.hpp"

namespace qor {

AttributeOwners::Role AttributeOwners::learn(std::uint16_t index, const QORPluginAnalyzerClass& cls,
                                             const QORPlugInAnalyzerAttribute& attribute) {
    const Role role = workOut(cls, attribute);
    // Classes numbered past the index's capacity are never in a stored chain; met anyway, their
    // role is worked out each time. Threads that meet a class at once store the same values.
    if (index < states_.size()) {
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
    Value value;
    readAttribute(packet, *attribute, value, owners);
    return value;
}

void readAttribute(const QORPacket& packet, const QORPlugInAnalyzerAttribute& attribute, Value& out, AttributeOwners* owners) {
    out = Value();
    if (!attribute.plugInAnalyzerClass) return;
    const auto chain = packet.analysedLinks();
    const ChainLink* owner = nullptr;
    AttributeOwners::Role role;
    std::uint16_t offset = 0;  // of the owner's header: the header sizes before it, in 16 bits
    for (const ChainLink& link : chain.links()) {
        if (!owners || !owners->recall(link.classIndex, role)) {
            const auto* linkClass = AnalyzerClassIndex::classAt(link.classIndex);
            role = !linkClass ? AttributeOwners::Role{}
                   : owners   ? owners->learn(link.classIndex, *linkClass, attribute)
                              : AttributeOwners::workOut(*linkClass, attribute);
        }
        if (role.owns) {
            owner = &link;
            break;
        }
        offset = static_cast<std::uint16_t>(offset + link.protocolSize);
    }
    if (!owner) return;
    const auto bytes = packet.data();
    if (!bytes) return;
    if (role.reader) {
        out = role.reader(attributeSlice(*bytes, offset, attribute));
        return;
    }
    const auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(packet.shared_from_this()));
    CompactAnalyzerChain::inspect(*owner, *bytes, self, [&](const QORPluginAnalyzerProtocol& analyzer) {
        out = analyzer.value(attribute.attributeKey, attributeSlice(*bytes, offset, attribute));
    });
}

}  // namespace qor
