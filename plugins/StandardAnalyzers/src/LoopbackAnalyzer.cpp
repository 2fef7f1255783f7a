// The BSD loopback analyzer: "NULL" (link type 0, family in the capturing host's byte order) and
// "LOOP" (link type 108, family in network byte order).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The 4-byte header of BSD loopback captures: the packet's address family.
///
///     0               4
///     +---------------+---------
///     | family (u32)  | IPv4 / IPv6 packet
///
/// NULL writes the family in the byte order of the host that captured, LOOP in network byte
/// order. As the host is not known, a family whose upper 16 bits are set is read the other way
/// round (families are small numbers). AF_INET is 2 everywhere; AF_INET6 is 24 (NetBSD, OpenBSD),
/// 28 (FreeBSD, DragonFly) or 30 (macOS, iOS). Which of the two names the analyzer gives comes
/// from the packet's link type; without a packet, the byte order decides (network order: LOOP).
class LoopbackAnalyzer final : public StandardAnalyzer<LoopbackAnalyzer> {
public:
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::uint32_t kLinkTypeNull = 0;
    static constexpr std::uint32_t kLinkTypeLoop = 108;
    static constexpr std::uint32_t kFamilyMask = 0xFFFF0000;

    /// Accepts any bytes; a header cut short carries nothing. The packet's link type tells NULL
    /// from LOOP; without one, the byte order of the family does.
    LoopbackAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        auto family = familyOf(data);
        if (packet && packet->linkType() == kLinkTypeNull) loop_ = false;
        else if (packet && packet->linkType() == kLinkTypeLoop) loop_ = true;
        else loop_ = family.second;
        if (!family.first) return;
        switch (*family.first) {
            case 2: setNextProtocol(fixedName<"IP">()); break;
            case 24:
            case 28:
            case 30: setNextProtocol(fixedName<"IPv6">()); break;
            default: break;
        }
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return loop_ ? fixedName<"LOOP">() : fixedName<"NULL">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto family = familyOf(data).first;
        if (!family) return std::nullopt;
        return fmt::format("{}, Family: {}", loop_ ? "OpenBSD loopback" : "Null/Loopback", familyText(*family));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field(loop_ ? "OpenBSD loopback" : "Null/Loopback", "", 0, std::min(data.size(), kHeaderSize));
        auto family = familyOf(data).first;
        if (!family) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        root->setNodeValue(familyText(*family));
        addField(root, "Family", familyText(*family), 0, kHeaderSize);
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "loopbackFamily") {
            if (fieldBytes(data, 0, kHeaderSize)) return familyOf(data).first;
        }
        return {};
    }

private:
    static constexpr CodeName kFamilies[] = {
        {2, "IP"}, {7, "OSI"}, {23, "IPX"}, {24, "IPv6 (NetBSD, OpenBSD)"}, {28, "IPv6 (FreeBSD)"},
        {30, "IPv6 (Darwin)"},
    };

    static std::string familyText(std::uint32_t family) { return nameWithCode(kFamilies, family); }

    /// The family and whether it was stored in network byte order.
    [[nodiscard]] std::pair<std::optional<std::uint32_t>, bool> familyOf(const Data& data) const {
        ByteReader r(data);
        auto le = r.load<std::uint32_t>(0, std::endian::native != std::endian::little);
        auto be = r.load<std::uint32_t>(0, std::endian::native != std::endian::big);
        if (!le || !be) return {std::nullopt, false};
        if ((*le & kFamilyMask) == 0) return {*le, *be == *le};
        return {*be, true};
    }

    bool loop_ = false;
};

const AnalyzerClassRegistration<LoopbackAnalyzer> kClass{"LoopbackAnalyzer"};

const QORPluginAnalyzerClass& LoopbackAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "Loopback";
    f.description = "BSD loopback encapsulation (NULL and LOOP)";
    f.analyzerClass = kClass;
    f.protocols = {
        linkTypeTarget("NULL", LoopbackAnalyzer::kLinkTypeNull, LoopbackAnalyzer::kHeaderSize),
        linkTypeTarget("LOOP", LoopbackAnalyzer::kLinkTypeLoop, LoopbackAnalyzer::kHeaderSize),
    };
    f.attributes = {attribute(kClass, "Loopback Family", "loopbackFamily", AttributeValueType::uint32, 0, 4)};
    f.columns = {containsColumn("Loopback Family", "loopbackFamily", AttributeValueType::uint32)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
