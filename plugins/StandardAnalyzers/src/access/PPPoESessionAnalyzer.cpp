// The PPPoE session stage analyzer ("PPPoES", ether type 0x8864).

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "access/PPPoEHeader.hpp"

namespace qor::standard::access {
namespace {

/// A PPPoE session packet: the 6-byte header (see PPPoEHeader.hpp, CODE 0x00) followed by LENGTH
/// bytes of one PPP frame without address and control fields, carried as "PPP".
///
/// The PPP frame is handed on with the bytes to the end of the frame; the carried protocols bound
/// themselves by their own length fields (LCP, IP), so Ethernet padding after a short session
/// packet is never read as PPP data. No "payloadSize" is given, so that the packet's detail tree
/// goes on into the carried headers.
class PPPoESessionAnalyzer final : public StandardAnalyzer<PPPoESessionAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses fewer than the 6 header bytes.
    static bool accepts(const Data& data, const PacketRef&) { return PPPoEHeader::read(data).has_value(); }

    /// Carries PPP when the header announces a payload that is there.
    PPPoESessionAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(PPPoEHeader::kSize);
        if (PPPoEHeader::read(data)->payloadPresent(data.size()) != 0) setNextProtocol(fixedName<"PPP">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PPPoES">(); }

    /// "Session 0x0001, 54 bytes".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = PPPoEHeader::read(data);
        if (!header) return std::nullopt;
        return "Session " + hexText(header->sessionId, 4) + ", " + std::to_string(header->length) + " bytes";
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = PPPoEHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("PPP-over-Ethernet Session", protocolInfo(data), PPPoEHeader::kSize)};
        for (auto& n : header->nodes(header->code == 0 ? "Session Data (0x00)" : hexText(header->code, 2)))
            nodes.push_back(std::move(n));
        if (header->length > header->payloadPresent(data.size()))
            nodes.push_back(field("Truncated", "payload length " + std::to_string(header->length) + ", " +
                                                   std::to_string(header->payloadPresent(data.size())) + " bytes present",
                                  4, 2));
        return nodes;
    }

    /// "pppoesSessionId", "pppoesLength".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "pppoesSessionId") return Value(fieldNumber(data, 2, 2));
        if (key == "pppoesLength") return Value(fieldNumber(data, 4, 2));
        return {};
    }
};

const AnalyzerClassRegistration<PPPoESessionAnalyzer> kClass{"PPPoESessionAnalyzer"};

const QORPluginAnalyzerClass& PPPoESessionAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kRegistration{[] {
    AnalyzerFamily f;
    f.title = "PPPoE Session";
    f.description = "PPPoE session stage (RFC 2516), carrying PPP";
    f.analyzerClass = kClass;
    auto protocol = etherTypeTarget("PPPoES", 0x8864);
    protocol.size = PPPoEHeader::kSize;
    f.protocols = {protocol};
    f.attributes = {
        attribute(kClass, "PPPoE Session ID", "pppoesSessionId", AttributeValueType::uint16, 2, 2),
        attribute(kClass, "PPPoE Payload Length", "pppoesLength", AttributeValueType::uint16, 4, 2),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard::access
