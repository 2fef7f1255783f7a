// The packet record's key readers: each key a filter names is resolved once per predicate, not
// once per packet (see `KeyReader`).

#include <typeinfo>

#include "PacketAttributeValue.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORPacketKeys.hpp"
#include "QORPlatform/KeyReader.hpp"

namespace qor {
namespace {

/// The packet record `object` is, or null (the class is final: its type says so exactly).
const QORPacket* asPacket(const NSObject& object) {
    return typeid(object) == typeid(QORPacket) ? static_cast<const QORPacket*>(&object) : nullptr;
}

/// A key the record answers itself, through the accessor `valueForKey` calls for it. The
/// record's own keys never change: the reader serves every packet.
class FieldKeyReader final : public KeyReader {
public:
    explicit FieldKeyReader(PacketFieldAccessor accessor) : accessor_(accessor) {}
    bool read(const NSObject& object, Value& out) const override {
        const QORPacket* packet = asPacket(object);
        if (!packet) return false;
        out = accessor_(*packet);
        return true;
    }

private:
    PacketFieldAccessor accessor_;
};

/// A key the record hands to the plug-ins: it serves packets while the plug-in lookup table it
/// was resolved against is in force (a table published since may declare the key otherwise).
class PlugInKeyReader : public KeyReader {
public:
    explicit PlugInKeyReader(std::uint64_t generation) : generation_(generation) {}

protected:
    [[nodiscard]] const QORPacket* served(const NSObject& object) const {
        const QORPacket* packet = asPacket(object);
        return packet && PluginLookupTable::currentGeneration() == generation_ ? packet : nullptr;
    }

private:
    std::uint64_t generation_;
};

/// A plug-in attribute: read from the packet's stored chain, remembering the classes it meets.
class AttributeKeyReader final : public PlugInKeyReader {
public:
    AttributeKeyReader(std::uint64_t generation, QORPlugInAnalyzerAttribute attribute)
        : PlugInKeyReader(generation), attribute_(std::move(attribute)) {}
    bool read(const NSObject& object, Value& out) const override {
        const QORPacket* packet = served(object);
        if (!packet) return false;
        readAttribute(*packet, attribute_, out, &owners_);
        return true;
    }

private:
    QORPlugInAnalyzerAttribute attribute_;
    mutable AttributeOwners owners_;
};

/// Any other key ("description", column bindings, keys nobody answers): asked by name.
class NamedKeyReader final : public PlugInKeyReader {
public:
    NamedKeyReader(std::uint64_t generation, std::string_view key) : PlugInKeyReader(generation), key_(key) {}
    bool read(const NSObject& object, Value& out) const override {
        const QORPacket* packet = served(object);
        if (!packet) return false;
        out = packet->valueForKey(key_);
        return true;
    }

private:
    std::string key_;
};

/// What `valueForKey` does, resolved once: the record's own keys first, then the root object's
/// "description", then the attributes of the plug-in lookup table in force.
std::shared_ptr<const KeyReader> resolvePacketKey(const NSObject&, std::string_view key) {
    if (const PacketFieldAccessor accessor = packetFieldAccessor(key)) return std::make_shared<FieldKeyReader>(accessor);
    std::uint64_t generation = 0;
    const auto table = PluginLookupTable::current(generation);
    if (key != "description") {
        if (const QORPlugInAnalyzerAttribute* attribute = table->attribute(key))
            return std::make_shared<AttributeKeyReader>(generation, *attribute);
    }
    return std::make_shared<NamedKeyReader>(generation, key);
}

[[maybe_unused]] const bool kRegistered = KeyReaders::registerResolver(typeid(QORPacket), &resolvePacketKey);

}  // namespace
}  // namespace qor
