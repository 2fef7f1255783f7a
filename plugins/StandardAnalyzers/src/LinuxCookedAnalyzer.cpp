// The Linux cooked capture analyzer: version 1 ("SLL", link type 113) and version 2 ("SLL2",
// link type 276).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The pseudo link-layer header that Linux writes for captures on "any" and on devices without
/// a link layer of their own (see the tcpdump.org LINKTYPE_LINUX_SLL and _SLL2 pages).
///
/// Version 1, 16 bytes:               Version 2, 20 bytes:
///     0  packet type (2)                 0  protocol type (2)
///     2  ARPHRD type (2)                 2  reserved (2)
///     4  address length (2)              4  interface index (4)
///     6  address (8, zero-padded)        8  ARPHRD type (2)
///     14 protocol type (2)               10 packet type (1)
///                                        11 address length (1)
///                                        12 address (8, zero-padded)
///
/// The protocol type is an ether type, except for the Linux values 0x0001 (Novell 802.3) and
/// 0x0004 (802.2 LLC). The analyzer tells the versions apart by the packet's link type when it
/// has one, else by the first field: a packet type is at most 4, a protocol type is larger.
class LinuxCookedAnalyzer final : public StandardAnalyzer<LinuxCookedAnalyzer> {
public:
    static constexpr std::size_t kV1HeaderSize = 16;
    static constexpr std::size_t kV2HeaderSize = 20;
    static constexpr std::size_t kAddressCapacity = 8;
    static constexpr std::size_t kV1AddressOffset = 6;
    static constexpr std::size_t kV2AddressOffset = 12;
    static constexpr std::uint16_t kMaxPacketType = 4;
    static constexpr std::uint16_t kProtocolLLC = 0x0004;
    static constexpr std::uint16_t kMinEtherType = 0x0600;
    static constexpr std::uint32_t kLinkTypeV1 = 113;
    static constexpr std::uint32_t kLinkTypeV2 = 276;

    /// Accepts any bytes; a header cut short shows what is there and carries nothing.
    LinuxCookedAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), v2_(isV2(data, packet)) {
        setHeaderSize(headerSize());
        if (data.size() < headerSize()) return;
        auto protocol = *ByteReader(data).peekU16be(v2_ ? 0 : 14);
        if (protocol == kProtocolLLC) setNextProtocol(fixedName<"LLC">());
        else if (protocol >= kMinEtherType) setNextProtocol(protocolForEtherType(protocol));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return v2_ ? fixedName<"SLL2">() : fixedName<"SLL">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto h = read(data);
        if (!h) return std::nullopt;
        return fmt::format("Linux cooked capture v{}, {}, Src: {}", v2_ ? 2 : 1, nameFor(kPacketTypes, h->packetType),
                           h->address);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field(v2_ ? "Linux cooked capture v2" : "Linux cooked capture v1", "", 0,
                          std::min(data.size(), headerSize()));
        auto h = read(data);
        if (!h) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        root->setNodeValue(*protocolInfo(data));
        std::string protocolText = h->protocol == kProtocolLLC ? "802.2 LLC (0x0004)" : etherTypeText(h->protocol);
        if (v2_) {
            addField(root, "Protocol", protocolText, 0, 2);
            addField(root, "Reserved (MBZ)", hexText(h->reserved, 4), 2, 2);
            addField(root, "Interface index", std::to_string(h->interfaceIndex), 4, 4);
            addField(root, "Link-layer address type", std::to_string(h->arphrd), 8, 2);
            addField(root, "Packet type", nameWithCode(kPacketTypes, h->packetType), 10, 1);
            addField(root, "Link-layer address length", std::to_string(h->addressLength), 11, 1);
            addField(root, "Source", h->address, kV2AddressOffset, kAddressCapacity);
        } else {
            addField(root, "Packet type", nameWithCode(kPacketTypes, h->packetType), 0, 2);
            addField(root, "Link-layer address type", std::to_string(h->arphrd), 2, 2);
            addField(root, "Link-layer address length", std::to_string(h->addressLength), 4, 2);
            addField(root, "Source", h->address, kV1AddressOffset, kAddressCapacity);
            addField(root, "Protocol", protocolText, 14, 2);
        }
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "sllSrc" || key == "sll2Src") {
            auto bytes = fieldBytes(data, key == "sllSrc" ? kV1AddressOffset : kV2AddressOffset, kAddressCapacity);
            if (!bytes) return {};
            return addressText(*bytes, kAddressCapacity);
        }
        if (key == "sllPacketType") {
            auto h = read(data);
            if (!h) return {};
            return nameFor(kPacketTypes, h->packetType);
        }
        return {};
    }

private:
    static constexpr CodeName kPacketTypes[] = {
        {0, "Unicast to us"}, {1, "Broadcast"}, {2, "Multicast"}, {3, "Unicast to another host"}, {4, "Sent by us"},
    };

    struct Header {
        std::uint16_t packetType = 0, arphrd = 0, addressLength = 0, protocol = 0, reserved = 0;
        std::uint32_t interfaceIndex = 0;
        std::string address;
    };

    static bool isV2(const Data& data, const PacketRef& packet) {
        if (packet && packet->linkType() == kLinkTypeV1) return false;
        if (packet && packet->linkType() == kLinkTypeV2) return true;
        return ByteReader(data).peekU16be().value_or(0) > kMaxPacketType;
    }

    [[nodiscard]] std::size_t headerSize() const { return v2_ ? kV2HeaderSize : kV1HeaderSize; }

    /// The address bytes the length field names (at most the 8 the header holds); when the
    /// length is absent or zero, the six bytes of a MAC-48 address if the rest is zero.
    static std::string addressText(std::span<const std::byte> bytes, std::size_t length) {
        if (length > bytes.size()) length = bytes.size();
        ByteReader r(bytes);
        if (length == kAddressCapacity && r.peekU16be(6) == 0) length = 6;
        return macText(*r.readBytes(length));
    }

    [[nodiscard]] std::optional<Header> read(const Data& data) const {
        ByteReader r(data);
        if (!r.canRead(headerSize())) return std::nullopt;
        Header h;
        std::span<const std::byte> address;
        if (v2_) {
            h.protocol = *r.readU16be();
            h.reserved = *r.readU16be();
            h.interfaceIndex = *r.readU32be();
            h.arphrd = *r.readU16be();
            h.packetType = *r.readU8();
            h.addressLength = *r.readU8();
            address = *r.readBytes(kAddressCapacity);
        } else {
            h.packetType = *r.readU16be();
            h.arphrd = *r.readU16be();
            h.addressLength = *r.readU16be();
            address = *r.readBytes(kAddressCapacity);
            h.protocol = *r.readU16be();
        }
        h.address = h.addressLength ? macText(address.first(std::min<std::size_t>(h.addressLength, kAddressCapacity)))
                                    : std::string();
        return h;
    }

    bool v2_;
};

const AnalyzerClassRegistration<LinuxCookedAnalyzer> kClass{"LinuxCookedAnalyzer"};

const QORPluginAnalyzerClass& LinuxCookedAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "Linux cooked capture";
    f.description = "Linux cooked capture pseudo-headers, versions 1 and 2";
    f.analyzerClass = kClass;
    f.protocols = {
        linkTypeTarget("SLL", LinuxCookedAnalyzer::kLinkTypeV1, LinuxCookedAnalyzer::kV1HeaderSize),
        linkTypeTarget("SLL2", LinuxCookedAnalyzer::kLinkTypeV2, LinuxCookedAnalyzer::kV2HeaderSize),
    };
    f.attributes = {
        attribute(kClass, "Linux Cooked Source", "sllSrc", AttributeValueType::string, 6, 8),
        attribute(kClass, "Linux Cooked v2 Source", "sll2Src", AttributeValueType::string, 12, 8),
        attribute(kClass, "Linux Cooked Packet Type", "sllPacketType", AttributeValueType::string, 0, 20),
    };
    f.columns = {
        containsColumn("Linux Cooked Source", "sllSrc", AttributeValueType::string),
        containsColumn("Linux Cooked Packet Type", "sllPacketType", AttributeValueType::string),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
