// The raw IP link-layer analyzer ("RAW": link types 101, 12, 14, 228 and 229).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// Captures without a link-layer header: the packet starts with an IPv4 or IPv6 header, told
/// apart by the version nibble of the first byte. The analyzer explains no bytes (header size 0)
/// and names "IP" or "IPv6"; a first byte of any other version carries nothing.
class RawIPAnalyzer final : public StandardAnalyzer<RawIPAnalyzer> {
public:
    RawIPAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(0);
        if (auto first = ByteReader(data).peekU8()) {
            int version = *first >> 4;
            if (version == 4) setNextProtocol(fixedName<"IP">());
            else if (version == 6) setNextProtocol(fixedName<"IPv6">());
        }
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"RAW">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto first = ByteReader(data).peekU8();
        if (!first) return std::nullopt;
        return fmt::format("Raw packet data, IP version {}", *first >> 4);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Raw packet data", "", 0, 0);
        if (auto first = ByteReader(data).peekU8()) {
            int version = *first >> 4;
            root->setNodeValue(version == 4 ? "IPv4" : version == 6 ? "IPv6" : fmt::format("Unknown IP version {}", version));
            addField(root, "Version", std::to_string(version), 0, 1);
        } else {
            root->setNodeValue("No data");
        }
        return {root};
    }
};

const AnalyzerClassRegistration<RawIPAnalyzer> kClass{"RawIPAnalyzer"};

const QORPluginAnalyzerClass& RawIPAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "Raw IP";
    f.description = "Captures that start with an IPv4 or IPv6 header";
    f.analyzerClass = kClass;
    // LINKTYPE_RAW (101), the BSD DLT_RAW values 12 and 14, LINKTYPE_IPV4 (228), LINKTYPE_IPV6 (229).
    for (std::uint32_t linkType : {101u, 12u, 14u, 228u, 229u}) f.protocols.push_back(linkTypeTarget("RAW", linkType, 0));
    return f;
}};

}  // namespace
}  // namespace qor::standard
