// The PPP control protocols that share LCP's packet format: "LCP", "IPCP", "IPv6CP" and "CCP".

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "access/PPPPacketHeader.hpp"

namespace qor::standard::access {
namespace {

/// How an option's data is shown.
enum class OptionFormat { number, hex, ipv4, authProtocol, flag, interfaceId };

/// One configuration option a control protocol knows.
struct OptionSpec {
    std::uint8_t type;
    std::string_view name;
    OptionFormat format;
};

/// What sets one control protocol apart from the others of the family.
struct ControlTraits {
    std::string_view protocol;  ///< the analyzer's protocol name
    std::string_view title;
    std::span<const CodeName> codes;
    std::span<const OptionSpec> options;
};

/// Codes 1 to 7 are shared by every control protocol (RFC 1661 section 5).
constexpr std::uint8_t kConfigureRequest = 1, kConfigureReject = 4, kTerminateRequest = 5, kTerminateAck = 6,
                       kCodeReject = 7, kProtocolReject = 8, kEchoRequest = 9,
                       kIdentification = 12, kTimeRemaining = 13;
/// The LCP Maximum-Receive-Unit and the IPCP IP-Address option types.
constexpr std::uint8_t kMRUOption = 1, kIPAddressOption = 3;

constexpr std::array kLCPCodes = {
    CodeName{1, "Configure-Request"}, CodeName{2, "Configure-Ack"},   CodeName{3, "Configure-Nak"},
    CodeName{4, "Configure-Reject"},  CodeName{5, "Terminate-Request"}, CodeName{6, "Terminate-Ack"},
    CodeName{7, "Code-Reject"},       CodeName{8, "Protocol-Reject"}, CodeName{9, "Echo-Request"},
    CodeName{10, "Echo-Reply"},       CodeName{11, "Discard-Request"}, CodeName{12, "Identification"},
    CodeName{13, "Time-Remaining"},
};
constexpr std::array kNCPCodes = {
    CodeName{1, "Configure-Request"}, CodeName{2, "Configure-Ack"},     CodeName{3, "Configure-Nak"},
    CodeName{4, "Configure-Reject"},  CodeName{5, "Terminate-Request"}, CodeName{6, "Terminate-Ack"},
    CodeName{7, "Code-Reject"},
};
constexpr std::array kCCPCodes = {
    CodeName{1, "Configure-Request"}, CodeName{2, "Configure-Ack"},     CodeName{3, "Configure-Nak"},
    CodeName{4, "Configure-Reject"},  CodeName{5, "Terminate-Request"}, CodeName{6, "Terminate-Ack"},
    CodeName{7, "Code-Reject"},       CodeName{14, "Reset-Request"},    CodeName{15, "Reset-Ack"},
};

/// LCP options (RFC 1661 section 6, RFC 1570, RFC 1990).
constexpr std::array kLCPOptions = {
    OptionSpec{1, "Maximum-Receive-Unit (MRU)", OptionFormat::number},
    OptionSpec{2, "Async-Control-Character-Map", OptionFormat::hex},
    OptionSpec{3, "Authentication-Protocol", OptionFormat::authProtocol},
    OptionSpec{4, "Quality-Protocol", OptionFormat::hex},
    OptionSpec{5, "Magic-Number", OptionFormat::hex},
    OptionSpec{7, "Protocol-Field-Compression", OptionFormat::flag},
    OptionSpec{8, "Address-and-Control-Field-Compression", OptionFormat::flag},
    OptionSpec{13, "Callback", OptionFormat::hex},
    OptionSpec{17, "Multilink-MRRU", OptionFormat::number},
    OptionSpec{18, "Multilink-Short-Sequence-Number-Header", OptionFormat::flag},
    OptionSpec{19, "Multilink-Endpoint-Discriminator", OptionFormat::hex},
};
/// IPCP options (RFC 1332, RFC 1877).
constexpr std::array kIPCPOptions = {
    OptionSpec{1, "IP-Addresses", OptionFormat::hex},
    OptionSpec{2, "IP-Compression-Protocol", OptionFormat::hex},
    OptionSpec{3, "IP-Address", OptionFormat::ipv4},
    OptionSpec{4, "Mobile-IPv4", OptionFormat::ipv4},
    OptionSpec{129, "Primary-DNS-Address", OptionFormat::ipv4},
    OptionSpec{130, "Primary-NBNS-Address", OptionFormat::ipv4},
    OptionSpec{131, "Secondary-DNS-Address", OptionFormat::ipv4},
    OptionSpec{132, "Secondary-NBNS-Address", OptionFormat::ipv4},
};
/// IPv6CP options (RFC 5072).
constexpr std::array kIPv6CPOptions = {
    OptionSpec{1, "Interface-Identifier", OptionFormat::interfaceId},
    OptionSpec{2, "IPv6-Compression-Protocol", OptionFormat::hex},
};
/// CCP options (RFC 1962 and the IANA PPP compression registry).
constexpr std::array kCCPOptions = {
    OptionSpec{0, "OUI", OptionFormat::hex},
    OptionSpec{1, "Predictor type 1", OptionFormat::hex},
    OptionSpec{2, "Predictor type 2", OptionFormat::hex},
    OptionSpec{3, "Puddle Jumper", OptionFormat::hex},
    OptionSpec{16, "Hewlett-Packard PPC", OptionFormat::hex},
    OptionSpec{17, "Stac Electronics LZS", OptionFormat::hex},
    OptionSpec{18, "Microsoft PPE/PPC", OptionFormat::hex},
    OptionSpec{19, "Gandalf FZA", OptionFormat::hex},
    OptionSpec{20, "V.42bis compression", OptionFormat::hex},
    OptionSpec{21, "BSD LZW Compress", OptionFormat::hex},
    OptionSpec{23, "LZS-DCP", OptionFormat::hex},
    OptionSpec{24, "MVRCA (Magnalink)", OptionFormat::hex},
    OptionSpec{25, "DCE", OptionFormat::hex},
    OptionSpec{26, "Deflate", OptionFormat::hex},
    OptionSpec{27, "V.44/LZJH", OptionFormat::hex},
};

constexpr ControlTraits kLCP{"LCP", "PPP Link Control Protocol", kLCPCodes, kLCPOptions};
constexpr ControlTraits kIPCP{"IPCP", "PPP IP Control Protocol", kNCPCodes, kIPCPOptions};
constexpr ControlTraits kIPv6CP{"IPv6CP", "PPP IPv6 Control Protocol", kNCPCodes, kIPv6CPOptions};
constexpr ControlTraits kCCP{"CCP", "PPP Compression Control Protocol", kCCPCodes, kCCPOptions};

/// Control protocols that an LCP Protocol-Reject hands its rejected packet to.
constexpr std::array kRejectable = {
    CodeName{0x8021, "IPCP"}, CodeName{0x8057, "IPv6CP"}, CodeName{0x80FD, "CCP"},
    CodeName{0xC023, "PAP"},  CodeName{0xC223, "CHAP"},
};
constexpr std::array kAuthProtocols = {
    CodeName{0xC023, "Password Authentication Protocol"},
    CodeName{0xC223, "Challenge Handshake Authentication Protocol"},
    CodeName{0xC227, "Extensible Authentication Protocol"},
};
constexpr std::array kCHAPAlgorithms = {
    CodeName{5, "MD5"}, CodeName{0x80, "MS-CHAP"}, CodeName{0x81, "MS-CHAP-2"},
};

/// What the protocol knows of option `type` (its name and value format), or null for an option it
/// does not know.
const OptionSpec* optionSpec(const ControlTraits& traits, std::uint8_t type) {
    const OptionSpec* spec = nullptr;
    for (const auto& s : traits.options)
        if (s.type == type) spec = &s;
    return spec;
}

std::string optionValue(const OptionSpec* spec, std::span<const std::byte> value) {
    if (!spec) return hexBytes(value);
    switch (spec->format) {
    case OptionFormat::number:
        if (auto n = ByteReader(value).readUBE(value.size()); n && value.size() <= 4) return std::to_string(*n);
        return hexBytes(value);
    case OptionFormat::ipv4:
        if (value.size() == 4) return ipv4Text(value).value_or("");
        return hexBytes(value);
    case OptionFormat::flag:
        return value.empty() ? "on" : hexBytes(value);
    case OptionFormat::interfaceId:
        if (value.size() == 8) {
            auto h = hexBytes(value);
            return h.substr(0, 4) + ":" + h.substr(4, 4) + ":" + h.substr(8, 4) + ":" + h.substr(12, 4);
        }
        return hexBytes(value);
    case OptionFormat::authProtocol: {
        ByteReader r(value);
        auto protocol = r.readU16be();
        if (!protocol) return hexBytes(value);
        auto text = namedHexCode(kAuthProtocols, *protocol, 4);
        if (*protocol == 0xC223 && r.remaining() == 1) text += ", " + namedHexCode(kCHAPAlgorithms, *r.readU8(), 2);
        else if (!r.empty()) text += ", " + hexBytes(r.rest());
        return text;
    }
    case OptionFormat::hex:
        break;
    }
    return hexBytes(value);
}

/// Walks configuration options: TYPE (1) LENGTH (1, counting both) DATA, calling
/// `visit(at, type, length, value)` (`at` from the start of `options`) for each whole option
/// until it returns true. A length below 2 or past the bytes ends the walk. Gives the reader where
/// the walk ended: at a malformed option, at a stray last byte, after the option `visit` stopped
/// at, or at the end.
template <class Visit>
ByteReader visitOptions(ByteReader options, const Visit& visit) {
    while (options.remaining() >= 2) {
        const std::size_t at = options.offset();
        const auto type = *options.peekU8(0);
        const auto length = *options.peekU8(1);
        if (length < 2 || !options.canRead(length)) break;
        options.skip(2);
        if (visit(at, type, length, *options.readBytes(length - 2u))) break;
    }
    return options;
}

/// Walks configuration options (see `visitOptions`); a malformed option or a stray byte ends the
/// rows with a malformed row. `base` is the offset of the options in the analyzer's bytes.
/// `summary` gets ", Name value" for each option the protocol knows (flags aside); rows are built
/// only when `nodes` is given.
void walkOptions(const ControlTraits& traits, ByteReader options, std::size_t base, NodeList* nodes,
                 std::string* summary) {
    const ByteReader rest = visitOptions(options, [&](std::size_t offset, std::uint8_t type, std::uint8_t length,
                                                      std::span<const std::byte> value) {
        const std::size_t at = base + offset;
        const OptionSpec* spec = optionSpec(traits, type);
        const bool named = summary && spec && spec->format != OptionFormat::flag;
        if (!nodes) {  // the summary names the options it knows and builds no rows
            if (named) summary->append(", ").append(spec->name).append(" ").append(optionValue(spec, value));
            return false;
        }
        auto node = field(spec ? std::string(spec->name) : "Unknown Option " + std::to_string(type),
                          optionValue(spec, value), at, length);
        node->addChild(field("Type", std::to_string(type), at, 1));
        node->addChild(field("Length", std::to_string(length), at + 1, 1));
        if (named) summary->append(", ").append(spec->name).append(" ").append(node->nodeValue());
        nodes->push_back(std::move(node));
        return false;
    });
    if (!nodes || rest.empty()) return;
    const std::size_t at = base + rest.offset();
    if (rest.remaining() == 1) {
        nodes->push_back(field("Malformed Option", "1 stray byte", at, 1));
        return;
    }
    nodes->push_back(field("Malformed Option", "type " + std::to_string(*rest.peekU8(0)) + ", length " +
                                                   std::to_string(*rest.peekU8(1)) + " with " +
                                                   std::to_string(rest.remaining()) + " bytes left",
                           at, rest.remaining()));
}

/// The value of the first option of `type`, walked as `walkOptions` walks them but without
/// making rows.
std::optional<std::span<const std::byte>> firstOption(ByteReader options, std::uint8_t type) {
    std::optional<std::span<const std::byte>> found;
    visitOptions(options, [&](std::size_t, std::uint8_t optionType, std::uint8_t, std::span<const std::byte> value) {
        if (optionType == type) found = value;
        return found.has_value();
    });
    return found;
}

/// A packet of a control protocol with LCP's format (RFC 1661 section 5): the fixed part (see
/// PPPPacketHeader), then, by code, configuration options (codes 1 to 4), a message (Terminate), a
/// rejected packet (Code-Reject, Protocol-Reject), or a magic number and data (Echo, Discard,
/// Identification, Time-Remaining).
///
/// The whole packet is the header and nothing is carried, except for an LCP Protocol-Reject of
/// another control protocol, whose rejected packet is handed to that protocol's analyzer (so the
/// chain reads LCP-IPv6CP, as the rejected protocol is what the packet is about).
class ControlProtocolAnalyzer : public AnalyzerBase {
public:
    using AnalyzerBase::protocolInfo;
    ControlProtocolAnalyzer(const Data& data, const PacketRef&, const ControlTraits& traits)
        : AnalyzerBase(data), traits_(traits) {
        auto header = *PPPPacketHeader::read(data);
        if (auto rejected = rejectedProtocol(header, data)) {
            setHeaderSize(PPPPacketHeader::kSize + 2);
            setNextProtocol(std::move(rejected));
        } else {
            setHeaderSize(header.present);
            setHasPayload(false);
        }
    }
    [[nodiscard]] InternedString protocolNameInterned() const override { return InternedString(traits_.protocol); }

    /// "Configure-Request (id 1), Maximum-Receive-Unit (MRU) 1492, Magic-Number 0a0b0c0d".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPPacketHeader::read(data);
        if (!header) return std::nullopt;
        std::string info = header->summary(lookupName(traits_.codes, header->code));
        if (header->code >= kConfigureRequest && header->code <= kConfigureReject) {
            walkOptions(traits_, header->body(data), PPPPacketHeader::kSize, nullptr, &info);
        }
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPPacketHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading(std::string(traits_.title), protocolInfo(data), header->present)};
        header->addNodes(nodes, namedCode(traits_.codes, header->code), data.size());
        auto body = header->body(data);
        constexpr std::size_t base = PPPPacketHeader::kSize;
        auto code = header->code;
        if (code >= kConfigureRequest && code <= kConfigureReject) {
            walkOptions(traits_, body, base, &nodes, nullptr);
        } else if (code == kTerminateRequest || code == kTerminateAck) {
            if (!body.empty()) nodes.push_back(field("Data", printableText(body.rest()), base, body.remaining()));
        } else if (code == kCodeReject) {
            if (!body.empty()) nodes.push_back(field("Rejected Packet", hexBytes(body.rest()), base, body.remaining()));
        } else if (traits_.protocol == "LCP" && code == kProtocolReject) {
            if (auto protocol = body.readU16be()) {
                nodes.push_back(field("Rejected Protocol", hexText(*protocol, 4), base, 2));
                if (!body.empty())
                    nodes.push_back(field("Rejected Information", hexBytes(body.rest()), base + 2, body.remaining()));
            }
        } else if (traits_.protocol == "LCP" && code >= kEchoRequest && code <= kTimeRemaining) {
            if (auto magic = body.readU32be()) nodes.push_back(field("Magic-Number", hexText(*magic, 8), base, 4));
            std::size_t at = base + body.offset();
            if (code == kTimeRemaining) {
                if (auto seconds = body.readU32be())
                    nodes.push_back(field("Seconds-Remaining", std::to_string(*seconds), at, 4));
                at = base + body.offset();
            }
            if (!body.empty())
                nodes.push_back(field(code == kIdentification || code == kTimeRemaining ? "Message" : "Data",
                                      code == kIdentification || code == kTimeRemaining ? printableText(body.rest())
                                                                                         : hexBytes(body.rest()),
                                      at, body.remaining()));
        } else if (!body.empty()) {
            nodes.push_back(field("Data", hexBytes(body.rest()), base, body.remaining()));
        }
        return nodes;
    }

    /// "<protocol>Code" (e.g. "lcpCode"), "<protocol>Identifier"; from the options of a Configure
    /// packet, for IPCP "ipcpAddress" (the IP-Address option as its row shows it) and for LCP
    /// "lcpMRU" (the Maximum-Receive-Unit option, a number).
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        const std::string_view protocol = traits_.protocol;
        auto keyed = [&](std::string_view suffix) {
            return key.size() == protocol.size() + suffix.size() && key.ends_with(suffix) &&
                   std::equal(protocol.begin(), protocol.end(), key.begin(), [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) == b;
                   });
        };
        if (keyed("Code")) return Value(fieldNumber(data, 0, 1));
        if (keyed("Identifier")) return Value(fieldNumber(data, 1, 1));
        const bool address = key == "ipcpAddress" && protocol == "IPCP";
        const bool mru = key == "lcpMRU" && protocol == "LCP";
        if (!address && !mru) return {};
        auto header = PPPPacketHeader::read(data);
        if (!header || header->code < kConfigureRequest || header->code > kConfigureReject) return {};
        auto option = firstOption(header->body(data), address ? kIPAddressOption : kMRUOption);
        if (!option) return {};
        if (address) return Value(optionValue(optionSpec(traits_, kIPAddressOption), *option));
        if (option->size() != 2) return {};
        return Value(static_cast<unsigned>(*ByteReader(*option).readU16be()));
    }

private:
    /// For an LCP Protocol-Reject of a known control protocol with its rejected packet present:
    /// that protocol's name.
    [[nodiscard]] std::optional<std::string> rejectedProtocol(const PPPPacketHeader& header, const Data& data) const {
        if (traits_.protocol != "LCP" || header.code != kProtocolReject) return std::nullopt;
        auto body = header.body(data);
        auto protocol = body.readU16be();
        if (!protocol || body.remaining() < PPPPacketHeader::kSize) return std::nullopt;
        auto name = lookupName(kRejectable, *protocol);
        if (!name) return std::nullopt;
        return std::string(*name);
    }

    const ControlTraits& traits_;
};

/// One analyzer class per control protocol, all with the shared implementation.
template <const ControlTraits* Traits>
class ControlAnalyzer final : public StandardAnalyzer<ControlAnalyzer<Traits>, ControlProtocolAnalyzer> {
    using Shape = StandardAnalyzer<ControlAnalyzer<Traits>, ControlProtocolAnalyzer>;

public:
    ControlAnalyzer(const Data& data, const PacketRef& packet) : Shape(data, packet, *Traits) {}
    /// Refuses fewer than the 4 bytes of the fixed part.
    static bool accepts(const Data& data, const PacketRef&) { return data.size() >= PPPPacketHeader::kSize; }
    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
};

const AnalyzerClassRegistration<ControlAnalyzer<&kLCP>> kLCPClass{"LCPAnalyzer"};
const AnalyzerClassRegistration<ControlAnalyzer<&kIPCP>> kIPCPClass{"IPCPAnalyzer"};
const AnalyzerClassRegistration<ControlAnalyzer<&kIPv6CP>> kIPv6CPClass{"IPv6CPAnalyzer"};
const AnalyzerClassRegistration<ControlAnalyzer<&kCCP>> kCCPClass{"CCPAnalyzer"};

template <>
const QORPluginAnalyzerClass& ControlAnalyzer<&kLCP>::analyzerClass() const { return *kLCPClass; }
template <>
const QORPluginAnalyzerClass& ControlAnalyzer<&kIPCP>::analyzerClass() const { return *kIPCPClass; }
template <>
const QORPluginAnalyzerClass& ControlAnalyzer<&kIPv6CP>::analyzerClass() const { return *kIPv6CPClass; }
template <>
const QORPluginAnalyzerClass& ControlAnalyzer<&kCCP>::analyzerClass() const { return *kCCPClass; }

/// The family of one control protocol, named by its class.
template <const ControlTraits* Traits>
AnalyzerFamily controlFamily(const AnalyzerClassRef& cls, std::string description) {
    std::string key(Traits->protocol);
    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    AnalyzerFamily f;
    f.title = std::string(Traits->protocol);
    f.description = std::move(description);
    f.analyzerClass = cls;
    f.protocols = {namedTarget(std::string(Traits->protocol))};
    f.attributes = {
        attribute(cls, std::string(Traits->protocol) + " Code", key + "Code", AttributeValueType::uint8, 0, 1),
        attribute(cls, std::string(Traits->protocol) + " Identifier", key + "Identifier", AttributeValueType::uint8, 1, 1),
    };
    if (Traits == &kIPCP)
        f.attributes.push_back(
            attribute(cls, "IPCP IP-Address", "ipcpAddress", AttributeValueType::string, 0, kToEndOfHeader));
    if (Traits == &kLCP)
        f.attributes.push_back(attribute(cls, "LCP MRU", "lcpMRU", AttributeValueType::uint16, 0, kToEndOfHeader));
    return f;
}

const FamilyRegistration kLCPFamily{[] { return controlFamily<&kLCP>(kLCPClass, "PPP Link Control Protocol (RFC 1661)"); }};
const FamilyRegistration kIPCPFamily{[] { return controlFamily<&kIPCP>(kIPCPClass, "PPP IP Control Protocol (RFC 1332, RFC 1877)"); }};
const FamilyRegistration kIPv6CPFamily{[] { return controlFamily<&kIPv6CP>(kIPv6CPClass, "PPP IPv6 Control Protocol (RFC 5072)"); }};
const FamilyRegistration kCCPFamily{[] { return controlFamily<&kCCP>(kCCPClass, "PPP Compression Control Protocol (RFC 1962)"); }};

}  // namespace
}  // namespace qor::standard::access
