// The UDP analyzer ("UDP", IP protocol 17).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "AttributeReadingClass.hpp"
#include "ContentProbes.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "TransportAnalyzerClass.hpp"

namespace qor::standard {
namespace {

/// The UDP header (RFC 768):
///
///     0  source port (2)     2  destination port (2)
///     4  length (2)          6  checksum (2)
///     8  payload (length - 8 bytes)
///
/// The payload runs to the length field, clamped to the captured bytes. A length below 8 lies:
/// the chain ends here. The carried protocol is the one an analyzer claimed for the lower port,
/// else for the other port, unless that analyzer refuses the payload; a payload no port explains
/// goes by its content (`carriedProtocol`). A datagram without payload carries nothing.
class UdpAnalyzer final : public StandardAnalyzer<UdpAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 8;

    /// Never refuses; a header cut short shows what is there and carries nothing.
    UdpAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        auto payload = payloadLength(data);
        if (!payload || *payload == 0) return;
        ByteReader r(data);
        setNextProtocol(carriedProtocol(Transport::udp, *r.peekU16be(0), *r.peekU16be(2), data.slice(kHeaderSize, *payload), packet));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"UDP">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        ByteReader r(data);
        if (!r.canRead(kHeaderSize)) return std::nullopt;
        auto length = *r.peekU16be(4);
        if (length < kHeaderSize) return fmt::format("{} → {} [Bad length {}]", *r.peekU16be(0), *r.peekU16be(2), length);
        return fmt::format("{} → {} Len={}", *r.peekU16be(0), *r.peekU16be(2), length - kHeaderSize);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("User Datagram Protocol", "", 0, protocolSize());
        ByteReader r(data);
        auto sp = r.peekU16be(0), dp = r.peekU16be(2), length = r.peekU16be(4), checksum = r.peekU16be(6);
        if (sp) addField(root, "Source Port", std::to_string(*sp), 0, 2);
        if (dp) addField(root, "Destination Port", std::to_string(*dp), 2, 2);
        if (!length || !checksum) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        root->setNodeValue(fmt::format("Src Port: {}, Dst Port: {}", *sp, *dp));
        auto lengthNode = addField(root, "Length", std::to_string(*length), 4, 2);
        if (*length < kHeaderSize) addField(lengthNode, "Expert Info", fmt::format("Bad length value {} < {}", *length, kHeaderSize), 4, 2);
        else if (*length > data.size()) addField(lengthNode, "Expert Info", fmt::format("Length {} runs past the {} captured bytes", *length, data.size()), 4, 2);
        addField(root, "Checksum", *checksum == 0 ? std::string("0x0000 [zero-value ignored]") : hexText(*checksum, 4) + " [unverified]", 6, 2);
        if (auto payload = payloadLength(data); payload && *payload)
            addField(root, "UDP payload", fmt::format("{} bytes", *payload), kHeaderSize, *payload);
        return {root};
    }

    /// The attributes that are one field of the header, read from their bytes alone (the
    /// packet's attribute lookup reads them without making an analyzer).
    static QORAttributeReading::AttributeReader attributeReader(std::string_view key) {
        if (auto port = transportPortReader(key)) return port;
        if (key == "udpLength") return &numberField<std::uint16_t, 4>;
        return nullptr;
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (auto read = attributeReader(key)) return read(data);
        if (key == "payloadSize") {
            if (auto payload = payloadLength(data)) return static_cast<std::uint16_t>(*payload);
            return {};
        }
        return {};
    }

private:
    /// Length − 8, clamped to the captured bytes; nothing when the header is cut short or lies.
    static std::optional<std::size_t> payloadLength(const Data& data) {
        auto length = ByteReader(data).peekU16be(4);
        if (!length || data.size() < kHeaderSize || *length < kHeaderSize) return std::nullopt;
        return std::min<std::size_t>(*length, data.size()) - kHeaderSize;
    }
};

const AttributeReadingClassRegistration<UdpAnalyzer> kClass{"UdpAnalyzer", transportAnalyzerClass().get()};

const QORPluginAnalyzerClass& UdpAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "UDP";
    f.description = "User Datagram Protocol";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("UDP", UdpAnalyzer::kHeaderSize)};
    // The port attributes are shared with TCP (same records, owned by the transport superclass);
    // their columns are registered once, by TCP.
    const auto& transport = transportAnalyzerClass();
    f.attributes = {
        attribute(transport, "Source Port", "srcPort", AttributeValueType::uint16, kSourcePortOffset, 2),
        attribute(transport, "Destination Port", "dstPort", AttributeValueType::uint16, kDestinationPortOffset, 2),
        attribute(kClass, "UDP Length", "udpLength", AttributeValueType::uint16, 4, 2),
    };
    f.columns = {containsColumn("UDP Length", "udpLength", AttributeValueType::uint16)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
