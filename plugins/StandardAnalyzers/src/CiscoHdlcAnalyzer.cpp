// The Cisco HDLC analyzer ("CHDLC", link type 104): the framing of serial links between routers.

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"

namespace qor::standard {
namespace {

/// The Cisco HDLC header:
///
///     0  address (1): 0x0F unicast, 0x8F broadcast   1  control (1): 0
///     2  protocol (2): an ether type (0x8035 is Cisco's keepalive, SLARP)
///
/// The carried protocol is named by its ether type, as an Ethernet frame's is, except SLARP's,
/// whose keepalives this plug-in does not analyse (on Ethernet the same number is RARP's).
class CiscoHdlcAnalyzer final : public StandardAnalyzer<CiscoHdlcAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::uint32_t kLinkType = 104;
    static constexpr std::uint16_t kSLARP = 0x8035;

    /// Accepts any bytes; a header cut short carries nothing.
    CiscoHdlcAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        auto protocol = fieldU16(data, 2);
        if (protocol && *protocol != kSLARP && data.size() > kHeaderSize) setNextProtocol(protocolForEtherType(*protocol));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"CHDLC">(); }

    /// "Cisco HDLC, Unicast, IPv4 (0x0800)".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto address = fieldU8(data, 0);
        auto protocol = fieldU16(data, 2);
        if (!address || !protocol) return std::nullopt;
        return fmt::format("Cisco HDLC, {}, {}", addressText(*address), protocolText(*protocol));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto address = fieldU8(data, 0);
        auto control = fieldU8(data, 1);
        auto protocol = fieldU16(data, 2);
        if (!address || !control || !protocol) return {};
        NodeList nodes{heading("Cisco HDLC", protocolInfo(data), kHeaderSize)};
        nodes.push_back(field("Address", fmt::format("{} ({})", addressText(*address), hexText(*address, 2)), 0, 1));
        nodes.push_back(field("Control", hexText(*control, 2), 1, 1));
        nodes.push_back(field("Protocol", protocolText(*protocol), 2, 2));
        return nodes;
    }

    /// "chdlcProtocol".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "chdlcProtocol") return Value(fieldU16(data, 2));
        return {};
    }

private:
    static std::string protocolText(std::uint16_t protocol) { return protocol == kSLARP ? "SLARP (0x8035)" : etherTypeText(protocol); }
    static std::string addressText(std::uint8_t address) {
        if (address == 0x0F) return "Unicast";
        if (address == 0x8F) return "Broadcast";
        return "Unknown";
    }
};

const AnalyzerClassRegistration<CiscoHdlcAnalyzer> kClass{"CiscoHdlcAnalyzer"};

const QORPluginAnalyzerClass& CiscoHdlcAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "Cisco HDLC";
    f.description = "Cisco HDLC framing of serial links";
    f.analyzerClass = kClass;
    f.protocols = {linkTypeTarget("CHDLC", CiscoHdlcAnalyzer::kLinkType, CiscoHdlcAnalyzer::kHeaderSize)};
    f.attributes = {attribute(kClass, "Cisco HDLC Protocol", "chdlcProtocol", AttributeValueType::uint16, 0, CiscoHdlcAnalyzer::kHeaderSize)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
