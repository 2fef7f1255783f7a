// The L2TP version 2 analyzer ("L2TP", UDP port 1701): control messages with their AVPs, and
// data messages carrying PPP.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard::access {
namespace {

constexpr std::uint16_t kFlagType = 0x8000, kFlagLength = 0x4000, kFlagSequence = 0x0800, kFlagOffset = 0x0200,
                        kFlagPriority = 0x0100, kVersionMask = 0x000F;
constexpr std::uint16_t kVersion2 = 2;
constexpr std::uint16_t kAVPMandatory = 0x8000, kAVPHidden = 0x4000, kAVPLengthMask = 0x03FF;
/// Vendor id, attribute type and the flags/length word.
constexpr std::size_t kAVPHeaderSize = 6;
constexpr std::uint16_t kIETF = 0;
constexpr std::uint16_t kAVPMessageType = 0, kAVPResultCode = 1, kAVPProtocolVersion = 2, kAVPFraming = 3,
                        kAVPBearer = 4, kAVPFirmware = 6, kAVPHostName = 7, kAVPVendorName = 8,
                        kAVPAssignedTunnel = 9, kAVPWindow = 10, kAVPAssignedSession = 14, kAVPCallSerial = 15,
                        kAVPMinBPS = 16, kAVPMaxBPS = 17, kAVPBearerType = 18, kAVPFramingType = 19,
                        kAVPCalledNumber = 21, kAVPCallingNumber = 22, kAVPSubAddress = 23, kAVPTxSpeed = 24,
                        kAVPChannel = 25, kAVPProxyAuthenName = 30, kAVPRxSpeed = 38;

/// Control message types (RFC 2661 section 3.2).
constexpr std::array kMessageTypes = {
    CodeName{1, "SCCRQ"}, CodeName{2, "SCCRP"}, CodeName{3, "SCCCN"},  CodeName{4, "StopCCN"},
    CodeName{6, "HELLO"}, CodeName{7, "OCRQ"},  CodeName{8, "OCRP"},   CodeName{9, "OCCN"},
    CodeName{10, "ICRQ"}, CodeName{11, "ICRP"}, CodeName{12, "ICCN"},  CodeName{14, "CDN"},
    CodeName{15, "WEN"},  CodeName{16, "SLI"},
};

/// AVP names (RFC 2661 section 4.4).
constexpr std::array kAVPs = {
    CodeName{0, "Message Type"},          CodeName{1, "Result Code"},
    CodeName{2, "Protocol Version"},      CodeName{3, "Framing Capabilities"},
    CodeName{4, "Bearer Capabilities"},   CodeName{5, "Tie Breaker"},
    CodeName{6, "Firmware Revision"},     CodeName{7, "Host Name"},
    CodeName{8, "Vendor Name"},           CodeName{9, "Assigned Tunnel ID"},
    CodeName{10, "Receive Window Size"},  CodeName{11, "Challenge"},
    CodeName{12, "Q.931 Cause Code"},     CodeName{13, "Challenge Response"},
    CodeName{14, "Assigned Session ID"},  CodeName{15, "Call Serial Number"},
    CodeName{16, "Minimum BPS"},          CodeName{17, "Maximum BPS"},
    CodeName{18, "Bearer Type"},          CodeName{19, "Framing Type"},
    CodeName{21, "Called Number"},        CodeName{22, "Calling Number"},
    CodeName{23, "Sub-Address"},          CodeName{24, "Tx Connect Speed"},
    CodeName{25, "Physical Channel ID"},  CodeName{26, "Initial Received LCP CONFREQ"},
    CodeName{27, "Last Sent LCP CONFREQ"}, CodeName{28, "Last Received LCP CONFREQ"},
    CodeName{29, "Proxy Authen Type"},    CodeName{30, "Proxy Authen Name"},
    CodeName{31, "Proxy Authen Challenge"}, CodeName{32, "Proxy Authen ID"},
    CodeName{33, "Proxy Authen Response"}, CodeName{34, "Call Errors"},
    CodeName{35, "ACCM"},                 CodeName{36, "Random Vector"},
    CodeName{37, "Private Group ID"},     CodeName{38, "Rx Connect Speed"},
    CodeName{39, "Sequencing Required"},
};

/// StopCCN result codes (RFC 2661 section 4.4.2).
constexpr std::array kStopCCNResults = {
    CodeName{1, "General request to clear control connection"},
    CodeName{2, "General error--Error Code indicates the problem"},
    CodeName{3, "Control channel already exists"},
    CodeName{4, "Requester is not authorized to establish a control channel"},
    CodeName{5, "The protocol version of the requester is not supported"},
    CodeName{6, "Requester is being shut down"},
    CodeName{7, "Finite State Machine error"},
};
/// CDN result codes.
constexpr std::array kCDNResults = {
    CodeName{1, "Call disconnected due to loss of carrier"},
    CodeName{2, "Call disconnected for the reason indicated in error code"},
    CodeName{3, "Call disconnected for administrative reasons"},
    CodeName{4, "Call failed due to lack of appropriate facilities being available (temporary condition)"},
    CodeName{5, "Call failed due to lack of appropriate facilities being available (permanent condition)"},
    CodeName{6, "Invalid destination"},
    CodeName{7, "Call failed due to no carrier detected"},
    CodeName{8, "Call failed due to detection of a busy signal"},
    CodeName{9, "Call failed due to lack of a dial tone"},
    CodeName{10, "Call was not established within time allotted by LAC"},
    CodeName{11, "Call was connected but no appropriate framing was detected"},
};

/// The fixed header of an L2TPv2 message (RFC 2661 section 3.1):
///
///     |T|L|x|x|S|x|O|P|x|x|x|x|  Ver  |          Length (opt)         |
///     |           Tunnel ID           |           Session ID          |
///     |             Ns (opt)          |             Nr (opt)          |
///     |      Offset Size (opt)        |    Offset pad... (opt)
///
/// A control message (T set) always has Length and Ns/Nr; its AVPs follow the header. A data
/// message carries a PPP frame after the header.
struct L2TPHeader {
    std::uint16_t flags = 0;
    std::optional<std::uint16_t> length;
    std::uint16_t tunnel = 0;
    std::uint16_t session = 0;
    std::optional<std::uint16_t> ns, nr;
    std::optional<std::uint16_t> offsetSize;
    std::size_t size = 0;     ///< header bytes, offset padding included
    std::size_t present = 0;  ///< message bytes there: Length (when given) cut to the capture

    [[nodiscard]] bool isControl() const { return flags & kFlagType; }

    /// The header, or nothing when it is not all there or is not version 2.
    static std::optional<L2TPHeader> read(const Data& data) {
        ByteReader r(data);
        L2TPHeader h;
        auto flags = r.readU16be();
        if (!flags || (*flags & kVersionMask) != kVersion2) return std::nullopt;
        h.flags = *flags;
        if (h.flags & kFlagLength) {
            h.length = r.readU16be();
            if (!h.length) return std::nullopt;
        }
        auto tunnel = r.readU16be();
        auto session = r.readU16be();
        if (!tunnel || !session) return std::nullopt;
        h.tunnel = *tunnel;
        h.session = *session;
        if (h.flags & kFlagSequence) {
            h.ns = r.readU16be();
            h.nr = r.readU16be();
            if (!h.ns || !h.nr) return std::nullopt;
        }
        if (h.flags & kFlagOffset) {
            h.offsetSize = r.readU16be();
            if (!h.offsetSize || !r.skip(*h.offsetSize)) return std::nullopt;
        }
        h.size = r.offset();
        h.present = data.size();
        if (h.length) h.present = std::clamp<std::size_t>(*h.length, h.size, data.size());
        return h;
    }
};

/// One AVP as the walk met it.
struct AVP {
    std::size_t offset = 0;  ///< from the start of the message
    std::uint16_t flags = 0;
    std::uint16_t length = 0;
    std::uint16_t vendor = 0;
    std::uint16_t type = 0;
    std::span<const std::byte> value;
};

/// What walking the AVPs gave.
struct AVPWalk {
    std::vector<AVP> avps;
    /// Set when an AVP's length was below its 6-byte header or ran past the message: the walk
    /// ended there.
    std::optional<std::string> malformed;
    std::size_t malformedOffset = 0;
};

/// Walks the AVPs of a control message (RFC 2661 section 4.1):
///
///     |M|H| rsvd  |      Length       |           Vendor ID           |
///     |         Attribute Type        |        Attribute Value ...
///
/// calling `visit(avp)` for each whole AVP until it returns true. Length counts the 6-byte
/// header. A length below 6 (a zero-length AVP included) or one that runs past the message ends
/// the walk. Gives the reader where the walk ended: at a malformed AVP, at bytes too few for an
/// AVP, after the AVP `visit` stopped at, or at the end of the message.
template <class Visit>
ByteReader visitAVPs(const Data& data, const L2TPHeader& header, const Visit& visit) {
    ByteReader r = ByteReader(data).sliceAt(header.size, header.present - header.size).value_or(ByteReader());
    while (r.remaining() >= kAVPHeaderSize) {
        AVP avp;
        avp.offset = header.size + r.offset();
        auto word = *r.peekU16be();
        avp.flags = word & ~kAVPLengthMask;
        avp.length = word & kAVPLengthMask;
        if (avp.length < kAVPHeaderSize || !r.canRead(avp.length)) break;
        r.skip(2);
        avp.vendor = *r.readU16be();
        avp.type = *r.readU16be();
        avp.value = *r.readBytes(avp.length - kAVPHeaderSize);
        if (visit(avp)) break;
    }
    return r;
}

/// Every AVP of a control message (see `visitAVPs`), and what ended the walk early.
AVPWalk walkAVPs(const Data& data, const L2TPHeader& header) {
    AVPWalk walk;
    const ByteReader rest = visitAVPs(data, header, [&](const AVP& avp) {
        walk.avps.push_back(avp);
        return false;
    });
    if (rest.empty()) return walk;
    walk.malformedOffset = header.size + rest.offset();
    walk.malformed = rest.remaining() < kAVPHeaderSize
                         ? std::to_string(rest.remaining()) + " bytes too short for an AVP"
                         : "AVP length " + std::to_string(*rest.peekU16be() & kAVPLengthMask) + " with " +
                               std::to_string(rest.remaining()) + " bytes left in the message";
    return walk;
}

std::optional<std::uint16_t> u16Value(std::span<const std::byte> value) {
    return ByteReader(value).readU16be();
}

/// The message type that the first AVP of a control message gives: RFC 2661 requires it to be
/// the IETF Message Type AVP; nothing when it is another.
std::optional<std::uint16_t> messageType(const AVP& first) {
    if (first.vendor != kIETF || first.type != kAVPMessageType || (first.flags & kAVPHidden)) return std::nullopt;
    return u16Value(first.value);
}

/// The message type of a control message, reading only its first AVP; nothing for a ZLB
/// acknowledgement.
std::optional<std::uint16_t> messageType(const Data& data, const L2TPHeader& header) {
    std::optional<std::uint16_t> type;
    visitAVPs(data, header, [&](const AVP& first) {
        type = messageType(first);
        return true;
    });
    return type;
}

/// The message type of a control message already walked.
std::optional<std::uint16_t> messageType(const AVPWalk& walk) {
    return walk.avps.empty() ? std::nullopt : messageType(walk.avps.front());
}

/// The AVP type whose first IETF, not hidden, occurrence gives the keyed field `key`.
std::optional<std::uint16_t> avpOfField(std::string_view key) {
    if (key == "l2tpResultCode") return kAVPResultCode;
    if (key == "l2tpAssignedTunnelId") return kAVPAssignedTunnel;
    if (key == "l2tpAssignedSessionId") return kAVPAssignedSession;
    if (key == "l2tpHostName") return kAVPHostName;
    return std::nullopt;
}

/// The value text of an IETF AVP.
std::string avpValue(const AVP& avp, std::optional<std::uint16_t> type) {
    auto v = avp.value;
    if (avp.flags & kAVPHidden) return "hidden: " + hexBytes(v);
    switch (avp.type) {
    case kAVPMessageType:
        if (auto t = u16Value(v)) return namedCode(kMessageTypes, *t);
        break;
    case kAVPResultCode:
        if (auto code = u16Value(v)) {
            auto table = type == 4 ? std::span<const CodeName>(kStopCCNResults)
                                   : std::span<const CodeName>(kCDNResults);
            std::string text = type == 4 || type == 14 ? namedCode(table, *code) : std::to_string(*code);
            ByteReader r(v);
            r.skip(2);  // the result code
            if (auto error = r.readU16be()) text += ", error " + std::to_string(*error);
            if (!r.empty() && r.offset() == 4) text += ", " + printableText(r.rest());
            return text;
        }
        break;
    case kAVPProtocolVersion:
        if (ByteReader r(v); v.size() == 2) return std::to_string(*r.peekU8(0)) + "." + std::to_string(*r.peekU8(1));
        break;
    case kAVPFraming:
    case kAVPFramingType:
        if (auto n = ByteReader(v).readUBE(v.size()); n && v.size() == 4) {
            std::string text = hexText(*n, 8);
            if (*n & 1) text += " synchronous";
            if (*n & 2) text += " asynchronous";
            return text;
        }
        break;
    case kAVPBearer:
    case kAVPBearerType:
        if (auto n = ByteReader(v).readUBE(v.size()); n && v.size() == 4) {
            std::string text = hexText(*n, 8);
            if (*n & 1) text += " digital";
            if (*n & 2) text += " analog";
            return text;
        }
        break;
    case kAVPHostName:
    case kAVPVendorName:
    case kAVPCalledNumber:
    case kAVPCallingNumber:
    case kAVPSubAddress:
    case kAVPProxyAuthenName:
        return printableText(v);
    case kAVPFirmware:
    case kAVPAssignedTunnel:
    case kAVPWindow:
    case kAVPAssignedSession:
    case kAVPCallSerial:
    case kAVPMinBPS:
    case kAVPMaxBPS:
    case kAVPTxSpeed:
    case kAVPRxSpeed:
    case kAVPChannel:
        if (auto n = ByteReader(v).readUBE(v.size()); n && v.size() <= 4) return std::to_string(*n);
        break;
    default:
        break;
    }
    return hexBytes(v);
}

/// An L2TP version 2 message over UDP (RFC 2661). A control message (header and AVPs) is all
/// header and carries nothing; a data message's header is followed by a PPP frame, carried as
/// "PPP" (whose analyzer handles the optional FF 03 address and control bytes).
///
/// The detail list has "Tunnel ID", "Session ID" and one top-level row per AVP, named after it,
/// with the AVP's header fields as children ("Assigned Session ID", "Host Name", ...). Numbers are
/// shown in decimal. Subscriber sessions read the same values as keyed fields (see `value`).
class L2TPAnalyzer final : public StandardAnalyzer<L2TPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses bytes whose header is not whole or whose version is not 2.
    static bool accepts(const Data& data, const PacketRef&) { return L2TPHeader::read(data).has_value(); }

    L2TPAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *L2TPHeader::read(data);
        setHeaderSize(header.isControl() ? header.present : header.size);
        setHasPayload(!header.isControl());
        if (!header.isControl() && header.present > header.size) setNextProtocol(fixedName<"PPP">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"L2TP">(); }

    /// "SCCRQ, tunnel 0, session 0, Host Name lac", "ZLB, tunnel 5, session 0", "Data, tunnel 5,
    /// session 7".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = L2TPHeader::read(data);
        if (!header) return std::nullopt;
        std::string ids = "tunnel " + std::to_string(header->tunnel) + ", session " + std::to_string(header->session);
        if (!header->isControl()) return "Data, " + ids;
        auto walk = walkAVPs(data, *header);
        auto type = messageType(walk);
        std::string info;
        if (walk.avps.empty() && !walk.malformed) info = "ZLB";
        else if (type) info = lookupName(kMessageTypes, *type) ? std::string(*lookupName(kMessageTypes, *type))
                                                                : "Message type " + std::to_string(*type);
        else info = "Control message";
        info += ", " + ids;
        for (const auto& avp : walk.avps)
            if (avp.vendor == kIETF && avp.type == kAVPHostName && !(avp.flags & kAVPHidden))
                info += ", Host Name " + printableText(avp.value);
        if (walk.malformed) info += " [Malformed AVP]";
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = L2TPHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Layer 2 Tunneling Protocol", protocolInfo(data),
                               header->isControl() ? header->present : header->size)};
        std::string flagNames;
        auto add = [&](bool on, const char* name) {
            if (!on) return;
            flagNames += flagNames.empty() ? "" : ", ";
            flagNames += name;
        };
        add(header->flags & kFlagType, "control");
        add(!(header->flags & kFlagType), "data");
        add(header->flags & kFlagLength, "length");
        add(header->flags & kFlagSequence, "sequence");
        add(header->flags & kFlagOffset, "offset");
        add(header->flags & kFlagPriority, "priority");
        nodes.push_back(field("Flags", hexText(header->flags, 4) + " (" + flagNames + ")", 0, 2));
        nodes.push_back(field("Version", std::to_string(header->flags & kVersionMask), 1, 1));
        std::size_t at = 2;
        if (header->length) {
            nodes.push_back(field("Length", std::to_string(*header->length), at, 2));
            if (*header->length > data.size() || *header->length < header->size)
                nodes.push_back(field(*header->length < header->size ? "Malformed" : "Truncated",
                                      "length " + std::to_string(*header->length) + ", " + std::to_string(data.size()) +
                                          " bytes present",
                                      at, 2));
            at += 2;
        }
        nodes.push_back(field("Tunnel ID", std::to_string(header->tunnel), at, 2));
        nodes.push_back(field("Session ID", std::to_string(header->session), at + 2, 2));
        at += 4;
        if (header->ns) {
            nodes.push_back(field("Ns", std::to_string(*header->ns), at, 2));
            nodes.push_back(field("Nr", std::to_string(*header->nr), at + 2, 2));
            at += 4;
        }
        if (header->offsetSize) nodes.push_back(field("Offset Size", std::to_string(*header->offsetSize), at, 2));
        if (!header->isControl()) return nodes;

        auto walk = walkAVPs(data, *header);
        auto type = messageType(walk);
        for (const auto& avp : walk.avps) {
            std::string name = avp.vendor != kIETF ? "Vendor-Specific AVP"
                               : lookupName(kAVPs, avp.type) ? std::string(*lookupName(kAVPs, avp.type))
                                                               : "Unknown AVP " + std::to_string(avp.type);
            auto node = field(name, avp.vendor == kIETF ? avpValue(avp, type) : hexBytes(avp.value), avp.offset,
                              avp.length);
            node->addChild(field("Mandatory", avp.flags & kAVPMandatory ? "yes" : "no", avp.offset, 1));
            node->addChild(field("Hidden", avp.flags & kAVPHidden ? "yes" : "no", avp.offset, 1));
            node->addChild(field("Length", std::to_string(avp.length), avp.offset, 2));
            node->addChild(field("Vendor ID", std::to_string(avp.vendor), avp.offset + 2, 2));
            node->addChild(field("Type", std::to_string(avp.type), avp.offset + 4, 2));
            nodes.push_back(std::move(node));
        }
        if (walk.malformed)
            nodes.push_back(field("Malformed AVP", *walk.malformed, walk.malformedOffset,
                                  header->present - walk.malformedOffset));
        return nodes;
    }

    /// "l2tpTunnelId", "l2tpSessionId", "l2tpIsControl", "l2tpMessageType"; and from the first
    /// IETF AVP of their type that is not hidden, "l2tpResultCode" (the result, not the error),
    /// "l2tpAssignedTunnelId", "l2tpAssignedSessionId" and "l2tpHostName". A hidden AVP's value
    /// is encrypted with the tunnel secret, so it names nothing.
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        auto header = L2TPHeader::read(data);
        if (!header) return {};
        if (key == "l2tpTunnelId") return Value(static_cast<unsigned>(header->tunnel));
        if (key == "l2tpSessionId") return Value(static_cast<unsigned>(header->session));
        if (key == "l2tpIsControl") return Value(header->isControl());
        if (!header->isControl()) return {};
        if (key == "l2tpMessageType") return Value(messageType(data, *header));
        const auto type = avpOfField(key);
        if (!type) return {};
        Value value;
        visitAVPs(data, *header, [&](const AVP& avp) {
            if (avp.vendor != kIETF || avp.type != *type || (avp.flags & kAVPHidden)) return false;
            if (*type == kAVPHostName) {
                value = Value(printableText(avp.value));
            } else if (*type == kAVPResultCode) {
                value = Value(u16Value(avp.value));
            } else if (auto n = ByteReader(avp.value).readUBE(avp.value.size()); n && avp.value.size() <= 4 && *n <= 0xFFFF) {
                value = Value(static_cast<unsigned>(*n));
            }
            return true;
        });
        return value;
    }
};

const AnalyzerClassRegistration<L2TPAnalyzer> kClass{"L2TPAnalyzer"};

const QORPluginAnalyzerClass& L2TPAnalyzer::analyzerClass() const { return *kClass; }

constexpr std::int64_t kL2TPPort = 1701;

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "L2TP";
    f.description = "Layer 2 Tunneling Protocol version 2 (RFC 2661): control messages with AVPs, data messages with PPP";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("L2TP", {kL2TPPort}, kQORSourceProtocols::udp)};
    f.attributes = {
        attribute(kClass, "L2TP Tunnel ID", "l2tpTunnelId", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Session ID", "l2tpSessionId", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Control Message", "l2tpIsControl", AttributeValueType::bool_, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Message Type", "l2tpMessageType", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Result Code", "l2tpResultCode", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Assigned Tunnel ID", "l2tpAssignedTunnelId", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Assigned Session ID", "l2tpAssignedSessionId", AttributeValueType::uint16, 0, kToEndOfHeader),
        attribute(kClass, "L2TP Host Name", "l2tpHostName", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
