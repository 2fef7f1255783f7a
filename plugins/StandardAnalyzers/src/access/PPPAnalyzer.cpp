// The PPP frame analyzer ("PPP"): address/control and protocol fields, then the carried protocol.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard::access {
namespace {

/// PPP protocol numbers (RFC 1661 and the IANA PPP DLL protocol registry), with the name of the
/// analyzer that carries on where one exists.
struct PPPProtocol {
    std::uint16_t number;
    std::string_view title;
    std::string_view next;
};
constexpr std::array kProtocols = {
    PPPProtocol{0x0021, "Internet Protocol version 4", "IP"},
    PPPProtocol{0x0057, "Internet Protocol version 6", "IPv6"},
    PPPProtocol{0xC021, "Link Control Protocol", "LCP"},
    PPPProtocol{0xC023, "Password Authentication Protocol", "PAP"},
    PPPProtocol{0xC223, "Challenge Handshake Authentication Protocol", "CHAP"},
    PPPProtocol{0x8021, "Internet Protocol Control Protocol", "IPCP"},
    PPPProtocol{0x8057, "IPv6 Control Protocol", "IPv6CP"},
    PPPProtocol{0x80FD, "Compression Control Protocol", "CCP"},
    PPPProtocol{0x80FB, "Individual Link Compression Control Protocol", ""},
    PPPProtocol{0x00FD, "Compressed datagram", ""},
    PPPProtocol{0x00FB, "Individual link compressed datagram", ""},
    PPPProtocol{0x002D, "Van Jacobson Compressed TCP/IP", ""},
    PPPProtocol{0x002F, "Van Jacobson Uncompressed TCP/IP", ""},
    PPPProtocol{0x003D, "Multi-Link", ""},
    PPPProtocol{0x0281, "MPLS Unicast", ""},
    PPPProtocol{0x0283, "MPLS Multicast", ""},
    PPPProtocol{0x8281, "MPLS Control Protocol", ""},
    PPPProtocol{0xC025, "Link Quality Report", ""},
    PPPProtocol{0xC02B, "Bandwidth Allocation Control Protocol", ""},
    PPPProtocol{0xC227, "Extensible Authentication Protocol", ""},
};

const PPPProtocol* findProtocol(std::uint16_t number) {
    for (const auto& p : kProtocols)
        if (p.number == number) return &p;
    return nullptr;
}

std::string protocolText(std::uint16_t number) {
    auto p = findProtocol(number);
    return p ? std::string(p->title) + " (" + hexText(number, 4) + ")" : "Unknown (" + hexText(number, 4) + ")";
}

/// The fields in front of the carried packet.
struct PPPHeader {
    bool hasAddressControl = false;  ///< the optional FF 03 (absent with address/control compression)
    bool compressedProtocol = false; ///< a one-byte protocol field (protocol-field compression)
    std::uint16_t protocol = 0;
    std::size_t size = 0;

    /// Reads the header; nothing when the protocol field is not all there.
    ///
    ///     +----------+----------+----------------+-----------
    ///     | Address  | Control  |   Protocol     | Information
    ///     |   0xFF   |   0x03   | 8 or 16 bits   |
    ///     +----------+----------+----------------+-----------
    ///
    /// Address and control are optional (RFC 1661 section 6.6; L2TP and PPPoE frames often leave
    /// them out). A protocol field whose first byte is odd is the one-byte compressed form (RFC
    /// 1661 section 6.5): valid protocol numbers have an even high byte and an odd low byte.
    static std::optional<PPPHeader> read(const Data& data) {
        ByteReader r(data);
        PPPHeader h;
        if (r.peekU8(0) == 0xFF && r.peekU8(1) == 0x03) {
            h.hasAddressControl = true;
            r.skip(2);
        }
        auto first = r.peekU8();
        if (!first) return std::nullopt;
        if (*first & 1) {
            h.compressedProtocol = true;
            h.protocol = *r.readU8();
        } else {
            auto p = r.readU16be();
            if (!p) return std::nullopt;
            h.protocol = *p;
        }
        h.size = r.offset();
        return h;
    }
};

/// A PPP frame's header, as carried by PPPoE, L2TP and GRE (RFC 1661, RFC 1662).
class PPPAnalyzer final : public StandardAnalyzer<PPPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses bytes without a whole protocol field.
    static bool accepts(const Data& data, const PacketRef&) { return PPPHeader::read(data).has_value(); }

    /// Carries the protocol's analyzer, when there is one and bytes after the header to analyse.
    PPPAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *PPPHeader::read(data);
        setHeaderSize(header.size);
        auto p = findProtocol(header.protocol);
        if (p && !p->next.empty() && data.size() > header.size) setNextProtocol(InternedString(p->next));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PPP">(); }

    /// The carried protocol's title: "Link Control Protocol".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPHeader::read(data);
        if (!header) return std::nullopt;
        auto p = findProtocol(header->protocol);
        return p ? std::string(p->title) : "Protocol " + hexText(header->protocol, 4);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Point-to-Point Protocol", protocolInfo(data), header->size)};
        if (header->hasAddressControl) {
            nodes.push_back(field("Address", "0xff", 0, 1));
            nodes.push_back(field("Control", "0x03", 1, 1));
        }
        std::size_t at = header->hasAddressControl ? 2 : 0;
        nodes.push_back(field("Protocol", protocolText(header->protocol), at, header->compressedProtocol ? 1 : 2));
        return nodes;
    }

    /// "pppProtocol": the protocol number.
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "pppProtocol") {
            auto header = PPPHeader::read(data);
            if (!header) return {};
            return Value(static_cast<unsigned>(header->protocol));
        }
        return {};
    }
};

constexpr std::uint32_t kLinkTypePPP = 9;

const AnalyzerClassRegistration<PPPAnalyzer> kClass{"PPPAnalyzer"};

const QORPluginAnalyzerClass& PPPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "PPP";
    f.description = "Point-to-Point Protocol frames (RFC 1661) as PPPoE, L2TP and GRE carry them";
    f.analyzerClass = kClass;
    // LINKTYPE_PPP (9): PPP frames with address and control, as pppd captures them.
    auto linkType = namedTarget("PPP");
    linkType.linktype = kLinkTypePPP;
    f.protocols = {namedTarget("PPP"), linkType};
    f.attributes = {attribute(kClass, "PPP Protocol", "pppProtocol", AttributeValueType::uint16, 0, kToEndOfHeader)};
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
