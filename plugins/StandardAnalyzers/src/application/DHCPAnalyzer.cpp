// The DHCP analyzer ("DHCP", UDP ports 67 and 68): BOOTP fields, message type and options.

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard::application {
namespace {


/// op .. file: the fixed BOOTP part (RFC 2131 section 2).
constexpr std::size_t kFixedSize = 236;
constexpr std::size_t kChaddrOffset = 28, kChaddrSize = 16, kSnameOffset = 44, kSnameSize = 64, kFileOffset = 108,
                      kFileSize = 128;
constexpr std::uint32_t kMagicCookie = 0x63825363;
constexpr std::uint8_t kOptionPad = 0, kOptionEnd = 255, kOptionMessageType = 53;
/// Options shown in the summary beside the message type.
constexpr std::uint8_t kOptionRequestedIP = 50, kOptionHostName = 12;

constexpr std::array kMessageTypes = {
    CodeName{1, "Discover"}, CodeName{2, "Offer"},   CodeName{3, "Request"}, CodeName{4, "Decline"},
    CodeName{5, "ACK"},      CodeName{6, "NAK"},     CodeName{7, "Release"}, CodeName{8, "Inform"},
    CodeName{9, "Force Renew"}, CodeName{10, "Lease Query"}, CodeName{11, "Lease Unassigned"},
    CodeName{12, "Lease Unknown"}, CodeName{13, "Lease Active"},
};

enum class Format { hex, text, ipv4, ipv4List, number, messageType, parameterList };

struct OptionSpec {
    std::uint8_t code;
    std::string_view name;
    Format format;
};

/// Options (RFC 2132 and later, as the IANA BOOTP/DHCP registry names them).
constexpr std::array kOptions = {
    OptionSpec{1, "Subnet Mask", Format::ipv4},
    OptionSpec{2, "Time Offset", Format::number},
    OptionSpec{3, "Router", Format::ipv4List},
    OptionSpec{4, "Time Server", Format::ipv4List},
    OptionSpec{6, "Domain Name Server", Format::ipv4List},
    OptionSpec{12, "Host Name", Format::text},
    OptionSpec{15, "Domain Name", Format::text},
    OptionSpec{26, "Interface MTU", Format::number},
    OptionSpec{28, "Broadcast Address", Format::ipv4},
    OptionSpec{33, "Static Route", Format::hex},
    OptionSpec{42, "NTP Servers", Format::ipv4List},
    OptionSpec{43, "Vendor-Specific Information", Format::hex},
    OptionSpec{44, "NetBIOS over TCP/IP Name Server", Format::ipv4List},
    OptionSpec{46, "NetBIOS over TCP/IP Node Type", Format::number},
    OptionSpec{50, "Requested IP Address", Format::ipv4},
    OptionSpec{51, "IP Address Lease Time", Format::number},
    OptionSpec{52, "Option Overload", Format::number},
    OptionSpec{53, "DHCP Message Type", Format::messageType},
    OptionSpec{54, "DHCP Server Identifier", Format::ipv4},
    OptionSpec{55, "Parameter Request List", Format::parameterList},
    OptionSpec{56, "Message", Format::text},
    OptionSpec{57, "Maximum DHCP Message Size", Format::number},
    OptionSpec{58, "Renewal Time Value", Format::number},
    OptionSpec{59, "Rebinding Time Value", Format::number},
    OptionSpec{60, "Vendor Class Identifier", Format::text},
    OptionSpec{61, "Client Identifier", Format::hex},
    OptionSpec{66, "TFTP Server Name", Format::text},
    OptionSpec{67, "Bootfile Name", Format::text},
    OptionSpec{77, "User Class Information", Format::hex},
    OptionSpec{81, "Client Fully Qualified Domain Name", Format::hex},
    OptionSpec{82, "Agent Information Option", Format::hex},
    OptionSpec{116, "DHCP Auto-Configuration", Format::number},
    OptionSpec{119, "Domain Search", Format::hex},
    OptionSpec{121, "Classless Static Route", Format::hex},
    OptionSpec{150, "TFTP Server Address", Format::ipv4List},
    OptionSpec{252, "Private/Proxy autodiscovery", Format::text},
};

const OptionSpec* findOption(std::uint8_t code) {
    for (const auto& o : kOptions)
        if (o.code == code) return &o;
    return nullptr;
}

std::string optionValue(const OptionSpec* spec, std::span<const std::byte> v) {
    if (!spec) return hexBytes(v);
    switch (spec->format) {
    case Format::text: return printableText(v);
    case Format::ipv4: return v.size() == 4 ? ipv4Text(v).value_or("") : hexBytes(v);
    case Format::ipv4List: {
        if (v.empty() || v.size() % 4 != 0) return hexBytes(v);
        std::string out;
        ByteReader r(v);
        while (r.offset() < kMaxShownBytes)
            if (auto address = r.readBytes(4)) out += (out.empty() ? "" : ", ") + *ipv4Text(*address);
            else break;
        return out;
    }
    case Format::number:
        if (auto n = ByteReader(v).readUBE(v.size()); n && v.size() <= 4) return std::to_string(*n);
        return hexBytes(v);
    case Format::messageType:
        if (v.size() == 1) return namedCode(kMessageTypes, *ByteReader(v).readU8());
        return hexBytes(v);
    case Format::parameterList: {
        std::string out;
        ByteReader r(v);
        while (r.offset() < kMaxShownBytes)
            if (auto code = r.readU8()) out += (out.empty() ? "" : ", ") + std::to_string(*code);
            else break;
        return out;
    }
    case Format::hex: break;
    }
    return hexBytes(v);
}

struct Option {
    std::size_t offset;
    std::uint8_t code;
    std::span<const std::byte> value;
};

struct OptionWalk {
    std::vector<Option> options;
    std::size_t end = kFixedSize;  ///< offset after the last byte read (End included)
    bool hasCookie = false;
    std::optional<std::string> malformed;
};

/// Walks the options after the magic cookie (RFC 2132 section 2): Pad (0) and End (255) are one
/// byte; every other option is Code (1) | Len (1) | data. An option whose length runs past the
/// packet ends the walk.
OptionWalk walkOptions(const Data& data) {
    OptionWalk walk;
    ByteReader r(data);
    if (!r.skip(kFixedSize)) return walk;
    if (r.peekU32be() != kMagicCookie) return walk;
    walk.hasCookie = true;
    r.skip(4);
    while (!r.empty()) {
        std::size_t at = r.offset();
        auto code = *r.readU8();
        if (code == kOptionPad) continue;
        if (code == kOptionEnd) break;
        auto length = r.readU8();
        auto value = length ? r.readBytes(*length) : std::nullopt;
        if (!value) {
            walk.malformed = "option " + std::to_string(code) + " runs past the packet";
            r.seek(r.size());
            break;
        }
        walk.options.push_back({at, code, *value});
    }
    walk.end = r.offset();
    return walk;
}

/// What a message cut inside its fixed part shows: "Boot Request from 00:0c:29:1f:74:06
/// (00:0c:29:1f:74:06)" once the client hardware address is there, else nothing.
std::optional<std::string> cutSummary(const Data& data) {
    constexpr std::size_t kEthernetAddressLength = 6;
    ByteReader r(data);
    auto op = r.peekU8(0);
    auto address = r.bytesAt(kChaddrOffset, kEthernetAddressLength);
    if (!op || !address || (*op != 1 && *op != 2)) return std::nullopt;
    auto mac = macText(*address);
    return std::string(*op == 1 ? "Boot Request" : "Boot Reply") + " from " + mac + " (" + mac + ")";
}

std::optional<std::uint8_t> messageType(const OptionWalk& walk) {
    for (const auto& o : walk.options)
        if (o.code == kOptionMessageType && o.value.size() == 1) return ByteReader(o.value).readU8();
    return std::nullopt;
}

/// A DHCP (or plain BOOTP) message (RFC 2131 section 2):
///
///     op (1) | htype (1) | hlen (1) | hops (1) | xid (4) | secs (2) | flags (2)
///     ciaddr (4) | yiaddr (4) | siaddr (4) | giaddr (4) | chaddr (16) | sname (64) | file (128)
///     magic cookie 99.130.83.99 | options ...
///
/// The whole message, through the End option, is the header; nothing is carried.
class DHCPAnalyzer final : public StandardAnalyzer<DHCPAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses fewer than the 236 fixed bytes, unless the capture cut the message short
    /// (`cutBySnapshot`): that message is kept and shows what was captured.
    static bool accepts(const Data& data, const PacketRef& packet) {
        return !data.empty() && (data.size() >= kFixedSize || cutBySnapshot(data, packet));
    }

    /// The header runs to the end of the options (to the captured bytes, when cut short).
    DHCPAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data), cut_(cutBySnapshot(data, packet)) {
        setHeaderSize(walkOptions(data).end);
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"DHCP">(); }

    /// "DHCP Request - Transaction ID 0x3d1e" (or "BOOTP Reply ..." without a message type).
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.size() < kFixedSize) return noteCut(cutSummary(data), cut_);
        auto walk = walkOptions(data);
        auto type = messageType(walk);
        std::string info = type ? "DHCP " + nameOrUnknown(kMessageTypes, *type)
                                : std::string(ByteReader(data).peekU8() == 2 ? "BOOTP Reply" : "BOOTP Request");
        info += " - Transaction ID " + hexText(*fieldNumber(data, 4, 4), 8);
        for (const auto& o : walk.options) {
            if (o.code == kOptionRequestedIP && o.value.size() == 4) info += ", requested " + ipv4Text(o.value).value_or("");
            if (o.code == kOptionHostName) info += ", host " + printableText(o.value);
        }
        if (auto yiaddr = data.checkedSlice(16, 4); yiaddr && *fieldNumber(data, 16, 4) != 0)
            info += ", your address " + ipv4Text(yiaddr->span()).value_or("");
        return noteCut(info, cut_);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        if (data.empty()) return {};
        if (data.size() < kFixedSize)
            return {heading("Dynamic Host Configuration Protocol", protocolInfo(data), data.size()),
                    field("Truncated", std::to_string(data.size()) + " of the " + std::to_string(kFixedSize) +
                                           " fixed bytes captured", 0, data.size())};
        auto walk = walkOptions(data);
        NodeList nodes{heading("Dynamic Host Configuration Protocol", protocolInfo(data), walk.end)};
        auto number = [&](std::size_t offset, std::size_t length) { return *fieldNumber(data, offset, length); };
        auto address = [&](std::size_t offset) { return *ipv4TextAt(data.span(), offset); };
        ByteReader r(data);
        auto op = *r.readU8(), htype = *r.readU8(), hlen = *r.readU8(), hops = *r.readU8();
        nodes.push_back(field("Message type", op == 1 ? "Boot Request (1)" : op == 2 ? "Boot Reply (2)" : std::to_string(op),
                              0, 1));
        nodes.push_back(field("Hardware type", htype == 1 ? "Ethernet (0x01)" : hexText(htype, 2), 1, 1));
        nodes.push_back(field("Hardware address length", std::to_string(hlen), 2, 1));
        nodes.push_back(field("Hops", std::to_string(hops), 3, 1));
        nodes.push_back(field("Transaction ID", hexText(number(4, 4), 8), 4, 4));
        nodes.push_back(field("Seconds elapsed", std::to_string(number(8, 2)), 8, 2));
        nodes.push_back(field("Bootp flags", hexText(number(10, 2), 4) + (number(10, 2) & 0x8000 ? " (Broadcast)" : " (Unicast)"), 10, 2));
        nodes.push_back(field("Client IP address", address(12), 12, 4));
        nodes.push_back(field("Your (client) IP address", address(16), 16, 4));
        nodes.push_back(field("Next server IP address", address(20), 20, 4));
        nodes.push_back(field("Relay agent IP address", address(24), 24, 4));
        auto chaddr = *r.bytesAt(kChaddrOffset, std::min<std::size_t>(hlen, kChaddrSize));
        nodes.push_back(field("Client hardware address", macText(chaddr), kChaddrOffset, kChaddrSize));
        auto cstring = [&](std::size_t offset, std::size_t size) {
            auto text = *r.sliceAt(offset, size)->readString(size);
            text = text.substr(0, text.find('\0'));
            return text.empty() ? std::string("not given") : printableText(text);
        };
        nodes.push_back(field("Server host name", cstring(kSnameOffset, kSnameSize), kSnameOffset, kSnameSize));
        nodes.push_back(field("Boot file name", cstring(kFileOffset, kFileSize), kFileOffset, kFileSize));
        if (walk.hasCookie) nodes.push_back(field("Magic cookie", "DHCP", kFixedSize, 4));
        for (const auto& o : walk.options) {
            auto spec = findOption(o.code);
            auto node = field(spec ? "Option (" + std::to_string(o.code) + ") " + std::string(spec->name)
                                   : "Option (" + std::to_string(o.code) + ")",
                              optionValue(spec, o.value), o.offset, 2 + o.value.size());
            node->addChild(field("Length", std::to_string(o.value.size()), o.offset + 1, 1));
            nodes.push_back(std::move(node));
        }
        if (walk.malformed) nodes.push_back(field("Malformed Option", *walk.malformed, walk.end, 0));
        return nodes;
    }

    /// "dhcpMessageType", "dhcpTransactionId", "dhcpYourAddress".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "dhcpTransactionId") return Value(fieldNumber(data, 4, 4));
        if (key == "dhcpYourAddress") {
            auto bytes = fieldBytes(data, 16, 4);
            if (!bytes) return {};
            return Value(ipv4Text(*bytes).value_or(""));
        }
        if (key == "dhcpMessageType") {
            auto type = messageType(walkOptions(data));
            if (!type) return {};
            return Value(static_cast<unsigned>(*type));
        }
        return {};
    }

private:
    bool cut_;  ///< the capture kept only part of the message
};

const AnalyzerClassRegistration<DHCPAnalyzer> kClass{"DHCPAnalyzer"};

const QORPluginAnalyzerClass& DHCPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "DHCP";
    f.description = "Dynamic Host Configuration Protocol and BOOTP (RFC 2131, RFC 2132)";
    f.analyzerClass = kClass;
    f.protocols = {portsTarget("DHCP", {67, 68}, kQORSourceProtocols::udp)};
    f.attributes = {
        attribute(kClass, "DHCP Message Type", "dhcpMessageType", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kClass, "DHCP Transaction ID", "dhcpTransactionId", AttributeValueType::uint32, 4, 4),
        attribute(kClass, "DHCP Your Address", "dhcpYourAddress", AttributeValueType::string, 16, 4),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::application
