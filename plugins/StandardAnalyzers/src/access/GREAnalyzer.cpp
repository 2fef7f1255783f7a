// The Generic Routing Encapsulation analyzer ("GRE", IP protocol 47), including PPTP's enhanced
// GRE that carries PPP.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor::standard::access {
namespace {

constexpr std::uint16_t kFlagChecksum = 0x8000, kFlagRouting = 0x4000, kFlagKey = 0x2000, kFlagSequence = 0x1000,
                        kFlagStrictRoute = 0x0800, kFlagAck = 0x0080, kVersionMask = 0x0007;
constexpr std::uint16_t kVersionEnhanced = 1;

/// Protocol types the chain continues with; any other ether type is looked up in the shared
/// ether-type names.
constexpr std::array kCarried = {
    CodeName{0x880B, "PPP"}, CodeName{0x0800, "IP"}, CodeName{0x86DD, "IPv6"}, CodeName{0x6558, "ETH"},
    CodeName{0x88BE, "ERSPAN"}, CodeName{0x22EB, "ERSPAN"},
};
/// ERSPAN's protocol type: a packet without a sequence number is ERSPAN type I, whose mirrored
/// Ethernet frame follows the GRE header directly; with one, an ERSPAN type II header comes first.
constexpr std::uint16_t kERSPAN = 0x88BE;
constexpr std::array kProtocolTitles = {
    CodeName{0x880B, "PPP"}, CodeName{0x0800, "IPv4"}, CodeName{0x86DD, "IPv6"},
    CodeName{0x6558, "Transparent Ethernet Bridging"}, CodeName{0x8847, "MPLS"}, CodeName{0x88BE, "ERSPAN"}, CodeName{0x22EB, "ERSPAN type III"},
};

/// The GRE header (RFC 2784 with the key and sequence of RFC 2890; RFC 2637 section 4.1 for the
/// enhanced version 1 that PPTP uses):
///
///     |C|R|K|S|s|Recur|A| Flags | Ver |         Protocol Type         |
///     |      Checksum (optional)      |       Reserved1 (optional)    |   C (or R in RFC 1701)
///     |                         Key (optional)                        |   K; in version 1:
///                                                                          Payload Length | Call ID
///     |                 Sequence Number (optional)                    |   S
///     |               Acknowledgment Number (optional)                |   A, version 1 only
///
/// RFC 1701 source routing (R) is not followed: such a packet shows its header and carries
/// nothing. A version 1 packet with a payload length of 0 is a bare acknowledgement.
struct GREHeader {
    std::uint16_t flags = 0;
    std::uint16_t protocol = 0;
    std::optional<std::uint16_t> checksum;
    std::optional<std::uint32_t> key;
    std::optional<std::uint32_t> sequence;
    std::optional<std::uint32_t> ack;
    std::size_t size = 0;

    [[nodiscard]] std::uint16_t version() const { return flags & kVersionMask; }
    [[nodiscard]] std::optional<std::uint16_t> payloadLength() const {
        if (version() != kVersionEnhanced || !key) return std::nullopt;
        return static_cast<std::uint16_t>(*key >> 16);
    }
    [[nodiscard]] std::optional<std::uint16_t> callId() const {
        if (version() != kVersionEnhanced || !key) return std::nullopt;
        return static_cast<std::uint16_t>(*key & 0xFFFF);
    }

    static std::optional<GREHeader> read(const Data& data) {
        ByteReader r(data);
        GREHeader h;
        auto flags = r.readU16be();
        auto protocol = r.readU16be();
        if (!flags || !protocol) return std::nullopt;
        h.flags = *flags;
        h.protocol = *protocol;
        if (h.flags & (kFlagChecksum | kFlagRouting)) {
            h.checksum = r.readU16be();
            if (!h.checksum || !r.skip(2)) return std::nullopt;
        }
        if (h.flags & kFlagKey) {
            h.key = r.readU32be();
            if (!h.key) return std::nullopt;
        }
        if (h.flags & kFlagSequence) {
            h.sequence = r.readU32be();
            if (!h.sequence) return std::nullopt;
        }
        if (h.version() == kVersionEnhanced && (h.flags & kFlagAck)) {
            h.ack = r.readU32be();
            if (!h.ack) return std::nullopt;
        }
        h.size = r.offset();
        return h;
    }
};

/// A GRE header, carrying PPP (PPTP), IPv4, IPv6 or Ethernet.
class GREAnalyzer final : public StandardAnalyzer<GREAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses a header that is not all there, and versions other than 0 and 1.
    static bool accepts(const Data& data, const PacketRef&) {
        auto header = GREHeader::read(data);
        return header && header->version() <= kVersionEnhanced;
    }

    /// Carries the protocol type's analyzer when payload bytes follow and no source route does.
    GREAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *GREHeader::read(data);
        setHeaderSize(header.size);
        if (data.size() <= header.size || (header.flags & kFlagRouting)) return;
        if (auto length = header.payloadLength(); length && *length == 0) return;
        if (header.protocol == kERSPAN && !header.sequence) setNextProtocol(fixedName<"ETH">());
        else if (auto name = lookupName(kCarried, header.protocol)) setNextProtocol(InternedString(*name));
        else setNextProtocol(ProtocolsStringsCache::sharedCache().etherTypeString(header.protocol));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"GRE">(); }

    /// "Encapsulated PPP, call 6016, seq 3" or "Encapsulated IPv4".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = GREHeader::read(data);
        if (!header) return std::nullopt;
        std::string info = "Encapsulated " + (lookupName(kProtocolTitles, header->protocol)
                                                  ? std::string(*lookupName(kProtocolTitles, header->protocol))
                                                  : hexText(header->protocol, 4));
        if (auto call = header->callId()) info += ", call " + std::to_string(*call);
        else if (header->key) info += ", key " + hexText(*header->key, 8);
        if (header->sequence) info += ", seq " + std::to_string(*header->sequence);
        if (header->ack) info += ", ack " + std::to_string(*header->ack);
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = GREHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Generic Routing Encapsulation", protocolInfo(data), header->size)};
        std::string names;
        auto add = [&](std::uint16_t bit, const char* name) {
            if (!(header->flags & bit)) return;
            names += names.empty() ? "" : ", ";
            names += name;
        };
        add(kFlagChecksum, "checksum");
        add(kFlagRouting, "routing");
        add(kFlagKey, "key");
        add(kFlagSequence, "sequence");
        add(kFlagStrictRoute, "strict source route");
        if (header->version() == kVersionEnhanced) add(kFlagAck, "acknowledgment");
        nodes.push_back(field("Flags", hexText(header->flags, 4) + (names.empty() ? "" : " (" + names + ")"), 0, 2));
        nodes.push_back(field("Version", header->version() == kVersionEnhanced ? "Enhanced GRE (1)" : "GRE (0)", 1, 1));
        nodes.push_back(field("Protocol Type", lookupName(kProtocolTitles, header->protocol)
                                                   ? namedHexCode(kProtocolTitles, header->protocol, 4)
                                                   : hexText(header->protocol, 4),
                              2, 2));
        std::size_t at = 4;
        if (header->checksum) {
            nodes.push_back(field("Checksum", hexText(*header->checksum, 4), at, 2));
            at += 4;
        }
        if (header->key) {
            if (header->version() == kVersionEnhanced) {
                nodes.push_back(field("Payload Length", std::to_string(*header->payloadLength()), at, 2));
                nodes.push_back(field("Call ID", std::to_string(*header->callId()), at + 2, 2));
            } else {
                nodes.push_back(field("Key", hexText(*header->key, 8), at, 4));
            }
            at += 4;
        }
        if (header->sequence) {
            nodes.push_back(field("Sequence Number", std::to_string(*header->sequence), at, 4));
            at += 4;
        }
        if (header->ack) nodes.push_back(field("Acknowledgment Number", std::to_string(*header->ack), at, 4));
        return nodes;
    }

    /// "greProtocol", "greCallId", "greKey".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "greProtocol") return Value(fieldNumber(data, 2, 2));
        auto header = GREHeader::read(data);
        if (!header) return {};
        if (key == "greCallId") return Value(header->callId());
        if (key == "greKey") return Value(header->key);
        return {};
    }
};

const AnalyzerClassRegistration<GREAnalyzer> kClass{"GREAnalyzer"};

const QORPluginAnalyzerClass& GREAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "GRE";
    f.description = "Generic Routing Encapsulation (RFC 2784, RFC 2890) and PPTP's enhanced GRE (RFC 2637)";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("GRE")};
    f.attributes = {
        attribute(kClass, "GRE Protocol Type", "greProtocol", AttributeValueType::uint16, 2, 2),
        attribute(kClass, "GRE Call ID", "greCallId", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "GRE Key", "greKey", AttributeValueType::uint32, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
