#include "PacketAttributeValue.hpp"

#include "PacketReadScope.hpp"
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

namespace {

/// `value` as a reader made it from a view of `bytes`, holding `bytes`' storage wherever it
/// holds bytes of the view: a reader may hand back a slice of what it was given, and that slice
/// must outlive the view.
void keepViewedBytes(Value& value, const Data& bytes) {
    const auto within = [&](const Data& d) {
        return !d.owner() && !d.empty() && d.data() >= bytes.data() && d.data() + d.size() <= bytes.data() + bytes.size();
    };
    if (const Data* d = std::get_if<Data>(&value.storage())) {
        if (within(*d)) value = Value(Data::wrap(bytes.owner(), d->span()));
    } else if (const Value::List* list = value.asList()) {
        Value::List kept = *list;
        for (Value& item : kept) keepViewedBytes(item, bytes);
        value = Value(std::move(kept));
    }
}

/// `readAttribute` with the packet's reads in `scope`.
void readAttributeIn(PacketReadScope& scope, const QORPacket& packet, const QORPlugInAnalyzerAttribute& attribute, Value& out,
                     AttributeOwners* owners) {
    const CompactAnalyzerChain& chain = scope.links();
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
    const auto& bytes = scope.bytes();
    if (!bytes) return;
    if (role.reader) {
        // Readers are plain functions that look at the bytes during the call.
        out = role.reader(attributeSlice(bytes->unownedView(), offset, attribute));
        keepViewedBytes(out, *bytes);
        return;
    }
    const auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(packet.shared_from_this()));
    CompactAnalyzerChain::inspect(*owner, *bytes, self, [&](const QORPluginAnalyzerProtocol& analyzer) {
        out = analyzer.value(attribute.attributeKey, attributeSlice(*bytes, offset, attribute));
    });
}

}  // namespace

void readAttribute(const QORPacket& packet, const QORPlugInAnalyzerAttribute& attribute, Value& out, AttributeOwners* owners) {
    out = Value();
    if (!attribute.plugInAnalyzerClass) return;
    // Reads of one packet in one evaluation share one fetch of its links and bytes.
    if (PacketReadScope* scope = PacketReadScope::open(packet)) {
        readAttributeIn(*scope, packet, attribute, out, owners);
        return;
    }
    PacketReadScope scope(packet);
    readAttributeIn(scope, packet, attribute, out, owners);
}

}  // namespace qor
