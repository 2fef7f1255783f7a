// The IPv6 analyzer ("IPv6", ether type 0x86DD; also IP protocol 41).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The IPv6 header (RFC 8200) and the extension headers that follow it:
///
///     0  version (4 bits), traffic class (8), flow label (20)
///     4  payload length (2)    6  next header (1)    7  hop limit (1)
///     8  source address (16)   24 destination address (16)
///     40 extension headers, each naming the next:
///        hop-by-hop options (0), routing (43), destination options (60):
///            next header (1), length in 8-byte units not counting the first (1), data
///        fragment (44): next header (1), reserved (1), offset (13 bits) + flags (2), id (4)
///
/// The analyzer's header is the fixed header plus every extension header, walked up to
/// `kMaxExtensionHeaders`; the chain continues with the upper-layer protocol. A payload length of
/// 0 (a jumbogram, or segmentation offload) counts the captured bytes. Extension headers cut short
/// or past the limit, and fragments other than the first, carry nothing.
class IPv6Analyzer final : public StandardAnalyzer<IPv6Analyzer> {
public:
    static constexpr std::size_t kFixedSize = 40;
    static constexpr std::size_t kSourceOffset = 8, kDestinationOffset = 24, kAddressSize = 16;
    /// More extension headers than this in one packet are not walked (RFC 8200 expects each
    /// kind at most once or twice).
    static constexpr std::size_t kMaxExtensionHeaders = 16;
    static constexpr std::size_t kFragmentHeaderSize = 8;
    static constexpr std::uint8_t kHopByHop = 0, kRouting = 43, kFragment = 44, kNoNextHeader = 59,
                                  kDestinationOptions = 60;

    /// Refuses bytes whose version nibble is not 6; empty bytes are accepted.
    static bool accepts(const Data& data, const PacketRef&) {
        auto first = ByteReader(data).peekU8();
        return !first || (*first >> 4) == 6;
    }

    IPv6Analyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto walk = walkExtensions(data);
        setHeaderSize(walk.headerSize);
        if (walk.complete && !walk.laterFragment) setNextProtocol(protocolForIPProtocol(walk.upperProtocol));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"IPv6">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.size() < kFixedSize) return std::nullopt;
        auto walk = walkExtensions(data);
        return fmt::format("{} → {} {}", address(data, kSourceOffset), address(data, kDestinationOffset),
                           ipProtocolText(walk.upperProtocol));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Internet Protocol Version 6", "", 0, protocolSize());
        ByteReader r(data);
        if (!r.canRead(kFixedSize)) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        auto word = *r.readU32be();
        auto payloadLength = *r.readU16be();
        auto nextHeader = *r.readU8();
        auto hopLimit = *r.readU8();
        root->setNodeValue(fmt::format("Src: {}, Dst: {}", address(data, kSourceOffset), address(data, kDestinationOffset)));
        addField(root, "Version", std::to_string(word >> 28), 0, 1);
        addField(root, "Traffic Class", hexText((word >> 20) & 0xFF, 2), 0, 2);
        addField(root, "Flow Label", hexText(word & 0xFFFFF, 5), 1, 3);
        addField(root, "Payload Length", std::to_string(payloadLength), 4, 2);
        addField(root, "Next Header", ipProtocolText(nextHeader), 6, 1);
        addField(root, "Hop Limit", std::to_string(hopLimit), 7, 1);
        addField(root, "Source Address", address(data, kSourceOffset), kSourceOffset, kAddressSize);
        addField(root, "Destination Address", address(data, kDestinationOffset), kDestinationOffset, kAddressSize);
        auto walk = walkExtensions(data);
        for (const auto& ext : walk.extensions) {
            auto node = addField(root, ipProtocolText(ext.type), fmt::format("{} bytes", ext.length), ext.offset, ext.length);
            addField(node, "Next Header", ipProtocolText(ext.next), ext.offset, 1);
            if (ext.type == kFragment) {
                addField(node, "Offset", std::to_string(ext.fragmentOffset * 8), ext.offset + 2, 2);
                addField(node, "More Fragments", ext.moreFragments ? "Yes" : "No", ext.offset + 3, 1);
                addField(node, "Identification", hexText(ext.fragmentId, 8), ext.offset + 4, 4);
            }
        }
        if (!walk.complete) addField(root, "Expert Info", "Extension headers cut short or too many", walk.headerSize, 0);
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "ip6SrcAddr" || key == "ip6DstAddr") {
            auto b = fieldBytes(data, key == "ip6SrcAddr" ? kSourceOffset : kDestinationOffset, kAddressSize);
            if (!b) return {};
            return *ipv6Text(*b);
        }
        if (key == "ip6NextHeader") {
            if (auto v = fieldU8(data, 6)) return *v;
            return {};
        }
        if (key == "ip6HopLimit") {
            if (auto v = fieldU8(data, 7)) return *v;
            return {};
        }
        if (key == "ip6FlowLabel") {
            if (auto v = fieldU32(data, 0)) return *v & 0xFFFFFu;
            return {};
        }
        if (key == "payloadSize") {
            auto payloadLength = ByteReader(data).peekU16be(4);
            if (!payloadLength) return {};
            auto walk = walkExtensions(data);
            std::size_t end = *payloadLength == 0 ? data.size() : std::min(kFixedSize + *payloadLength, data.size());
            if (end < walk.headerSize) return std::uint16_t{0};
            return static_cast<std::uint16_t>(std::min<std::size_t>(end - walk.headerSize, UINT16_MAX));
        }
        return {};
    }

private:
    struct Extension {
        std::uint8_t type = 0, next = 0;
        std::size_t offset = 0, length = 0;
        std::uint16_t fragmentOffset = 0;
        bool moreFragments = false;
        std::uint32_t fragmentId = 0;
    };
    struct Walk {
        std::size_t headerSize = kFixedSize;
        std::uint8_t upperProtocol = kNoNextHeader;
        bool complete = false;       ///< every extension header was there and within the limit
        bool laterFragment = false;  ///< a fragment header with a non-zero offset
        std::vector<Extension> extensions;
    };

    static std::string address(const Data& data, std::size_t offset) {
        return ipv6TextAt(data.span(), offset).value_or("");
    }

    static bool isExtension(std::uint8_t type) {
        return type == kHopByHop || type == kRouting || type == kFragment || type == kDestinationOptions;
    }

    static Walk walkExtensions(const Data& data) {
        Walk walk;
        ByteReader r(data);
        auto next = r.peekU8(6);
        if (!next || data.size() < kFixedSize) return walk;
        std::uint8_t type = *next;
        std::size_t offset = kFixedSize;
        while (isExtension(type)) {
            if (walk.extensions.size() == kMaxExtensionHeaders) {
                walk.headerSize = offset;
                return walk;
            }
            auto nextType = r.peekU8(offset - r.offset());
            auto lengthUnits = r.load<std::uint8_t>(offset + 1, false);
            if (!nextType || !lengthUnits) {
                walk.headerSize = data.size();
                return walk;
            }
            Extension ext;
            ext.type = type;
            ext.next = *nextType;
            ext.offset = offset;
            ext.length = type == kFragment ? kFragmentHeaderSize : (std::size_t(*lengthUnits) + 1) * 8;
            if (offset + ext.length > data.size()) {
                walk.headerSize = data.size();
                return walk;
            }
            if (type == kFragment) {
                auto field = *r.load<std::uint16_t>(offset + 2, std::endian::native != std::endian::big);
                ext.fragmentOffset = field >> 3;
                ext.moreFragments = field & 1;
                ext.fragmentId = *r.load<std::uint32_t>(offset + 4, std::endian::native != std::endian::big);
                if (ext.fragmentOffset != 0) walk.laterFragment = true;
            }
            walk.extensions.push_back(ext);
            offset += ext.length;
            type = ext.next;
        }
        walk.headerSize = offset;
        walk.upperProtocol = type;
        walk.complete = true;
        return walk;
    }
};

const AnalyzerClassRegistration<IPv6Analyzer> kClass{"IPv6Analyzer"};

const QORPluginAnalyzerClass& IPv6Analyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "IPv6";
    f.description = "Internet Protocol version 6 with its extension headers";
    f.analyzerClass = kClass;
    f.protocols = {etherTypeTarget("IPv6", 0x86DD, IPv6Analyzer::kFixedSize)};
    f.attributes = {
        attribute(kClass, "IPv6 Source Address", "ip6SrcAddr", AttributeValueType::string, 8, 16),
        attribute(kClass, "IPv6 Destination Address", "ip6DstAddr", AttributeValueType::string, 24, 16),
        attribute(kClass, "IPv6 Next Header", "ip6NextHeader", AttributeValueType::uint8, 6, 1),
        attribute(kClass, "IPv6 Hop Limit", "ip6HopLimit", AttributeValueType::uint8, 7, 1),
        attribute(kClass, "IPv6 Flow Label", "ip6FlowLabel", AttributeValueType::uint32, 0, 4),
    };
    f.columns = {
        containsColumn("IPv6 Source Address", "ip6SrcAddr", AttributeValueType::string),
        containsColumn("IPv6 Destination Address", "ip6DstAddr", AttributeValueType::string),
        column("IPv6 Hop Limit", "ip6HopLimit", "IPv6 Hop Limit is", "ip6HopLimit == $value", AttributeValueType::uint8),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
