// The ICMPv6 analyzer ("ICMPv6", IP protocol 58), with Neighbor Discovery.

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QuotedDatagram.hpp"

namespace qor::standard {
namespace {

/// An ICMPv6 message (RFC 4443) and the Neighbor Discovery messages (RFC 4861):
///
///     0  type (1)   1  code (1)   2  checksum (2)
///     4  message body: identifier (2) and sequence (2) for echo; MTU (4) for Packet Too Big;
///        for Neighbor Discovery a fixed part (RS 4, RA 12, NS/NA 20, Redirect 36 bytes) and
///        options, each TYPE (1), LENGTH in 8-byte units (1), VALUE; a length of 0 is invalid.
///
/// The datagram an error message quotes continues the chain as quoted layers
/// (`quotedDatagramProtocol`). Options are walked up to `kMaxOptions`. The hop limit of an echo
/// summary is read from the IPv6 header just before the message, when the analyzer's bytes lie
/// inside the packet's and no extension header intervenes.
class IcmpV6Analyzer final : public StandardAnalyzer<IcmpV6Analyzer> {
public:
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr std::size_t kIPv6HeaderSize = 40;
    static constexpr std::size_t kMaxOptions = 32;
    static constexpr std::size_t kOptionUnit = 8;
    /// Error messages (types 1 to 4) quote the datagram that caused them after the 8-byte header.
    static constexpr std::uint8_t kFirstErrorType = 1, kLastErrorType = 4;

    /// Reads the enclosing header's hop limit now: the analyzer does not keep its packet.
    IcmpV6Analyzer(const Data& data, const PacketRef& packet)
        : StandardAnalyzer(data), hopLimit_(enclosingHopLimit(data, packet)) {
        setHeaderSize(kHeaderSize);
        auto type = ByteReader(data).peekU8(0);
        if (type && *type >= kFirstErrorType && *type <= kLastErrorType && data.size() > kHeaderSize)
            setNextProtocol(quotedDatagramProtocol(data.slice(kHeaderSize)));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"ICMPv6">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        ByteReader r(data);
        auto type = r.peekU8(0), code = r.peekU8(1);
        if (!type || !code) return std::nullopt;
        std::string name(lookupName(kTypes, *type).value_or(""));
        if (name.empty()) name = fmt::format("Unknown ICMPv6 type {}", *type);
        if (auto codes = codeTable(*type); !codes.empty()) return fmt::format("{} ({})", name, nameFor(codes, *code));
        auto options = readOptions(data, *type);
        switch (*type) {
            case 128:
            case 129: {
                auto id = r.peekU16be(4), seq = r.peekU16be(6);
                if (!id || !seq) return name;
                std::string info = fmt::format("{} id={}, seq={}", name, hexText(*id, 4), *seq);
                if (hopLimit_) info += fmt::format(", hop limit={}", *hopLimit_);
                return info;
            }
            case 133:
            case 134:
                if (options.sourceLinkLayer) return fmt::format("{} from {}", name, *options.sourceLinkLayer);
                return name;
            case 135: {
                if (data.size() < 24) return name;
                std::string info = fmt::format("{} for {}", name, *ipv6TextAt(data.span(), 8));
                if (options.sourceLinkLayer) info += " from " + *options.sourceLinkLayer;
                return info;
            }
            case 136: {
                if (data.size() < 24) return name;
                auto flags = *r.peekU8(4);
                std::vector<std::string> names;
                if (flags & 0x80) names.emplace_back("rtr");
                if (flags & 0x40) names.emplace_back("sol");
                if (flags & 0x20) names.emplace_back("ovr");
                std::string info = fmt::format("{} {}", name, *ipv6TextAt(data.span(), 8));
                if (!names.empty()) {
                    info += " (";
                    for (std::size_t i = 0; i < names.size(); ++i) info += (i ? ", " : "") + names[i];
                    info += ")";
                }
                if (options.targetLinkLayer) info += " is at " + *options.targetLinkLayer;
                return info;
            }
            default: return name;
        }
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Internet Control Message Protocol v6", "", 0, protocolSize());
        ByteReader r(data);
        auto type = r.peekU8(0), code = r.peekU8(1);
        if (!type || !code || !r.canRead(kHeaderSize)) {
            root->setNodeValue("[Truncated]");
            if (type) addField(root, "Type", nameWithCode(kTypes, *type), 0, 1);
            return {root};
        }
        root->setNodeValue(*protocolInfo(data));
        addField(root, "Type", nameWithCode(kTypes, *type), 0, 1);
        auto codes = codeTable(*type);
        addField(root, "Code", codes.empty() ? std::to_string(*code) : nameWithCode(codes, *code), 1, 1);
        addField(root, "Checksum", hexText(*r.peekU16be(2), 4) + " [unverified]", 2, 2);
        switch (*type) {
            case 2: addField(root, "MTU", std::to_string(*r.peekU32be(4)), 4, 4); break;
            case 128:
            case 129:
                addField(root, "Identifier", hexText(*r.peekU16be(4), 4), 4, 2);
                addField(root, "Sequence", std::to_string(*r.peekU16be(6)), 6, 2);
                break;
            case 134:
                addField(root, "Cur hop limit", std::to_string(*r.peekU8(4)), 4, 1);
                addField(root, "Flags", hexText(*r.peekU8(5), 2), 5, 1);
                addField(root, "Router lifetime (s)", std::to_string(*r.peekU16be(6)), 6, 2);
                break;
            case 135:
            case 136:
                if (data.size() >= 24) addField(root, "Target Address", *ipv6TextAt(data.span(), 8), 8, 16);
                break;
            default: break;
        }
        for (const auto& option : readOptions(data, *type).nodes) root->addChild(option);
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "icmpv6Type") {
            if (auto v = fieldU8(data, 0)) return *v;
            return {};
        }
        if (key == "icmpv6Code") {
            if (auto v = fieldU8(data, 1)) return *v;
            return {};
        }
        if (key == "payloadSize") {
            if (data.size() < kHeaderSize) return {};
            return static_cast<std::uint16_t>(std::min<std::size_t>(data.size() - kHeaderSize, UINT16_MAX));
        }
        return {};
    }

private:
    static constexpr CodeName kTypes[] = {
        {1, "Destination Unreachable"}, {2, "Packet Too Big"}, {3, "Time Exceeded"}, {4, "Parameter Problem"},
        {128, "Echo (ping) request"}, {129, "Echo (ping) reply"}, {130, "Multicast Listener Query"},
        {131, "Multicast Listener Report"}, {132, "Multicast Listener Done"}, {133, "Router Solicitation"},
        {134, "Router Advertisement"}, {135, "Neighbor Solicitation"}, {136, "Neighbor Advertisement"},
        {137, "Redirect"}, {143, "Multicast Listener Report Message v2"},
    };
    static constexpr CodeName kUnreachable[] = {
        {0, "no route to destination"}, {1, "communication with destination administratively prohibited"},
        {2, "beyond scope of source address"}, {3, "Address unreachable"}, {4, "Port unreachable"},
        {5, "source address failed ingress/egress policy"}, {6, "reject route to destination"},
    };
    static constexpr CodeName kTimeExceeded[] = {{0, "hop limit exceeded in transit"}, {1, "fragment reassembly time exceeded"}};
    static constexpr CodeName kParameterProblem[] = {
        {0, "erroneous header field encountered"}, {1, "unrecognized Next Header type encountered"},
        {2, "unrecognized IPv6 option encountered"},
    };
    static constexpr CodeName kOptionTypes[] = {
        {1, "Source link-layer address"}, {2, "Target link-layer address"}, {3, "Prefix information"},
        {4, "Redirected header"}, {5, "MTU"}, {25, "Recursive DNS Server"}, {31, "DNS Search List"},
    };

    static std::span<const CodeName> codeTable(std::uint8_t type) {
        switch (type) {
            case 1: return kUnreachable;
            case 3: return kTimeExceeded;
            case 4: return kParameterProblem;
            default: return {};
        }
    }

    /// Where the options of a Neighbor Discovery message start; nothing for other types.
    static std::optional<std::size_t> optionsOffset(std::uint8_t type) {
        switch (type) {
            case 133: return 8;
            case 134: return 16;
            case 135:
            case 136: return 24;
            case 137: return 40;
            default: return std::nullopt;
        }
    }

    struct Options {
        std::optional<std::string> sourceLinkLayer, targetLinkLayer;
        NodeList nodes;
    };

    static Options readOptions(const Data& data, std::uint8_t type) {
        Options out;
        auto start = optionsOffset(type);
        if (!start || data.size() <= *start) return out;
        ByteReader r = ByteReader(data).from(*start);
        for (std::size_t count = 0; count < kMaxOptions && r.remaining() >= 2; ++count) {
            std::size_t at = *start + r.offset();
            auto optionType = *r.peekU8(0);
            auto units = *r.peekU8(1);
            std::size_t length = std::size_t(units) * kOptionUnit;
            if (units == 0 || !r.canRead(length)) {
                out.nodes.push_back(field("ICMPv6 Option", fmt::format("{}: invalid length", nameFor(kOptionTypes, optionType)), at, r.remaining()));
                break;
            }
            auto body = *r.readSlice(length);
            body.skip(2);  // type and length
            ByteReader value = body.from(body.offset());
            std::string text;
            if (optionType == 1 || optionType == 2) {
                text = macText(*value.readBytes(std::min<std::size_t>(value.remaining(), 6)));
                (optionType == 1 ? out.sourceLinkLayer : out.targetLinkLayer) = text;
            } else if (optionType == 5 && value.remaining() >= 6) {
                value.skip(2);  // reserved
                text = std::to_string(*value.readU32be());
            } else if (optionType == 3 && value.remaining() >= 30) {
                // Prefix Length (1), flags (1), lifetimes (8), reserved (4), Prefix (16).
                text = fmt::format("{}/{}", *ipv6TextAt(value.rest(), 14), *value.peekU8());
            } else {
                text = fmt::format("{} bytes", length);
            }
            out.nodes.push_back(field("ICMPv6 Option", fmt::format("{}: {}", nameFor(kOptionTypes, optionType), text), at, length));
        }
        return out;
    }

    /// The hop limit of the IPv6 header that ends right where `data` starts inside the packet.
    static std::optional<std::uint8_t> enclosingHopLimit(const Data& data, const PacketRef& packet) {
        Data all;
        auto offset = offsetInPacket(data, packet, all);
        if (!offset || *offset < kIPv6HeaderSize) return std::nullopt;
        std::size_t start = *offset - kIPv6HeaderSize;
        ByteReader r = ByteReader(all).from(start);
        auto first = r.peekU8(0), next = r.peekU8(6);
        if (first && next && (*first >> 4) == 6 && *next == 58) return r.peekU8(7);
        return std::nullopt;
    }

    std::optional<std::uint8_t> hopLimit_;
};

const AnalyzerClassRegistration<IcmpV6Analyzer> kClass{"IcmpV6Analyzer"};

const QORPluginAnalyzerClass& IcmpV6Analyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "ICMPv6";
    f.description = "Internet Control Message Protocol for IPv6, with Neighbor Discovery";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("ICMPv6", IcmpV6Analyzer::kHeaderSize)};
    f.attributes = {
        attribute(kClass, "ICMPv6 Type", "icmpv6Type", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "ICMPv6 Code", "icmpv6Code", AttributeValueType::uint8, 1, 1),
    };
    f.columns = {column("ICMPv6 Type", "icmpv6Type", "ICMPv6 Type is", "icmpv6Type == $value", AttributeValueType::uint8)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
