// The PPPoE discovery stage analyzer ("PPPoED", ether type 0x8863).

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "access/PPPoEHeader.hpp"

namespace qor::standard::access {
namespace {

/// Discovery codes (RFC 2516, section 5).
constexpr std::array kCodes = {
    CodeName{0x09, "PADI"}, CodeName{0x07, "PADO"}, CodeName{0x19, "PADR"},
    CodeName{0x65, "PADS"}, CodeName{0xA7, "PADT"},
};
constexpr std::array kCodeTitles = {
    CodeName{0x09, "Active Discovery Initiation"}, CodeName{0x07, "Active Discovery Offer"},
    CodeName{0x19, "Active Discovery Request"},    CodeName{0x65, "Active Discovery Session-confirmation"},
    CodeName{0xA7, "Active Discovery Terminate"},
};

/// Tag types (RFC 2516 appendix A, RFC 4638, RFC 5578).
constexpr std::uint16_t kTagEndOfList = 0x0000;
constexpr std::array kTags = {
    CodeName{0x0000, "End-Of-List"},      CodeName{0x0101, "Service-Name"},     CodeName{0x0102, "AC-Name"},
    CodeName{0x0103, "Host-Uniq"},        CodeName{0x0104, "AC-Cookie"},        CodeName{0x0105, "Vendor-Specific"},
    CodeName{0x0106, "Credits"},          CodeName{0x0107, "Metrics"},          CodeName{0x0108, "Sequence Number"},
    CodeName{0x0109, "Credit Scale Factor"}, CodeName{0x0110, "Relay-Session-Id"}, CodeName{0x0120, "PPP-Max-Payload"},
    CodeName{0x0201, "Service-Name-Error"}, CodeName{0x0202, "AC-System-Error"}, CodeName{0x0203, "Generic-Error"},
};

/// Whether a tag's value is UTF-8 text (names and error messages).
bool isTextTag(std::uint16_t type) {
    return type == 0x0101 || type == 0x0102 || type == 0x0201 || type == 0x0202 || type == 0x0203;
}

/// The value text of one tag.
std::string tagValue(std::uint16_t type, std::span<const std::byte> value) {
    if (isTextTag(type)) return printableText(value);
    if (type == 0x0120 && value.size() == 2) return std::to_string(*ByteReader(value).readU16be());
    return hexBytes(value);
}

/// What the walk over the tags found.
struct TagWalk {
    NodeList nodes;
    std::optional<std::string> acName;
    std::optional<std::string> serviceName;
};

/// Walks the tags of a discovery payload. Each tag is TYPE (2) LENGTH (2) VALUE; the walk stops at
/// End-Of-List, at the end of the payload, or at a tag whose length runs past the payload (shown
/// as a malformed row).
/// Without `rows` the walk builds no rows and only reads the AC and service names.
TagWalk walkTags(ByteReader payload, bool rows = true) {
    TagWalk walk;
    while (payload.remaining() >= 4) {
        std::size_t at = PPPoEHeader::kSize + payload.offset();
        auto type = *payload.readU16be();
        auto length = *payload.readU16be();
        auto value = payload.readBytes(length);
        if (!value) {
            if (rows)
                walk.nodes.push_back(field("Malformed Tag", "length " + std::to_string(length) + " exceeds the " +
                                                                std::to_string(payload.remaining()) + " bytes left",
                                           at, 4 + payload.remaining()));
            break;
        }
        if (!rows) {  // the names only (the summary and the attributes read no rows)
            if (type == 0x0102 && !walk.acName) walk.acName = tagValue(type, *value);
            if (type == 0x0101 && !walk.serviceName) walk.serviceName = tagValue(type, *value);
            if (type == kTagEndOfList) break;
            continue;
        }
        auto name = lookupName(kTags, type);
        auto node = field(name ? std::string(*name) : "Unknown Tag " + hexText(type, 4), tagValue(type, *value), at,
                          4 + length);
        node->addChild(field("Tag Type", hexText(type, 4), at, 2));
        node->addChild(field("Tag Length", std::to_string(length), at + 2, 2));
        if (type == 0x0102 && !walk.acName) walk.acName = node->nodeValue();
        if (type == 0x0101 && !walk.serviceName) walk.serviceName = node->nodeValue();
        walk.nodes.push_back(std::move(node));
        if (type == kTagEndOfList) break;
    }
    return walk;
}

/// A PPPoE discovery packet: the 6-byte header (see PPPoEHeader.hpp) followed by LENGTH bytes
/// of tags. The whole packet is this analyzer's header; nothing is carried.
class PPPoEDiscoveryAnalyzer final : public StandardAnalyzer<PPPoEDiscoveryAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses fewer than the 6 header bytes.
    static bool accepts(const Data& data, const PacketRef&) { return PPPoEHeader::read(data).has_value(); }

    PPPoEDiscoveryAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(PPPoEHeader::kSize + PPPoEHeader::read(data)->payloadPresent(data.size()));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] bool hasPayload() const override { return false; }
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PPPoED">(); }

    /// "PADO (Active Discovery Offer), AC-Name: x, Service-Name: y"; a PADS or PADT also names its
    /// session.
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPoEHeader::read(data);
        if (!header) return std::nullopt;
        auto code = lookupName(kCodes, header->code);
        std::string info = code ? std::string(*code) + " (" + std::string(*lookupName(kCodeTitles, header->code)) + ")"
                                : "Unknown PPPoE discovery code " + hexText(header->code, 2);
        if (header->sessionId != 0) info += ", session " + hexText(header->sessionId, 4);
        auto walk = walkTags(tags(data, *header), /*rows=*/false);
        if (walk.acName) info += ", AC-Name: " + *walk.acName;
        if (walk.serviceName && !walk.serviceName->empty()) info += ", Service-Name: " + *walk.serviceName;
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPoEHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("PPP-over-Ethernet Discovery", protocolInfo(data),
                               PPPoEHeader::kSize + header->payloadPresent(data.size()))};
        for (auto& n : header->nodes(namedHexCode(kCodes, header->code, 2))) nodes.push_back(std::move(n));
        if (header->length > header->payloadPresent(data.size()))
            nodes.push_back(field("Truncated", "payload length " + std::to_string(header->length) + ", " +
                                                   std::to_string(header->payloadPresent(data.size())) + " bytes present",
                                  4, 2));
        auto walk = walkTags(tags(data, *header));
        for (auto& n : walk.nodes) nodes.push_back(std::move(n));
        return nodes;
    }

    /// "pppoedCode", "pppoedSessionId", "pppoedACName", "pppoedServiceName".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "pppoedCode") return Value(fieldNumber(data, 1, 1));
        if (key == "pppoedSessionId") return Value(fieldNumber(data, 2, 2));
        if (key == "pppoedACName" || key == "pppoedServiceName") {
            auto header = PPPoEHeader::read(data);
            if (!header) return {};
            auto walk = walkTags(tags(data, *header), /*rows=*/false);
            return Value(key == "pppoedACName" ? walk.acName : walk.serviceName);
        }
        return {};
    }

private:
    /// A reader over the tag bytes that are present.
    static ByteReader tags(const Data& data, const PPPoEHeader& header) {
        return ByteReader(data).sliceAt(PPPoEHeader::kSize, header.payloadPresent(data.size())).value_or(ByteReader());
    }
};

const AnalyzerClassRegistration<PPPoEDiscoveryAnalyzer> kClass{"PPPoEDiscoveryAnalyzer"};

const QORPluginAnalyzerClass& PPPoEDiscoveryAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "PPPoE Discovery";
    f.description = "PPPoE discovery stage (RFC 2516): PADI, PADO, PADR, PADS, PADT and their tags";
    f.analyzerClass = kClass;
    f.protocols = {etherTypeTarget("PPPoED", 0x8863)};
    f.attributes = {
        attribute(kClass, "PPPoE Code", "pppoedCode", AttributeValueType::uint8, 1, 1),
        attribute(kClass, "PPPoE Session ID", "pppoedSessionId", AttributeValueType::uint16, 2, 2),
        attribute(kClass, "PPPoE AC-Name", "pppoedACName", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kClass, "PPPoE Service-Name", "pppoedServiceName", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
