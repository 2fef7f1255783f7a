// The RADIUS analyzer ("RADIUS", UDP ports 1812, 1813, 1645, 1646, 3799).

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard::access {
namespace {

/// Code (1), Identifier (1), Length (2), Authenticator (16).
constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kAuthenticatorSize = 16;
/// Type (1) and Length (1, counting both) in front of each attribute's value.
constexpr std::size_t kAttributeHeaderSize = 2;
constexpr std::uint8_t kVendorSpecific = 26;
/// The user name's attribute type; also keyed for filters.
constexpr std::uint8_t kUserName = 1;
constexpr std::uint8_t kAcctSessionId = 44;
constexpr std::uint8_t kNASIPAddress = 4;
constexpr std::uint8_t kAcctStatusType = 40;

/// Packet codes (RFC 2865, RFC 2866, RFC 5176, RFC 5997).
constexpr std::array kCodes = {
    CodeName{1, "Access-Request"},      CodeName{2, "Access-Accept"},      CodeName{3, "Access-Reject"},
    CodeName{4, "Accounting-Request"},  CodeName{5, "Accounting-Response"}, CodeName{11, "Access-Challenge"},
    CodeName{12, "Status-Server"},      CodeName{13, "Status-Client"},      CodeName{40, "Disconnect-Request"},
    CodeName{41, "Disconnect-ACK"},     CodeName{42, "Disconnect-NAK"},     CodeName{43, "CoA-Request"},
    CodeName{44, "CoA-ACK"},            CodeName{45, "CoA-NAK"},
};

enum class Format { text, hex, ipv4, ipv6, number, enumerated, ipv6Prefix, hidden };

struct AttributeSpec {
    std::uint8_t type;
    std::string_view name;
    Format format;
};

/// Attributes (RFC 2865, 2866, 2867, 2868, 2869, 3162, 4072, 4675).
constexpr std::array kAttributes = {
    AttributeSpec{1, "User-Name", Format::text},
    AttributeSpec{2, "User-Password", Format::hidden},
    AttributeSpec{3, "CHAP-Password", Format::hex},
    AttributeSpec{4, "NAS-IP-Address", Format::ipv4},
    AttributeSpec{5, "NAS-Port", Format::number},
    AttributeSpec{6, "Service-Type", Format::enumerated},
    AttributeSpec{7, "Framed-Protocol", Format::enumerated},
    AttributeSpec{8, "Framed-IP-Address", Format::ipv4},
    AttributeSpec{9, "Framed-IP-Netmask", Format::ipv4},
    AttributeSpec{10, "Framed-Routing", Format::number},
    AttributeSpec{11, "Filter-Id", Format::text},
    AttributeSpec{12, "Framed-MTU", Format::number},
    AttributeSpec{13, "Framed-Compression", Format::number},
    AttributeSpec{14, "Login-IP-Host", Format::ipv4},
    AttributeSpec{15, "Login-Service", Format::number},
    AttributeSpec{16, "Login-TCP-Port", Format::number},
    AttributeSpec{18, "Reply-Message", Format::text},
    AttributeSpec{19, "Callback-Number", Format::text},
    AttributeSpec{20, "Callback-Id", Format::text},
    AttributeSpec{22, "Framed-Route", Format::text},
    AttributeSpec{23, "Framed-IPX-Network", Format::number},
    AttributeSpec{24, "State", Format::hex},
    AttributeSpec{25, "Class", Format::hex},
    AttributeSpec{26, "Vendor-Specific", Format::hex},
    AttributeSpec{27, "Session-Timeout", Format::number},
    AttributeSpec{28, "Idle-Timeout", Format::number},
    AttributeSpec{29, "Termination-Action", Format::number},
    AttributeSpec{30, "Called-Station-Id", Format::text},
    AttributeSpec{31, "Calling-Station-Id", Format::text},
    AttributeSpec{32, "NAS-Identifier", Format::text},
    AttributeSpec{33, "Proxy-State", Format::hex},
    AttributeSpec{40, "Acct-Status-Type", Format::enumerated},
    AttributeSpec{41, "Acct-Delay-Time", Format::number},
    AttributeSpec{42, "Acct-Input-Octets", Format::number},
    AttributeSpec{43, "Acct-Output-Octets", Format::number},
    AttributeSpec{44, "Acct-Session-Id", Format::text},
    AttributeSpec{45, "Acct-Authentic", Format::enumerated},
    AttributeSpec{46, "Acct-Session-Time", Format::number},
    AttributeSpec{47, "Acct-Input-Packets", Format::number},
    AttributeSpec{48, "Acct-Output-Packets", Format::number},
    AttributeSpec{49, "Acct-Terminate-Cause", Format::enumerated},
    AttributeSpec{50, "Acct-Multi-Session-Id", Format::text},
    AttributeSpec{51, "Acct-Link-Count", Format::number},
    AttributeSpec{52, "Acct-Input-Gigawords", Format::number},
    AttributeSpec{53, "Acct-Output-Gigawords", Format::number},
    AttributeSpec{55, "Event-Timestamp", Format::number},
    AttributeSpec{60, "CHAP-Challenge", Format::hex},
    AttributeSpec{61, "NAS-Port-Type", Format::enumerated},
    AttributeSpec{62, "Port-Limit", Format::number},
    AttributeSpec{64, "Tunnel-Type", Format::hex},
    AttributeSpec{65, "Tunnel-Medium-Type", Format::hex},
    AttributeSpec{66, "Tunnel-Client-Endpoint", Format::text},
    AttributeSpec{67, "Tunnel-Server-Endpoint", Format::text},
    AttributeSpec{77, "Connect-Info", Format::text},
    AttributeSpec{79, "EAP-Message", Format::hex},
    AttributeSpec{80, "Message-Authenticator", Format::hex},
    AttributeSpec{81, "Tunnel-Private-Group-Id", Format::text},
    AttributeSpec{85, "Acct-Interim-Interval", Format::number},
    AttributeSpec{87, "NAS-Port-Id", Format::text},
    AttributeSpec{88, "Framed-Pool", Format::text},
    AttributeSpec{95, "NAS-IPv6-Address", Format::ipv6},
    AttributeSpec{96, "Framed-Interface-Id", Format::hex},
    AttributeSpec{97, "Framed-IPv6-Prefix", Format::ipv6Prefix},
    AttributeSpec{98, "Login-IPv6-Host", Format::ipv6},
    AttributeSpec{123, "Delegated-IPv6-Prefix", Format::ipv6Prefix},
};

constexpr std::array kServiceTypes = {
    CodeName{1, "Login"},          CodeName{2, "Framed"},           CodeName{3, "Callback-Login"},
    CodeName{4, "Callback-Framed"}, CodeName{5, "Outbound"},        CodeName{6, "Administrative"},
    CodeName{7, "NAS-Prompt"},     CodeName{8, "Authenticate-Only"}, CodeName{9, "Callback-NAS-Prompt"},
    CodeName{10, "Call-Check"},    CodeName{11, "Callback-Administrative"},
};
constexpr std::array kFramedProtocols = {
    CodeName{1, "PPP"}, CodeName{2, "SLIP"}, CodeName{3, "ARAP"}, CodeName{4, "Gandalf-SLML"},
    CodeName{5, "Xylogics-IPX-SLIP"}, CodeName{6, "X.75-Synchronous"},
};
constexpr std::array kAcctStatusTypes = {
    CodeName{1, "Start"}, CodeName{2, "Stop"}, CodeName{3, "Interim-Update"}, CodeName{7, "Accounting-On"},
    CodeName{8, "Accounting-Off"}, CodeName{15, "Failed"},
};
constexpr std::array kAcctAuthentic = {CodeName{1, "RADIUS"}, CodeName{2, "Local"}, CodeName{3, "Remote"}, CodeName{4, "Diameter"}};
constexpr std::array kTerminateCauses = {
    CodeName{1, "User-Request"},    CodeName{2, "Lost-Carrier"},      CodeName{3, "Lost-Service"},
    CodeName{4, "Idle-Timeout"},    CodeName{5, "Session-Timeout"},   CodeName{6, "Admin-Reset"},
    CodeName{7, "Admin-Reboot"},    CodeName{8, "Port-Error"},        CodeName{9, "NAS-Error"},
    CodeName{10, "NAS-Request"},    CodeName{11, "NAS-Reboot"},       CodeName{12, "Port-Unneeded"},
    CodeName{13, "Port-Preempted"}, CodeName{14, "Port-Suspended"},   CodeName{15, "Service-Unavailable"},
    CodeName{16, "Callback"},       CodeName{17, "User-Error"},       CodeName{18, "Host-Request"},
};
constexpr std::array kNASPortTypes = {
    CodeName{0, "Async"},   CodeName{1, "Sync"},       CodeName{2, "ISDN Sync"},   CodeName{3, "ISDN Async V.120"},
    CodeName{4, "ISDN Async V.110"}, CodeName{5, "Virtual"}, CodeName{6, "PIAFS"}, CodeName{7, "HDLC Clear Channel"},
    CodeName{8, "X.25"},    CodeName{9, "X.75"},       CodeName{10, "G.3 Fax"},    CodeName{11, "SDSL"},
    CodeName{12, "ADSL-CAP"}, CodeName{13, "ADSL-DMT"}, CodeName{14, "IDSL"},      CodeName{15, "Ethernet"},
    CodeName{16, "xDSL"},   CodeName{17, "Cable"},     CodeName{18, "Wireless - Other"},
    CodeName{19, "Wireless - IEEE 802.11"},
};

std::span<const CodeName> enumTable(std::uint8_t type) {
    switch (type) {
    case 6: return kServiceTypes;
    case 7: return kFramedProtocols;
    case 40: return kAcctStatusTypes;
    case 45: return kAcctAuthentic;
    case 49: return kTerminateCauses;
    case 61: return kNASPortTypes;
    default: return {};
    }
}

const AttributeSpec* findAttribute(std::uint8_t type) {
    for (const auto& a : kAttributes)
        if (a.type == type) return &a;
    return nullptr;
}

std::string attributeValue(const AttributeSpec* spec, std::span<const std::byte> v) {
    if (!spec) return hexBytes(v);
    switch (spec->format) {
    case Format::text: return printableText(v);
    case Format::ipv4: return v.size() == 4 ? ipv4Text(v).value_or("") : hexBytes(v);
    case Format::ipv6: return ipv6Text(v).value_or(hexBytes(v));
    case Format::number:
        if (v.size() == 4) return std::to_string(*ByteReader(v).readU32be());
        return hexBytes(v);
    case Format::enumerated:
        if (v.size() == 4) return namedCode(enumTable(spec->type), *ByteReader(v).readU32be());
        return hexBytes(v);
    case Format::ipv6Prefix:
        // Reserved (1), Prefix-Length (1), Prefix (up to 16).
        if (ByteReader r(v); v.size() >= 2 && v.size() <= 18 && r.peekU8(1) <= 128) {
            r.skip(1);
            auto length = *r.readU8();
            std::array<std::byte, 16> prefix{};
            std::copy(r.rest().begin(), r.rest().end(), prefix.begin());
            return *ipv6Text(prefix) + "/" + std::to_string(length);
        }
        return hexBytes(v);
    case Format::hidden: return "(encrypted) " + hexBytes(v);
    case Format::hex: break;
    }
    return hexBytes(v);
}

/// One attribute as the walk met it.
struct Attribute {
    std::size_t offset = 0;  ///< from the start of the packet
    std::uint8_t type = 0;
    std::uint8_t length = 0;
    std::span<const std::byte> value;
};

/// The fixed header and the bytes the packet claims, cut to the capture.
struct RADIUSHeader {
    std::uint8_t code = 0;
    std::uint8_t identifier = 0;
    std::uint16_t length = 0;
    std::size_t present = 0;

    static std::optional<RADIUSHeader> read(const Data& data) {
        ByteReader r(data);
        auto code = r.readU8();
        auto id = r.readU8();
        auto length = r.readU16be();
        if (!code || !id || !length || data.size() < kHeaderSize) return std::nullopt;
        RADIUSHeader h{*code, *id, *length, 0};
        h.present = std::clamp<std::size_t>(*length, kHeaderSize, data.size());
        return h;
    }

    /// The code and identifier of a header the capture cut short (see `cutBySnapshot`); the
    /// length, when not captured, counts as the captured bytes.
    static std::optional<RADIUSHeader> readCut(const Data& data) {
        ByteReader r(data);
        auto code = r.readU8();
        auto id = r.readU8();
        if (!code || !id) return std::nullopt;
        return RADIUSHeader{*code, *id, r.readU16be().value_or(static_cast<std::uint16_t>(data.size())), data.size()};
    }

    /// The header as `read` finds it or, when the capture cut the packet short, as `readCut` does.
    static std::optional<RADIUSHeader> read(const Data& data, bool cut) {
        auto header = read(data);
        if (!header && cut) header = readCut(data);
        return header;
    }
};

struct AttributeWalk {
    std::vector<Attribute> attributes;
    std::optional<std::string> malformed;
    std::size_t malformedOffset = 0;
};

/// Walks the attributes (RFC 2865 section 5): Type (1) | Length (1, counting both) | Value,
/// calling `visit(attribute)` for each whole attribute until it returns true. A length below 2 (a
/// zero length included) or past the packet's Length ends the walk. Gives the reader where the
/// walk ended: at a malformed attribute, at a stray last byte, after the attribute `visit`
/// stopped at, or at the end of the packet.
template <class Visit>
ByteReader visitAttributes(const Data& data, const RADIUSHeader& header, const Visit& visit) {
    ByteReader r = ByteReader(data).sliceAt(kHeaderSize, header.present - kHeaderSize).value_or(ByteReader());
    while (r.remaining() >= kAttributeHeaderSize) {
        Attribute a;
        a.offset = kHeaderSize + r.offset();
        a.type = *r.peekU8(0);
        a.length = *r.peekU8(1);
        if (a.length < kAttributeHeaderSize || !r.canRead(a.length)) break;
        r.skip(kAttributeHeaderSize);
        a.value = *r.readBytes(a.length - kAttributeHeaderSize);
        if (visit(a)) break;
    }
    return r;
}

/// Every attribute (see `visitAttributes`), and what ended the walk early.
AttributeWalk walkAttributes(const Data& data, const RADIUSHeader& header) {
    AttributeWalk walk;
    const ByteReader rest = visitAttributes(data, header, [&](const Attribute& a) {
        walk.attributes.push_back(a);
        return false;
    });
    if (rest.empty()) return walk;
    walk.malformedOffset = kHeaderSize + rest.offset();
    walk.malformed = rest.remaining() < kAttributeHeaderSize
                         ? std::string("1 stray byte")
                         : "attribute " + std::to_string(*rest.peekU8(0)) + " length " + std::to_string(*rest.peekU8(1)) +
                               " with " + std::to_string(rest.remaining()) + " bytes left";
    return walk;
}

/// The first attribute of `type`, without collecting the others.
std::optional<Attribute> firstAttribute(const Data& data, const RADIUSHeader& header, std::uint8_t type) {
    std::optional<Attribute> found;
    visitAttributes(data, header, [&](const Attribute& a) {
        if (a.type == type) found = a;
        return found.has_value();
    });
    return found;
}

std::optional<std::string> textAttribute(const AttributeWalk& walk, std::uint8_t type) {
    for (const auto& a : walk.attributes)
        if (a.type == type) return printableText(a.value);
    return std::nullopt;
}

/// A RADIUS packet (RFC 2865 section 3):
///
///     |     Code      |  Identifier   |            Length             |
///     |                    Authenticator (16 bytes)                   |
///     |  Attributes ...
///
/// The whole packet (Length, cut to the capture) is the header; nothing is carried. The detail
/// list has "Code" and one top-level row per attribute, named after it ("User-Name",
/// "Acct-Session-Id", ...); subscriber sessions read the values they need as keyed fields (see
/// `value`). Vendor-Specific attributes show their vendor number and raw data.
class RADIUSAnalyzer final : public StandardAnalyzer<RADIUSAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses fewer than the 20 header bytes, unless the capture cut them short.
    static bool accepts(const Data& data, const PacketRef& packet) {
        return RADIUSHeader::read(data, cutBySnapshot(data, packet)).has_value();
    }

    RADIUSAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        if (auto header = RADIUSHeader::read(data, cut_)) setHeaderSize(header->present);
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"RADIUS">(); }

    /// "Access-Request (id 5), User-Name bob".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = RADIUSHeader::read(data);
        auto name = [](const RADIUSHeader& h) {
            auto known = lookupName(kCodes, h.code);
            return (known ? std::string(*known) : "Unknown code " + std::to_string(h.code)) + " (id " +
                   std::to_string(h.identifier) + ")";
        };
        if (!header) {
            auto partial = cut_ ? RADIUSHeader::readCut(data) : std::nullopt;
            return partial ? noteCut(name(*partial), true) : std::nullopt;
        }
        std::string info = name(*header);
        auto walk = walkAttributes(data, *header);
        if (auto user = textAttribute(walk, kUserName)) info += ", User-Name " + *user;
        for (const auto& a : walk.attributes)
            if (a.type == kAcctStatusType && a.value.size() == 4)
                info += ", " + nameOrUnknown(kAcctStatusTypes, *ByteReader(a.value).readU32be());
        if (walk.malformed && !cut_) info += " [Malformed attribute]";
        return noteCut(info, cut_ && header->length > data.size());
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = RADIUSHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("RADIUS Protocol", protocolInfo(data), header->present)};
        nodes.push_back(field("Code", namedCode(kCodes, header->code), 0, 1));
        nodes.push_back(field("Packet Identifier", std::to_string(header->identifier), 1, 1));
        nodes.push_back(field("Length", std::to_string(header->length), 2, 2));
        if (header->length < kHeaderSize || header->length > data.size())
            nodes.push_back(field(header->length < kHeaderSize ? "Malformed" : "Truncated",
                                  "length " + std::to_string(header->length) + ", " + std::to_string(data.size()) +
                                      " bytes present",
                                  2, 2));
        nodes.push_back(field("Authenticator", hexBytes(*ByteReader(data).bytesAt(4, kAuthenticatorSize)), 4, kAuthenticatorSize));
        auto walk = walkAttributes(data, *header);
        for (const auto& a : walk.attributes) {
            auto spec = findAttribute(a.type);
            std::string value;
            if (a.type == kVendorSpecific && a.value.size() >= 4)
                value = "vendor " + std::to_string(*ByteReader(a.value).readU32be()) +
                        (a.value.size() > 4 ? ", " + hexBytes(ByteReader(a.value).from(4).rest()) : "");
            else
                value = attributeValue(spec, a.value);
            auto node = field(spec ? std::string(spec->name) : "Unknown-Attribute-" + std::to_string(a.type),
                              std::move(value), a.offset, a.length);
            node->addChild(field("Type", std::to_string(a.type), a.offset, 1));
            node->addChild(field("Length", std::to_string(a.length), a.offset + 1, 1));
            nodes.push_back(std::move(node));
        }
        if (walk.malformed)
            nodes.push_back(field("Malformed Attribute", *walk.malformed, walk.malformedOffset,
                                  header->present - walk.malformedOffset));
        return nodes;
    }

    /// "radiusCode", "radiusIdentifier", "radiusUserName", "radiusAcctSessionId",
    /// "radiusAcctStatusType" (the number) and "radiusNASIPAddress" (as the detail row shows it):
    /// each attribute's first occurrence, read without building the detail rows.
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "radiusCode") return Value(fieldNumber(data, 0, 1));
        if (key == "radiusIdentifier") return Value(fieldNumber(data, 1, 1));
        const std::uint8_t type = key == "radiusUserName"         ? kUserName
                                  : key == "radiusAcctSessionId"  ? kAcctSessionId
                                  : key == "radiusAcctStatusType" ? kAcctStatusType
                                  : key == "radiusNASIPAddress"   ? kNASIPAddress
                                                                  : 0;
        if (type == 0) return {};
        auto header = RADIUSHeader::read(data);
        if (!header) return {};
        const auto a = firstAttribute(data, *header, type);
        if (!a) return {};
        if (type == kUserName || type == kAcctSessionId) return Value(printableText(a->value));
        if (type == kNASIPAddress) return Value(attributeValue(findAttribute(type), a->value));
        if (a->value.size() != 4) return {};
        return Value(static_cast<unsigned>(*ByteReader(a->value).readU32be()));
    }

private:
    bool cut_;  ///< the capture kept only part of the packet
};

const AnalyzerClassRegistration<RADIUSAnalyzer> kClass{"RADIUSAnalyzer"};

const QORPluginAnalyzerClass& RADIUSAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "RADIUS";
    f.description = "Remote Authentication Dial In User Service (RFC 2865, RFC 2866, RFC 5176)";
    f.analyzerClass = kClass;
    // 1812/1813 (IANA), 1645/1646 (the historical ports many NASes still use), 3799 (dynamic
    // authorization, RFC 5176).
    f.protocols = {portsTarget("RADIUS", {1812, 1813, 1645, 1646, 3799}, kQORSourceProtocols::udp)};
    f.attributes = {
        attribute(kClass, "RADIUS Code", "radiusCode", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "RADIUS Identifier", "radiusIdentifier", AttributeValueType::uint8, 1, 1),
        attribute(kClass, "RADIUS User-Name", "radiusUserName", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "RADIUS Acct-Session-Id", "radiusAcctSessionId", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "RADIUS Acct-Status-Type", "radiusAcctStatusType", AttributeValueType::uint32, 0, kToEndOfHeader),
        attribute(kClass, "RADIUS NAS-IP-Address", "radiusNASIPAddress", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
