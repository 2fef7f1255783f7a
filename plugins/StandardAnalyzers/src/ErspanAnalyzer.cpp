// The ERSPAN analyzer ("ERSPAN", carried by GRE): switches' remote mirroring of Ethernet frames.

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"

namespace qor::standard {
namespace {

/// The ERSPAN header that GRE carries with protocol type 0x88BE (type II) or 0x22EB (type III);
/// type I has no header at all, and GRE hands its frame straight to Ethernet.
///
///     type II (8 bytes):  Ver (4) = 1 | VLAN (12) | COS (3) | En (2) | T (1) | Session ID (10)
///                         Reserved (12) | Index (20)
///     type III (12 bytes, 20 with the platform sub-header the O flag announces):
///                         Ver (4) = 2 | VLAN (12) | COS (3) | BSO (2) | T (1) | Session ID (10)
///                         Timestamp (32)
///                         SGT (16) | P (1) | FT (5) | Hw ID (6) | D (1) | Gra (2) | O (1)
///
/// The mirrored Ethernet frame follows. Other versions carry nothing.
class ErspanAnalyzer final : public StandardAnalyzer<ErspanAnalyzer> {
public:
    static constexpr std::size_t kTypeIISize = 8, kTypeIIISize = 12, kPlatformSize = 8;

    /// Never refuses; a header cut short carries nothing.
    ErspanAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto size = headerSize(data);
        setHeaderSize(size.value_or(kTypeIISize));
        if (size && data.size() > *size) setNextProtocol(fixedName<"ETH">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"ERSPAN">(); }

    /// "Type II, session 100".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto first = fieldU32(data, 0);
        if (!first || !headerSize(data)) return std::nullopt;
        return fmt::format("Type {}, session {}", version(*first) == kVersionTypeII ? "II" : "III", session(*first));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto first = fieldU32(data, 0);
        auto size = headerSize(data);
        if (!first || !size) return {};
        NodeList nodes{heading("Encapsulated Remote Switch Packet ANalysis", protocolInfo(data), *size)};
        nodes.push_back(field("Version", std::to_string(version(*first)), 0, 1));
        nodes.push_back(field("VLAN", std::to_string((*first >> 16) & 0xFFF), 0, 2));
        nodes.push_back(field("COS", std::to_string((*first >> 13) & 0x7), 2, 1));
        nodes.push_back(field("Session ID", std::to_string(session(*first)), 2, 2));
        return nodes;
    }

    /// "erspanSession".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key != "erspanSession") return {};
        auto first = fieldU32(data, 0);
        return first ? Value(session(*first)) : Value();
    }

private:
    /// The version (1: type II, 2: type III) and the session id of the header's first word.
    static constexpr std::uint32_t kVersionTypeII = 1, kVersionTypeIII = 2;
    static std::uint32_t version(std::uint32_t first) { return first >> 28; }
    static std::uint16_t session(std::uint32_t first) { return static_cast<std::uint16_t>(first & 0x3FF); }

    /// The header's size by its version, or nothing for another version or a header cut short.
    static std::optional<std::size_t> headerSize(const Data& data) {
        auto first = fieldU32(data, 0);
        if (!first) return std::nullopt;
        std::size_t size = 0;
        if (version(*first) == kVersionTypeII) size = kTypeIISize;
        else if (version(*first) == kVersionTypeIII) {
            auto third = fieldU32(data, 8);
            if (!third) return std::nullopt;
            size = kTypeIIISize + ((*third & 1) ? kPlatformSize : 0);
        } else {
            return std::nullopt;
        }
        if (data.size() < size) return std::nullopt;
        return size;
    }
};

const AnalyzerClassRegistration<ErspanAnalyzer> kClass{"ErspanAnalyzer"};

const QORPluginAnalyzerClass& ErspanAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "ERSPAN";
    f.description = "Encapsulated Remote Switched Port Analyzer, types II and III";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("ERSPAN")};
    f.attributes = {attribute(kClass, "ERSPAN Session", "erspanSession", AttributeValueType::uint16, 0, kToEndOfHeader)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
