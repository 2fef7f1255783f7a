// The IEEE 802.2 logical link control analyzer ("LLC"), with the SNAP extension that carries ether
// types in IEEE 802.3 frames and in every IEEE 802.11 data frame.

#include <array>
#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

constexpr std::uint8_t kSNAP = 0xAA;
constexpr std::uint8_t kUnnumberedInformation = 0x03;
constexpr std::size_t kSNAPSize = 5;
/// Organisation codes whose protocol id is an ether type: RFC 1042 encapsulation and the 802.1H
/// bridge tunnel.
constexpr std::uint32_t kOUIEncapsulatedEthernet = 0x000000, kOUIBridgeTunnel = 0x0000F8;

constexpr std::array kSAPNames = {
    CodeName{0x00, "NULL LSAP"}, CodeName{0x06, "IP"},   CodeName{0x42, "Spanning Tree BPDU"}, CodeName{0x98, "ARP"},
    CodeName{0xAA, "SNAP"},      CodeName{0xE0, "NetWare"}, CodeName{0xF0, "NetBIOS"},         CodeName{0xFE, "ISO Network Layer"},
};

/// The LLC header (IEEE 802.2 clause 3):
///
///     0  DSAP (1)   1  SSAP (1, low bit: response)   2  control (1 for unnumbered frames,
///                                                        whose two low bits are 1; else 2)
///
/// followed, when both SAPs are 0xAA and the frame is unnumbered information, by the SNAP header
/// (RFC 1042): an organisation code (3) and a protocol id (2), which for the codes 00-00-00 and
/// 00-00-F8 is an ether type. Only such frames carry a protocol on; the other SAPs (spanning
/// tree, NetBIOS, ISO) end the chain here.
struct LlcHeader {
    std::uint8_t dsap = 0, ssap = 0;
    std::uint16_t control = 0;
    std::size_t controlSize = 1;
    std::optional<std::uint32_t> oui;
    std::optional<std::uint16_t> protocolId;

    [[nodiscard]] std::size_t size() const { return 2 + controlSize + (oui ? kSNAPSize : 0); }

    static std::optional<LlcHeader> read(const Data& data) {
        ByteReader r(data);
        auto dsap = r.readU8(), ssap = r.readU8(), first = r.peekU8();
        if (!dsap || !ssap || !first) return std::nullopt;
        LlcHeader h;
        h.dsap = *dsap;
        h.ssap = *ssap;
        if ((*first & 0x03) != 0x03) {
            // Information and supervisory frames have a two-byte control field, low-order byte first.
            auto control = r.readU16le();
            if (!control) return std::nullopt;
            h.control = *control;
            h.controlSize = 2;
            return h;
        }
        h.control = *r.readU8();
        if (h.dsap == kSNAP && (h.ssap & 0xFE) == kSNAP && h.control == kUnnumberedInformation) {
            auto oui = r.readUBE(3);
            auto pid = r.readU16be();
            if (!oui || !pid) return std::nullopt;
            h.oui = static_cast<std::uint32_t>(*oui);
            h.protocolId = *pid;
        }
        return h;
    }
};

class LlcAnalyzer final : public StandardAnalyzer<LlcAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses bytes too short for the header its first bytes announce.
    static bool accepts(const Data& data, const PacketRef&) { return LlcHeader::read(data).has_value(); }

    LlcAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *LlcHeader::read(data);
        setHeaderSize(header.size());
        if (!header.oui || data.size() <= header.size()) return;
        if (*header.oui == kOUIEncapsulatedEthernet || *header.oui == kOUIBridgeTunnel) setNextProtocol(protocolForEtherType(*header.protocolId));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"LLC">(); }

    /// "SNAP, OUI 0x000000, PID 0x0800" or "DSAP Spanning Tree BPDU, SSAP Spanning Tree BPDU".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = LlcHeader::read(data);
        if (!header) return std::nullopt;
        if (header->oui) return fmt::format("SNAP, OUI {}, PID {}", hexText(*header->oui, 6), hexText(*header->protocolId, 4));
        return fmt::format("DSAP {}, SSAP {}", namedHexCode(kSAPNames, header->dsap, 2), namedHexCode(kSAPNames, header->ssap & 0xFE, 2));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = LlcHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Logical-Link Control", protocolInfo(data), header->size())};
        nodes.push_back(field("DSAP", namedHexCode(kSAPNames, header->dsap, 2), 0, 1));
        nodes.push_back(field("SSAP", namedHexCode(kSAPNames, header->ssap & 0xFE, 2) + ((header->ssap & 1) ? " (Response)" : " (Command)"), 1, 1));
        nodes.push_back(field("Control", hexText(header->control, header->controlSize * 2), 2, header->controlSize));
        if (header->oui) {
            nodes.push_back(field("Organization Code", hexText(*header->oui, 6), 3, 3));
            nodes.push_back(field("Type", etherTypeText(*header->protocolId), 6, 2));
        }
        return nodes;
    }

    /// "llcDSAP", "llcSSAP", "snapProtocolId".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        auto header = LlcHeader::read(data);
        if (!header) return {};
        if (key == "llcDSAP") return header->dsap;
        if (key == "llcSSAP") return header->ssap;
        if (key == "snapProtocolId") return Value(header->protocolId);
        return {};
    }
};

const AnalyzerClassRegistration<LlcAnalyzer> kClass{"LlcAnalyzer"};

const QORPluginAnalyzerClass& LlcAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "LLC";
    f.description = "IEEE 802.2 logical link control and SNAP (RFC 1042)";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("LLC")};
    f.attributes = {
        attribute(kClass, "LLC DSAP", "llcDSAP", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kClass, "LLC SSAP", "llcSSAP", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kClass, "SNAP Protocol ID", "snapProtocolId", AttributeValueType::uint16, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
