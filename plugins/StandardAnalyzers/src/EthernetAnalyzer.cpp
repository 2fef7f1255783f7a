// The Ethernet II / IEEE 802.3 link-layer analyzer ("ETH").

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// Ethernet frame header (IEEE 802.3, Ethernet II / DIX):
///
///     0      6      12        14
///     +------+------+---------+---------
///     | dst  | src  | type or | payload (padded to 46 bytes on the wire)
///     | MAC  | MAC  | length  |
///
/// A type/length value up to 1500 is an 802.3 length (the payload is an 802.2 LLC frame of that
/// many bytes, carried as "LLC"); from 0x0600 on it is an ether type, whose protocol name comes
/// from the shared protocol-strings table. Values in between name nothing. Frames shorter than
/// 60 bytes on the wire are padded; the padding is found by the pipeline, which knows where the
/// last header ends.
class EthernetAnalyzer final : public StandardAnalyzer<EthernetAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 14;
    static constexpr std::size_t kAddressSize = 6;
    static constexpr std::size_t kDestinationOffset = 0;
    static constexpr std::size_t kSourceOffset = 6;
    static constexpr std::size_t kTypeOffset = 12;
    /// Values from here on are ether types (IEEE 802.3 clause 3.2.6).
    static constexpr std::uint16_t kMinEtherType = 0x0600;
    static constexpr std::uint16_t kMaxLength = 1500;

    /// Accepts any bytes: any bytes can start an Ethernet frame. A frame cut short shows what is
    /// there and carries nothing.
    EthernetAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        ByteReader r(data);
        auto type = r.load<std::uint16_t>(kTypeOffset, std::endian::native != std::endian::big);
        if (!type || data.size() < kHeaderSize) return;
        type_ = *type;
        if (*type <= kMaxLength || *type >= kMinEtherType) setNextProtocol(protocolForEtherType(*type));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"ETH">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto dst = data.checkedSlice(kDestinationOffset, kAddressSize);
        auto src = data.checkedSlice(kSourceOffset, kAddressSize);
        if (!dst || !src) return std::nullopt;
        return fmt::format("Ethernet II, Src: {}, Dst: {}", macText(src->span()), macText(dst->span()));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field(type_ && *type_ <= kMaxLength ? "IEEE 802.3 Ethernet" : "Ethernet II", "", 0,
                          std::min(data.size(), kHeaderSize));
        root->setNodeValue(protocolInfo(data).value_or("[Truncated]"));
        if (auto dst = data.checkedSlice(kDestinationOffset, kAddressSize))
            addField(root, "Destination", macText(dst->span()), kDestinationOffset, kAddressSize);
        if (auto src = data.checkedSlice(kSourceOffset, kAddressSize))
            addField(root, "Source", macText(src->span()), kSourceOffset, kAddressSize);
        if (auto type = ByteReader(data).peekU16be(kTypeOffset))
            addField(root, *type <= kMaxLength ? "Length" : "Type",
                     *type <= kMaxLength ? std::to_string(*type) : etherTypeText(*type), kTypeOffset, 2);
        if (data.size() < kHeaderSize) addField(root, "Truncated", fmt::format("{} of {} bytes", data.size(), kHeaderSize), 0, data.size());
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "etherSrc" || key == "etherDst") {
            auto bytes = fieldBytes(data, key == "etherSrc" ? kSourceOffset : kDestinationOffset, kAddressSize);
            if (!bytes) return {};
            return macText(*bytes);
        }
        if (key == "etherType") {
            if (auto type = fieldU16(data, kTypeOffset)) return *type;
            return {};
        }
        if (key == "payloadSize") {
            // Only an 802.3 length says where the payload ends; Ethernet II leaves it to the
            // carried protocol.
            if (data.size() < kHeaderSize) return {};
            auto type = ByteReader(data).peekU16be(kTypeOffset);
            if (!type || *type > kMaxLength) return {};
            return static_cast<std::uint16_t>(std::min<std::size_t>(*type, data.size() - kHeaderSize));
        }
        return {};
    }

private:
    std::optional<std::uint16_t> type_;
};

const AnalyzerClassRegistration<EthernetAnalyzer> kClass{"EthernetAnalyzer"};

const QORPluginAnalyzerClass& EthernetAnalyzer::analyzerClass() const { return *kClass; }

/// Link type 1 (LINKTYPE_ETHERNET).
constexpr std::uint32_t kLinkTypeEthernet = 1;

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "Ethernet";
    f.description = "Ethernet II and IEEE 802.3 frames";
    f.analyzerClass = kClass;
    f.protocols = {linkTypeTarget("ETH", kLinkTypeEthernet, EthernetAnalyzer::kHeaderSize)};
    f.attributes = {
        attribute(kClass, "Ethernet Source", "etherSrc", AttributeValueType::string, 6, 6),
        attribute(kClass, "Ethernet Destination", "etherDst", AttributeValueType::string, 0, 6),
        attribute(kClass, "Ethernet Type", "etherType", AttributeValueType::uint16, 12, 2),
    };
    f.columns = {
        containsColumn("Ethernet Source", "etherSrc", AttributeValueType::string),
        containsColumn("Ethernet Destination", "etherDst", AttributeValueType::string),
        containsColumn("Ethernet Type", "etherType", AttributeValueType::uint16),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
