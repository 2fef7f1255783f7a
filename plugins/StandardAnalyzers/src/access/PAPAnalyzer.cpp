// The Password Authentication Protocol analyzer ("PAP", PPP protocol 0xc023).

#include <array>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "access/PPPAuthAnalyzer.hpp"

namespace qor::standard::access {
namespace {

constexpr std::uint8_t kAuthenticateRequest = 1;
constexpr std::array kCodes = {
    CodeName{1, "Authenticate-Request"}, CodeName{2, "Authenticate-Ack"}, CodeName{3, "Authenticate-Nak"},
};

/// A PAP packet (RFC 1334 section 2.2): the fixed part (PPPPacketHeader.hpp), then
///
///     Authenticate-Request:  Peer-ID Length (1) | Peer-ID | Passwd-Length (1) | Password
///     Authenticate-Ack/Nak:  Msg-Length (1) | Message
///
/// The peer's name is the row "Peer-ID" and the field "papPeerID", which subscriber sessions take
/// as the user name. The summary names only the code and identifier: sessions read the
/// authentication result from it ("Ack" or "Nak"), and a peer name in it could read as one.
class PAPAnalyzer final : public PPPAuthAnalyzer<PAPAnalyzer> {
public:
    using PPPAuthAnalyzer::PPPAuthAnalyzer;
    static std::span<const CodeName> codes() { return kCodes; }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PAP">(); }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPPacketHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("PPP Password Authentication Protocol", protocolInfo(data), header->present)};
        header->addNodes(nodes, namedCode(kCodes, header->code), data.size());
        auto body = header->body(data);
        auto counted = [&](std::string name) {
            std::size_t at = PPPPacketHeader::kSize + body.offset();
            auto bytes = readCounted(body);
            if (!bytes) {
                if (!body.empty())
                    nodes.push_back(field("Malformed " + name, "length runs past the packet", at, body.remaining()));
                body.skip(body.remaining());
                return false;
            }
            auto node = field(name, printableText(*bytes), at, 1 + bytes->size());
            node->addChild(field("Length", std::to_string(bytes->size()), at, 1));
            nodes.push_back(std::move(node));
            return true;
        };
        if (header->code == kAuthenticateRequest) {
            if (counted("Peer-ID")) counted("Password");
        } else if (!body.empty()) {
            counted("Message");
        }
        return nodes;
    }

    /// "papCode", "papPeerID".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "papCode") return Value(fieldNumber(data, 0, 1));
        if (key == "papPeerID") {
            auto header = PPPPacketHeader::read(data);
            if (!header || header->code != kAuthenticateRequest) return {};
            auto body = header->body(data);
            auto peer = readCounted(body);
            if (!peer) return {};
            return Value(printableText(*peer));
        }
        return {};
    }
};

const AnalyzerClassRegistration<PAPAnalyzer> kClass{"PAPAnalyzer"};

const QORPluginAnalyzerClass& PAPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "PAP";
    f.description = "PPP Password Authentication Protocol (RFC 1334)";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("PAP")};
    f.attributes = {
        attribute(kClass, "PAP Code", "papCode", AttributeValueType::uint8, 0, 1),
        attribute(kClass, "PAP Peer-ID", "papPeerID", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
