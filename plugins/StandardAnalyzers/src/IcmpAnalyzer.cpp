// The ICMP analyzer ("ICMP", IP protocol 1).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QuotedDatagram.hpp"

namespace qor::standard {
namespace {

/// An ICMP message (RFC 792):
///
///     0  type (1)   1  code (1)   2  checksum (2)
///     4  rest of header (4): identifier and sequence number for echo and timestamp messages,
///        gateway address for redirects, pointer for parameter problems, else unused
///     8  data: echo data, or the quoted IP header and first 8 bytes of the datagram in error
///
/// The quoted datagram of an error (destination unreachable, source quench, redirect, time
/// exceeded, parameter problem) continues the chain as quoted layers (`quotedDatagramProtocol`),
/// which keep the ICMP message's summary line. The time to live of an echo summary is read from the IPv4 header just
/// before the message, when the analyzer's bytes lie inside the packet's.
class IcmpAnalyzer final : public StandardAnalyzer<IcmpAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 8;
    static constexpr std::size_t kMinIPv4HeaderWords = 5, kMaxIPv4HeaderWords = 15;

    /// Reads the enclosing header's time to live now: the analyzer does not keep its packet.
    IcmpAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), ttl_(enclosingTTL(data, packet)) {
        setHeaderSize(kHeaderSize);
        auto type = ByteReader(data).peekU8(0);
        if (type && isError(*type) && data.size() > kHeaderSize)
            setNextProtocol(quotedDatagramProtocol(data.slice(kHeaderSize)));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"ICMP">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        ByteReader r(data);
        auto type = r.peekU8(0), code = r.peekU8(1);
        if (!type || !code) return std::nullopt;
        // Appended to one string: every listed ICMP message builds this line.
        std::string info(lookupName(kTypes, *type).value_or(""));
        if (info.empty()) info = fmt::format("Unknown ICMP (obsolete or malformed?) (type {})", *type);
        // The type's name is padded to 20 characters (the names are ASCII), as in the echo summary.
        auto padName = [&] {
            if (info.size() < kNameWidth) info.append(kNameWidth - info.size(), ' ');
        };
        if (auto codes = codeTable(*type); !codes.empty()) {
            padName();
            info += " (";
            info += nameFor(codes, *code);
            info += ')';
        }
        auto id = r.peekU16be(4), seq = r.peekU16be(6);
        bool echo = *type == 0 || *type == 8 || *type == 13 || *type == 14;
        if (!echo || !id || !seq) return info;
        padName();
        info += " id=";
        appendHexText(info, *id, 4);
        info += ", seq=";
        appendDecimal(info, *seq);
        info += '/';
        appendDecimal(info, ByteReader::byteswapValue(*seq));
        if (ttl_) {
            info += ", ttl=";
            appendDecimal(info, *ttl_);
        }
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Internet Control Message Protocol", "", 0, protocolSize());
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
            case 0: case 8: case 13: case 14: case 17: case 18:
                addField(root, "Identifier", hexText(*r.peekU16be(4), 4), 4, 2);
                addField(root, "Sequence Number", std::to_string(*r.peekU16be(6)), 6, 2);
                if (data.size() > kHeaderSize) addField(root, "Data", fmt::format("{} bytes", data.size() - kHeaderSize), kHeaderSize, data.size() - kHeaderSize);
                break;
            case 5:
                addField(root, "Gateway Address", *ipv4TextAt(data.span(), 4), 4, 4);
                addQuoted(root, data);
                break;
            case 3: case 4: case 11: case 12:
                if (*type == 3 && *code == 4) addField(root, "MTU of next hop", std::to_string(*r.peekU16be(6)), 6, 2);
                if (*type == 12) addField(root, "Pointer", std::to_string(*r.peekU8(4)), 4, 1);
                addQuoted(root, data);
                break;
            default: break;
        }
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "icmpType") {
            if (auto v = fieldU8(data, 0)) return *v;
            return {};
        }
        if (key == "icmpCode") {
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
        {0, "Echo (ping) reply"}, {3, "Destination unreachable"}, {4, "Source quench (flow control)"},
        {5, "Redirect"}, {8, "Echo (ping) request"}, {9, "Router advertisement"}, {10, "Router solicitation"},
        {11, "Time-to-live exceeded"}, {12, "Parameter problem"}, {13, "Timestamp request"}, {14, "Timestamp reply"},
        {17, "Address mask request"}, {18, "Address mask reply"},
    };
    static constexpr CodeName kUnreachable[] = {
        {0, "Network unreachable"}, {1, "Host unreachable"}, {2, "Protocol unreachable"}, {3, "Port unreachable"},
        {4, "Fragmentation needed"}, {5, "Source route failed"}, {6, "Destination network unknown"},
        {7, "Destination host unknown"}, {8, "Source host isolated"}, {9, "Network administratively prohibited"},
        {10, "Host administratively prohibited"}, {11, "Network unreachable for TOS"}, {12, "Host unreachable for TOS"},
        {13, "Communication administratively filtered"}, {14, "Host precedence violation"}, {15, "Precedence cutoff in effect"},
    };
    static constexpr CodeName kRedirect[] = {
        {0, "Redirect for network"}, {1, "Redirect for host"}, {2, "Redirect for TOS and network"}, {3, "Redirect for TOS and host"},
    };
    static constexpr CodeName kTimeExceeded[] = {
        {0, "Time to live exceeded in transit"}, {1, "Fragment reassembly time exceeded"},
    };

    /// Whether a message of this type is an error quoting the datagram that caused it.
    static bool isError(std::uint8_t type) { return type == 3 || type == 4 || type == 5 || type == 11 || type == 12; }

    static constexpr CodeName kParameterProblem[] = {
        {0, "Pointer indicates the error"}, {1, "Required option missing"}, {2, "Bad length"},
    };

    static std::span<const CodeName> codeTable(std::uint8_t type) {
        switch (type) {
            case 3: return kUnreachable;
            case 5: return kRedirect;
            case 11: return kTimeExceeded;
            case 12: return kParameterProblem;
            default: return {};
        }
    }

    /// The quoted IPv4 header of an error message, with the ports when TCP or UDP follows.
    static void addQuoted(const std::shared_ptr<QORNode>& root, const Data& data) {
        auto quoted = data.slice(kHeaderSize);
        ByteReader r(quoted);
        auto first = r.peekU8(0);
        if (!first || (*first >> 4) != 4 || !r.canRead(20)) return;
        std::size_t ihl = std::size_t(*first & 0x0F) * 4;
        auto protocol = *r.peekU8(9);
        auto node = addField(root, "Quoted IPv4 header",
                             fmt::format("Src: {}, Dst: {}, {}", *ipv4Text(quoted.slice(12, 4).span()),
                                         *ipv4Text(quoted.slice(16, 4).span()), ipProtocolText(protocol)),
                             kHeaderSize, std::min(ihl, quoted.size()));
        if ((protocol == 6 || protocol == 17) && ihl >= 20) {
            auto sp = r.peekU16be(ihl), dp = r.peekU16be(ihl + 2);
            if (sp && dp) addField(node, "Quoted ports", fmt::format("{} → {}", *sp, *dp), kHeaderSize + ihl, 4);
        }
    }

    /// The TTL of the IPv4 header that ends right where `data` starts inside the packet.
    static std::optional<std::uint8_t> enclosingTTL(const Data& data, const PacketRef& packet) {
        Data all;
        auto offset = offsetInPacket(data, packet, all);
        if (!offset) return std::nullopt;
        for (std::size_t words = kMinIPv4HeaderWords; words <= kMaxIPv4HeaderWords; ++words) {
            if (*offset < words * 4) break;
            std::size_t start = *offset - words * 4;
            ByteReader r = ByteReader(all).from(start);
            auto first = r.peekU8(0), protocol = r.peekU8(9);
            if (first && protocol && *first == (0x40 | words) && *protocol == 1) return r.peekU8(8);
        }
        return std::nullopt;
    }

    /// The width the summary pads the type's name to.
    static constexpr std::size_t kNameWidth = 20;
    std::optional<std::uint8_t> ttl_;
};

const AnalyzerClassRegistration<IcmpAnalyzer> kClass{"IcmpAnalyzer"};

const QORPluginAnalyzerClass& IcmpAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "ICMP";
    f.description = "Internet Control Message Protocol";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("ICMP", IcmpAnalyzer::kHeaderSize)};
    f.attributes = {
        attribute(kClass, "ICMP Type", "icmpType", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "ICMP Code", "icmpCode", AttributeValueType::uint8, 1, 1),
    };
    f.columns = {column("ICMP Type", "icmpType", "ICMP Type is", "icmpType == $value", AttributeValueType::uint8)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
