// The IPv4 analyzer ("IP", ether type 0x0800; also IP protocol 4 for IP in IP).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The IPv4 header (RFC 791):
///
///      0                   1                   2                   3
///      0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
///     +-------+-------+---------------+-------------------------------+
///     |Version|  IHL  | DSCP      |ECN|          Total Length         |
///     +-------+-------+---------------+-----+-------------------------+
///     |         Identification        |Flags|     Fragment Offset     |
///     +---------------+---------------+-----+-------------------------+
///     |  Time to Live |    Protocol   |         Header Checksum       |
///     +---------------+---------------+-------------------------------+
///     |                       Source Address                          |
///     |                    Destination Address                        |
///     |                    Options (IHL*4 - 20 bytes)                 |
///
/// The header is IHL*4 bytes; the payload runs to Total Length (clamped to what was captured). A
/// Total Length of 0 is what TCP segmentation offload leaves in outgoing captures: the captured
/// bytes then count. A header that lies (Total Length below the header size) or is cut short
/// carries nothing, and neither does a fragment other than the first (its bytes start in the
/// middle of the carried protocol).
class IPv4Analyzer final : public StandardAnalyzer<IPv4Analyzer> {
public:
    static constexpr std::size_t kMinHeaderSize = 20;
    static constexpr std::size_t kSourceOffset = 12, kDestinationOffset = 16, kAddressSize = 4;
    static constexpr std::uint16_t kFragmentOffsetMask = 0x1FFF;
    static constexpr std::uint16_t kMoreFragments = 0x2000, kDontFragment = 0x4000, kReservedFlag = 0x8000;

    /// Refuses bytes whose version nibble is not 4 or whose IHL is below 5; empty bytes are
    /// accepted (and explain nothing).
    static bool accepts(const Data& data, const PacketRef&) {
        auto first = ByteReader(data).peekU8();
        return !first || ((*first >> 4) == 4 && (*first & 0x0F) >= 5);
    }

    IPv4Analyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto first = ByteReader(data).peekU8();
        std::size_t headerLength = first ? std::size_t(*first & 0x0F) * 4 : kMinHeaderSize;
        setHeaderSize(headerLength);
        if (data.size() < headerLength) return;
        ByteReader r(data);
        auto total = *r.peekU16be(2);
        auto fragment = *r.peekU16be(6);
        if (total != 0 && total < headerLength) return;
        if ((fragment & kFragmentOffsetMask) != 0) return;
        setNextProtocol(protocolForIPProtocol(*r.peekU8(9)));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"IP">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        ByteReader r(data);
        if (!r.canRead(kMinHeaderSize)) return std::nullopt;
        auto src = *ipv4TextAt(data.span(), kSourceOffset);
        auto dst = *ipv4TextAt(data.span(), kDestinationOffset);
        auto protocol = *r.peekU8(9);
        auto fragment = *r.peekU16be(6);
        if ((fragment & kFragmentOffsetMask) != 0)
            return fmt::format("Fragmented IP protocol (proto={} {}, off={}, ID={:04x})",
                               protocolForIPProtocol(protocol).value().value_or("Unknown"), protocol,
                               (fragment & kFragmentOffsetMask) * 8, *r.peekU16be(4));
        return fmt::format("{} → {} {}", src, dst, ipProtocolText(protocol));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Internet Protocol Version 4", "", 0, protocolSize());
        ByteReader r(data);
        if (!r.canRead(kMinHeaderSize)) {
            root->setNodeValue("[Truncated]");
            if (auto first = r.peekU8()) addField(root, "Version", std::to_string(*first >> 4), 0, 1);
            return {root};
        }
        auto first = *r.peekU8(0);
        std::size_t headerLength = std::size_t(first & 0x0F) * 4;
        auto tos = *r.peekU8(1);
        auto total = *r.peekU16be(2);
        auto id = *r.peekU16be(4);
        auto fragment = *r.peekU16be(6);
        auto ttl = *r.peekU8(8);
        auto protocol = *r.peekU8(9);
        auto checksum = *r.peekU16be(10);
        auto src = *ipv4TextAt(data.span(), kSourceOffset);
        auto dst = *ipv4TextAt(data.span(), kDestinationOffset);
        root->setNodeValue(fmt::format("Src: {}, Dst: {}", src, dst));

        addField(root, "Version", "4", 0, 1);
        auto hl = addField(root, "Header Length", fmt::format("{} bytes ({})", headerLength, first & 0x0F), 0, 1);
        if (headerLength > data.size()) addField(hl, "Expert Info", "Header runs past the captured bytes", 0, 1);
        auto ds = addField(root, "Differentiated Services Field", hexText(tos, 2), 1, 1);
        addField(ds, "Differentiated Services Codepoint", std::to_string(tos >> 2), 1, 1);
        addField(ds, "Explicit Congestion Notification", nameFor(kEcn, tos & 3), 1, 1);
        auto tl = addField(root, "Total Length", std::to_string(total), 2, 2);
        if (total == 0) addField(tl, "Expert Info", "Total length 0: assuming TCP segmentation offload", 2, 2);
        else if (total < headerLength) addField(tl, "Expert Info", fmt::format("Bogus IP length ({}, less than header length {})", total, headerLength), 2, 2);
        addField(root, "Identification", fmt::format("{} ({})", hexText(id, 4), id), 4, 2);
        std::vector<std::string> flagNames;
        if (fragment & kReservedFlag) flagNames.emplace_back("Reserved bit");
        if (fragment & kDontFragment) flagNames.emplace_back("Don't fragment");
        if (fragment & kMoreFragments) flagNames.emplace_back("More fragments");
        addField(root, "Flags", flagsText(fragment >> 13, 1, flagNames), 6, 1);
        addField(root, "Fragment Offset", std::to_string((fragment & kFragmentOffsetMask) * 8), 6, 2);
        addField(root, "Time to Live", std::to_string(ttl), 8, 1);
        addField(root, "Protocol", ipProtocolText(protocol), 9, 1);
        std::string checksumText = hexText(checksum, 4);
        // A header shorter than the minimum has no checksum field to verify (its "header" may not
        // even reach the field).
        if (headerLength >= kMinHeaderSize && data.size() >= headerLength) {
            auto computed = headerChecksum(data.slice(0, headerLength));
            checksumText += computed == 0 ? " [correct]" : fmt::format(" [incorrect, should be {}]", hexText(expected(data, headerLength), 4));
        }
        addField(root, "Header Checksum", checksumText, 10, 2);
        addField(root, "Source Address", src, kSourceOffset, kAddressSize);
        addField(root, "Destination Address", dst, kDestinationOffset, kAddressSize);
        if (headerLength > kMinHeaderSize && data.size() >= headerLength)
            addOptions(root, data.slice(kMinHeaderSize, headerLength - kMinHeaderSize));
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "ip4SrcAddr" || key == "ip4DstAddr") {
            auto b = fieldBytes(data, key == "ip4SrcAddr" ? kSourceOffset : kDestinationOffset, kAddressSize);
            if (!b) return {};
            return *ipv4Text(*b);
        }
        if (key == "ip4Protocol") {
            if (auto v = fieldU8(data, 9)) return *v;
            return {};
        }
        if (key == "ip4TTL") {
            if (auto v = fieldU8(data, 8)) return *v;
            return {};
        }
        if (key == "ip4Id") {
            if (auto v = fieldU16(data, 4)) return *v;
            return {};
        }
        if (key == "ip4TotalLength") {
            if (auto v = fieldU16(data, 2)) return *v;
            return {};
        }
        if (key == "payloadSize") {
            ByteReader r(data);
            if (!r.canRead(kMinHeaderSize)) return {};
            std::size_t headerLength = std::size_t(*r.peekU8(0) & 0x0F) * 4;
            std::size_t total = *r.peekU16be(2);
            if (total == 0) total = data.size();
            std::size_t end = std::min(total, data.size());
            if (end < headerLength) return std::uint16_t{0};
            return static_cast<std::uint16_t>(std::min<std::size_t>(end - headerLength, UINT16_MAX));
        }
        return {};
    }

private:
    static constexpr CodeName kEcn[] = {{0, "Not-ECT"}, {1, "ECT(1)"}, {2, "ECT(0)"}, {3, "CE"}};
    static constexpr CodeName kOptions[] = {
        {0, "End of Options List (EOL)"}, {1, "No-Operation (NOP)"}, {7, "Record Route"}, {68, "Time Stamp"},
        {82, "Traceroute"}, {130, "Security"}, {131, "Loose Source Route"}, {136, "Stream ID"},
        {137, "Strict Source Route"}, {148, "Router Alert"}, {25, "Quick-Start"},
    };

    /// The one's-complement sum of the header; 0 when the checksum field is right.
    static std::uint16_t headerChecksum(const Data& header) {
        std::uint32_t sum = 0;
        ByteReader r(header);
        while (auto word = r.readU16be()) sum += *word;
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        return static_cast<std::uint16_t>(~sum & 0xFFFF);
    }

    /// The checksum the header should carry.
    static std::uint16_t expected(const Data& data, std::size_t headerLength) {
        std::vector<std::byte> copy(data.begin(), data.begin() + headerLength);
        copy[10] = copy[11] = std::byte{0};
        return headerChecksum(Data(std::move(copy)));
    }

    /// Options: EOL ends them, NOP is one byte, every other option is TYPE LENGTH VALUE with a
    /// length of at least 2 that must fit in the header; a bad length ends the walk.
    static void addOptions(const std::shared_ptr<QORNode>& root, const Data& options) {
        auto node = addField(root, "Options", fmt::format("({} bytes)", options.size()), kMinHeaderSize, options.size());
        ByteReader r(options);
        while (!r.empty()) {
            std::size_t at = kMinHeaderSize + r.offset();
            auto type = *r.readU8();
            if (type == 0 || type == 1) {
                addField(node, "IP Option", nameFor(kOptions, type), at, 1);
                if (type == 0) break;
                continue;
            }
            auto length = r.readU8();
            if (!length || *length < 2 || !r.canRead(*length - 2u)) {
                addField(node, "IP Option", fmt::format("{}: bad length", nameFor(kOptions, type)), at, options.size() + kMinHeaderSize - at);
                break;
            }
            auto value = *r.readBytes(*length - 2u);
            addField(node, "IP Option", fmt::format("{} ({} bytes){}", nameFor(kOptions, type), *length,
                                                    value.empty() ? "" : ": " + hexBytes(value)),
                     at, *length);
        }
    }
};

const AnalyzerClassRegistration<IPv4Analyzer> kClass{"IPv4Analyzer"};

const QORPluginAnalyzerClass& IPv4Analyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "IPv4";
    f.description = "Internet Protocol version 4";
    f.analyzerClass = kClass;
    f.protocols = {etherTypeTarget("IP", 0x0800, IPv4Analyzer::kMinHeaderSize)};
    f.attributes = {
        attribute(kClass, "IPv4 Source Address", "ip4SrcAddr", AttributeValueType::string, 12, 4),
        attribute(kClass, "IPv4 Destination Address", "ip4DstAddr", AttributeValueType::string, 16, 4),
        attribute(kClass, "IPv4 Protocol", "ip4Protocol", AttributeValueType::uint8, 9, 1),
        attribute(kClass, "IPv4 Time to Live", "ip4TTL", AttributeValueType::uint8, 8, 1),
        attribute(kClass, "IPv4 Identification", "ip4Id", AttributeValueType::uint16, 4, 2),
        attribute(kClass, "IPv4 Total Length", "ip4TotalLength", AttributeValueType::uint16, 2, 2),
    };
    f.columns = {
        containsColumn("IPv4 Source Address", "ip4SrcAddr", AttributeValueType::string),
        containsColumn("IPv4 Destination Address", "ip4DstAddr", AttributeValueType::string),
        column("IPv4 Protocol", "ip4Protocol", "IPv4 Protocol is", "ip4Protocol == $value", AttributeValueType::uint8),
        column("IPv4 Time to Live", "ip4TTL", "IPv4 Time to Live is", "ip4TTL == $value", AttributeValueType::uint8),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
