// The Challenge Handshake Authentication Protocol analyzer ("CHAP", PPP protocol 0xc223).

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "access/PPPAuthAnalyzer.hpp"

namespace qor::standard::access {
namespace {

constexpr std::uint8_t kChallenge = 1, kResponse = 2;
constexpr std::array kCodes = {
    CodeName{1, "Challenge"}, CodeName{2, "Response"}, CodeName{3, "Success"}, CodeName{4, "Failure"},
};

/// What a Challenge or Response carries.
struct ChallengeBody {
    std::span<const std::byte> value;
    std::span<const std::byte> name;
    bool valueComplete = true;
};

/// Value-Size (1) | Value | Name (the rest of the packet).
ChallengeBody readChallenge(ByteReader body) {
    ChallengeBody out;
    if (auto value = readCounted(body)) {
        out.value = *value;
        out.name = body.rest();
    } else {
        out.valueComplete = false;
    }
    return out;
}

/// A CHAP packet (RFC 1994 section 4): the fixed part (PPPPacketHeader.hpp), then
///
///     Challenge/Response:  Value-Size (1) | Value | Name
///     Success/Failure:     Message
///
/// The sender's name is the row "Name" and the field "chapName" (the authenticator's in a
/// Challenge, the peer's in a Response), which subscriber sessions take as the user name. The
/// summary names only the code and identifier, from which sessions read the result ("Success" or
/// "Failure").
class CHAPAnalyzer final : public PPPAuthAnalyzer<CHAPAnalyzer> {
public:
    using PPPAuthAnalyzer::PPPAuthAnalyzer;
    static std::span<const CodeName> codes() { return kCodes; }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"CHAP">(); }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPPacketHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("PPP Challenge Handshake Authentication Protocol", protocolInfo(data), header->present)};
        header->addNodes(nodes, namedCode(kCodes, header->code), data.size());
        auto body = header->body(data);
        constexpr std::size_t base = PPPPacketHeader::kSize;
        if (header->code == kChallenge || header->code == kResponse) {
            auto c = readChallenge(body);
            if (!c.valueComplete) {
                if (!body.empty())
                    nodes.push_back(field("Malformed Value", "value size runs past the packet", base, body.remaining()));
                return nodes;
            }
            nodes.push_back(field("Value Size", std::to_string(c.value.size()), base, 1));
            nodes.push_back(field("Value", hexBytes(c.value), base + 1, c.value.size()));
            if (!c.name.empty())
                nodes.push_back(field("Name", printableText(c.name), base + 1 + c.value.size(), c.name.size()));
        } else if (!body.empty()) {
            nodes.push_back(field("Message", printableText(body.rest()), base, body.remaining()));
        }
        return nodes;
    }

    /// "chapCode", "chapName".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "chapCode") return Value(fieldNumber(data, 0, 1));
        if (key == "chapName") {
            auto header = PPPPacketHeader::read(data);
            if (!header || (header->code != kChallenge && header->code != kResponse)) return {};
            auto c = readChallenge(header->body(data));
            if (!c.valueComplete || c.name.empty()) return {};
            return Value(printableText(c.name));
        }
        return {};
    }
};

const AnalyzerClassRegistration<CHAPAnalyzer> kClass{"CHAPAnalyzer"};

const QORPluginAnalyzerClass& CHAPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "CHAP";
    f.description = "PPP Challenge Handshake Authentication Protocol (RFC 1994)";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("CHAP")};
    f.attributes = {
        attribute(kClass, "CHAP Code", "chapCode", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "CHAP Name", "chapName", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
