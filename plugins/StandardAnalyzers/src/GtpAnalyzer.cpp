// The GPRS tunnelling protocol user plane analyzer ("GTP", UDP port 2152), the tunnel that
// carries subscribers' IP packets through a mobile core network.

#include <array>
#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

constexpr std::uint8_t kFlagExtension = 0x04, kFlagSequence = 0x02, kFlagNPDU = 0x01;
constexpr std::uint8_t kGPDU = 0xFF;
constexpr std::size_t kMandatorySize = 8;
/// Extension headers followed before the header is taken as malformed.
constexpr std::size_t kMaxExtensions = 16;

constexpr std::array kMessageTypes = {
    CodeName{1, "Echo Request"},     CodeName{2, "Echo Response"}, CodeName{26, "Error Indication"},
    CodeName{31, "Supported Extension Headers Notification"}, CodeName{254, "End Marker"}, CodeName{0xFF, "T-PDU"},
};

/// The GTPv1-U header (3GPP TS 29.281 section 5):
///
///     0  Version (3) | PT (1) | spare (1) | E | S | PN
///     1  Message Type (1)      2  Length (2): the bytes after the first 8
///     4  Tunnel Endpoint Identifier (4)
///     8  Sequence Number (2) | N-PDU Number (1) | Next Extension Header Type (1)   when E, S or PN
///        extension headers: Length (1, in four-byte units) | content | Next Type (1), until type 0
///
/// A T-PDU (message type 255) carries a user's packet, IPv4 or IPv6 by its first nibble; the other
/// messages (echo, error indication, end marker) carry information elements and end the chain.
/// Only version 1 with the protocol type bit set is GTP-U; anything else, or a header whose
/// extensions run past the captured bytes, carries nothing.
struct GtpHeader {
    std::uint8_t flags = 0;
    std::uint8_t type = 0;
    std::uint16_t length = 0;
    std::uint32_t teid = 0;
    std::optional<std::uint16_t> sequence;
    std::size_t size = kMandatorySize;
    bool complete = false;  ///< the optional fields and every extension header are there

    static std::optional<GtpHeader> read(const Data& data) {
        ByteReader r(data);
        auto flags = r.readU8();
        auto type = r.readU8();
        auto length = r.readU16be();
        auto teid = r.readU32be();
        if (!flags || !type || !length || !teid) return std::nullopt;
        GtpHeader h;
        h.flags = *flags;
        h.type = *type;
        h.length = *length;
        h.teid = *teid;
        if (!(h.flags & (kFlagExtension | kFlagSequence | kFlagNPDU))) {
            h.complete = true;
            return h;
        }
        auto sequence = r.readU16be();
        auto npdu = r.readU8();
        auto next = r.readU8();
        if (!sequence || !npdu || !next) return h;
        if (h.flags & kFlagSequence) h.sequence = *sequence;
        h.size = r.offset();
        std::uint8_t nextType = (h.flags & kFlagExtension) ? *next : 0;
        for (std::size_t i = 0; nextType != 0; ++i) {
            auto units = r.peekU8();
            if (i == kMaxExtensions || !units || *units == 0 || !r.canRead(std::size_t(*units) * 4)) return h;
            const std::size_t extension = std::size_t(*units) * 4;
            nextType = *r.peekU8(extension - 1);
            r.skip(extension);
            h.size = r.offset();
        }
        h.complete = true;
        return h;
    }

    [[nodiscard]] bool isUserPlane() const { return (flags >> 5) == 1 && (flags & 0x10); }
};

class GtpAnalyzer final : public StandardAnalyzer<GtpAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses what is not a whole mandatory GTPv1-U header.
    static bool accepts(const Data& data, const PacketRef&) {
        auto header = GtpHeader::read(data);
        return header && header->isUserPlane();
    }

    GtpAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *GtpHeader::read(data);
        setHeaderSize(header.size);
        if (!header.complete || header.type != kGPDU) return;
        auto first = ByteReader(data).peekU8(header.size);
        if (!first) return;
        if ((*first >> 4) == 4) setNextProtocol(fixedName<"IP">());
        else if ((*first >> 4) == 6) setNextProtocol(fixedName<"IPv6">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"GTP">(); }

    /// "Echo Request", "T-PDU, TEID 0x1f2e3d4c".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = GtpHeader::read(data);
        if (!header) return std::nullopt;
        auto info = nameOrUnknown(kMessageTypes, header->type);
        if (header->type == kGPDU) info += ", TEID " + hexText(header->teid, 8);
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = GtpHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("GPRS Tunneling Protocol", protocolInfo(data), header->size)};
        nodes.push_back(field("Flags", hexText(header->flags, 2), 0, 1));
        nodes.push_back(field("Message Type", namedHexCode(kMessageTypes, header->type, 2), 1, 1));
        nodes.push_back(field("Length", std::to_string(header->length), 2, 2));
        nodes.push_back(field("TEID", hexText(header->teid, 8), 4, 4));
        if (header->sequence) nodes.push_back(field("Sequence Number", std::to_string(*header->sequence), 8, 2));
        if (!header->complete) nodes.push_back(field("Malformed", "extension headers run past the captured bytes", 8, header->size - 8));
        return nodes;
    }

    /// "gtpTEID", "gtpMessageType".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "gtpTEID") return Value(fieldU32(data, 4));
        if (key == "gtpMessageType") return Value(fieldU8(data, 1));
        return {};
    }
};

const AnalyzerClassRegistration<GtpAnalyzer> kClass{"GtpAnalyzer"};

const QORPluginAnalyzerClass& GtpAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "GTP";
    f.description = "GPRS Tunnelling Protocol, user plane (3GPP TS 29.281)";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("GTP", {2152}, kQORSourceProtocols::udp, kMandatorySize)};
    f.attributes = {
        attribute(kClass, "GTP TEID", "gtpTEID", AttributeValueType::uint32, 0, kMandatorySize),
        attribute(kClass, "GTP Message Type", "gtpMessageType", AttributeValueType::uint8, 0, kMandatorySize),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
