// The IEEE 802.1Q VLAN tag analyzer ("VLAN", ether types 0x8100, 0x88A8 and 0x9100).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The tag that follows the ether type 0x8100 (802.1Q), 0x88A8 (802.1ad S-tag) or 0x9100:
///
///     0                   1                   2                   3
///     0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
///     +-----+-+-----------------------+-------------------------------+
///     | PCP |D|         VID           |    ether type or length       |
///     +-----+-+-----------------------+-------------------------------+
///
/// PCP is the priority code point, D the drop-eligible indicator, VID the VLAN identifier. The
/// inner type chooses the carried protocol as in Ethernet (another tag for stacked VLANs).
class VlanAnalyzer final : public StandardAnalyzer<VlanAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::size_t kTypeOffset = 2;
    static constexpr std::uint16_t kVidMask = 0x0FFF;
    static constexpr std::uint16_t kMinEtherType = 0x0600;
    static constexpr std::uint16_t kMaxLength = 1500;

    /// Never refuses; a tag cut short shows what is there and carries nothing.
    VlanAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        ByteReader r(data);
        auto tci = r.readU16be();
        auto type = r.readU16be();
        if (!tci || !type) return;
        if (*type <= kMaxLength || *type >= kMinEtherType) setNextProtocol(protocolForEtherType(*type));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"VLAN">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto tci = ByteReader(data).peekU16be();
        if (!tci) return std::nullopt;
        return fmt::format("PRI: {}  DEI: {}  ID: {}", *tci >> 13, (*tci >> 12) & 1, *tci & kVidMask);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("802.1Q Virtual LAN", "", 0, std::min(data.size(), kHeaderSize));
        ByteReader r(data);
        auto tci = r.readU16be();
        auto type = r.readU16be();
        if (!tci) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        root->setNodeValue(*protocolInfo(data));
        addField(root, "Priority", std::to_string(*tci >> 13), 0, 1);
        addField(root, "DEI", std::to_string((*tci >> 12) & 1), 0, 1);
        addField(root, "ID", std::to_string(*tci & kVidMask), 0, 2);
        if (type)
            addField(root, *type <= kMaxLength ? "Length" : "Type",
                     *type <= kMaxLength ? std::to_string(*type) : etherTypeText(*type), kTypeOffset, 2);
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "vlanId" || key == "vlanPriority" || key == "vlanDEI") {
            auto tci = fieldU16(data, 0);
            if (!tci) return {};
            if (key == "vlanId") return static_cast<std::uint16_t>(*tci & kVidMask);
            if (key == "vlanPriority") return static_cast<std::uint16_t>(*tci >> 13);
            return static_cast<std::uint16_t>((*tci >> 12) & 1);
        }
        if (key == "vlanType") {
            if (auto type = fieldU16(data, kTypeOffset)) return *type;
            return {};
        }
        if (key == "payloadSize") {
            auto type = ByteReader(data).peekU16be(kTypeOffset);
            if (!type || *type > kMaxLength || data.size() < kHeaderSize) return {};
            return static_cast<std::uint16_t>(std::min<std::size_t>(*type, data.size() - kHeaderSize));
        }
        return {};
    }
};

const AnalyzerClassRegistration<VlanAnalyzer> kClass{"VlanAnalyzer"};

const QORPluginAnalyzerClass& VlanAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "VLAN";
    f.description = "IEEE 802.1Q and 802.1ad VLAN tags";
    f.analyzerClass = kClass;
    f.protocols = {
        etherTypeTarget("VLAN", 0x8100, VlanAnalyzer::kHeaderSize),
        etherTypeTarget("VLAN", 0x88A8, VlanAnalyzer::kHeaderSize),
        etherTypeTarget("VLAN", 0x9100, VlanAnalyzer::kHeaderSize),
    };
    // The attribute bytes are the TCI; the outermost tag is the one a packet's key lookup finds.
    f.attributes = {
        attribute(kClass, "VLAN ID", "vlanId", AttributeValueType::uint16, 0, 2),
        attribute(kClass, "VLAN Priority", "vlanPriority", AttributeValueType::uint16, 0, 2),
        attribute(kClass, "VLAN Drop Eligible", "vlanDEI", AttributeValueType::uint16, 0, 2),
        attribute(kClass, "VLAN Type", "vlanType", AttributeValueType::uint16, 2, 2),
    };
    f.columns = {
        column("VLAN ID", "vlanId", "VLAN ID is", "vlanId == $value", AttributeValueType::uint16),
        containsColumn("VLAN Priority", "vlanPriority", AttributeValueType::uint16),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
