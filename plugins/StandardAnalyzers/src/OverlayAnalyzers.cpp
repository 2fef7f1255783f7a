// The overlay network analyzers: "VXLAN" (UDP port 4789) and "GENEVE" (UDP port 6081), the
// encapsulations that carry tenant Ethernet frames between the hosts of a data centre, and
// "TEREDO" (UDP port 3544), which carries IPv6 across IPv4 networks.

#include <array>
#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor::standard {
namespace {

constexpr std::size_t kOverlayHeaderSize = 8;

/// The 24-bit network identifier at byte 4 of both headers.
std::optional<std::uint32_t> networkIdentifier(const Data& data) {
    auto word = fieldU32(data, 4);
    if (!word) return std::nullopt;
    return *word >> 8;
}

/// Both headers' summary: "VNI 100".
std::optional<std::string> networkSummary(const Data& data) {
    auto vni = networkIdentifier(data);
    if (!vni) return std::nullopt;
    return fmt::format("VNI {}", *vni);
}

/// The VXLAN header (RFC 7348 section 5):
///
///     |R|R|R|R|I|R|R|R|                   Reserved                    |
///     |          VXLAN Network Identifier (VNI)       |   Reserved    |
///
/// An Ethernet frame follows. The I flag says the VNI is valid; a frame without it is still
/// followed to its Ethernet frame, as receivers that ignore reserved bits (and tshark) do.
class VxlanAnalyzer final : public StandardAnalyzer<VxlanAnalyzer> {
public:
    static constexpr std::uint8_t kValidIdentifier = 0x08;

    /// Never refuses; a header cut short carries nothing.
    VxlanAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(kOverlayHeaderSize);
        if (data.size() > kOverlayHeaderSize) setNextProtocol(fixedName<"ETH">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"VXLAN">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override { return networkSummary(data); }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto flags = fieldU8(data, 0);
        auto vni = networkIdentifier(data);
        if (!flags || !vni) return {};
        NodeList nodes{heading("Virtual eXtensible Local Area Network", protocolInfo(data), kOverlayHeaderSize)};
        std::vector<std::string> names;
        if (*flags & kValidIdentifier) names.emplace_back("VXLAN Network ID (VNI)");
        nodes.push_back(field("Flags", flagsText(*flags, 2, names), 0, 1));
        nodes.push_back(field("VXLAN Network Identifier (VNI)", std::to_string(*vni), 4, 3));
        return nodes;
    }

    /// "vxlanVNI".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "vxlanVNI") return Value(networkIdentifier(data));
        return {};
    }
};

/// Protocol types a Geneve header names that the chain continues with by their analyzers' names;
/// any other ether type is looked up in the shared ether-type names.
constexpr std::array kGeneveCarried = {CodeName{0x6558, "ETH"}, CodeName{0x0800, "IP"}, CodeName{0x86DD, "IPv6"}};
constexpr std::array kGeneveProtocolTitles = {
    CodeName{0x6558, "Transparent Ethernet Bridging"}, CodeName{0x0800, "IPv4"}, CodeName{0x86DD, "IPv6"}};

/// The Geneve header (RFC 8926 section 3.4):
///
///     |Ver|  Opt Len  |O|C|    Rsvd.  |          Protocol Type        |
///     |        Virtual Network Identifier (VNI)       |    Reserved   |
///     |                    Variable-Length Options                    |
///
/// Opt Len counts the options in four-byte words; the header is 8 bytes plus the options. The
/// protocol type is an ether type (0x6558 for an Ethernet frame). Only version 0 exists: a header
/// of another version, or whose options run past the captured bytes, carries nothing.
class GeneveAnalyzer final : public StandardAnalyzer<GeneveAnalyzer> {
public:
    static constexpr std::uint8_t kOamFlag = 0x80, kCriticalFlag = 0x40;

    /// Never refuses.
    GeneveAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto first = fieldU8(data, 0);
        auto protocol = fieldU16(data, 2);
        const std::size_t size = first ? headerSize(*first) : kOverlayHeaderSize;
        setHeaderSize(size);
        if (!first || !protocol || (*first >> 6) != 0 || data.size() <= size) return;
        if (auto name = lookupName(kGeneveCarried, *protocol)) setNextProtocol(InternedString(*name));
        else setNextProtocol(ProtocolsStringsCache::sharedCache().etherTypeString(*protocol));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"GENEVE">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override { return networkSummary(data); }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto first = fieldU8(data, 0);
        auto flags = fieldU8(data, 1);
        auto protocol = fieldU16(data, 2);
        auto vni = networkIdentifier(data);
        if (!first || !flags || !protocol || !vni) return {};
        const std::size_t size = headerSize(*first);
        NodeList nodes{heading("Generic Network Virtualization Encapsulation", protocolInfo(data), size)};
        nodes.push_back(field("Version", std::to_string(*first >> 6), 0, 1));
        nodes.push_back(field("Options Length", std::to_string(size - kOverlayHeaderSize) + " bytes", 0, 1));
        std::vector<std::string> names;
        if (*flags & kOamFlag) names.emplace_back("Operations, Administration and Management Frame");
        if (*flags & kCriticalFlag) names.emplace_back("Critical Options Present");
        nodes.push_back(field("Flags", flagsText(*flags, 2, names), 1, 1));
        nodes.push_back(field("Protocol Type", namedHexCode(kGeneveProtocolTitles, *protocol, 4), 2, 2));
        nodes.push_back(field("Virtual Network Identifier (VNI)", std::to_string(*vni), 4, 3));
        if (size > kOverlayHeaderSize) {
            if (auto options = fieldBytes(data, kOverlayHeaderSize, size - kOverlayHeaderSize))
                nodes.push_back(field("Options", hexBytes(*options), kOverlayHeaderSize, size - kOverlayHeaderSize));
        }
        return nodes;
    }

    /// "geneveVNI", "geneveProtocol".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "geneveVNI") return Value(networkIdentifier(data));
        if (key == "geneveProtocol") return Value(fieldU16(data, 2));
        return {};
    }

private:
    static std::size_t headerSize(std::uint8_t first) { return kOverlayHeaderSize + std::size_t(first & 0x3F) * 4; }
};

/// Teredo (RFC 4380 section 5.1.1): an IPv6 packet in a UDP datagram, after an optional
/// authentication indicator
///
///     0x0001 | client id length (1) | auth value length (1) | client id | auth value | nonce (8) | confirmation (1)
///
/// and an optional origin indication
///
///     0x0000 | origin port (2, obfuscated) | origin IPv4 address (4, obfuscated)
///
/// The IPv6 packet (a bubble is one without a payload) follows.
class TeredoAnalyzer final : public StandardAnalyzer<TeredoAnalyzer> {
public:
    static constexpr std::uint16_t kAuthentication = 0x0001, kOrigin = 0x0000;
    static constexpr std::size_t kOriginSize = 8, kAuthenticationFixedSize = 4, kNonceAndConfirmationSize = 9;

    /// Refuses what is not an IPv6 packet after the indicators, which leaves the port's other
    /// traffic to the content checks.
    static bool accepts(const Data& data, const PacketRef&) { return carriesIPv6(data, indicatorsSize(data)); }

    TeredoAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        const std::size_t size = indicatorsSize(data);
        setHeaderSize(size);
        if (carriesIPv6(data, size)) setNextProtocol(fixedName<"IPv6">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"TEREDO">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        const std::size_t size = indicatorsSize(data);
        if (size == 0) return std::string("Teredo IPv6 over UDP tunneling");
        return fmt::format("Teredo IPv6 over UDP tunneling, {} bytes of indicators", size);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        const std::size_t size = indicatorsSize(data);
        NodeList nodes{heading("Teredo IPv6 over UDP tunneling", protocolInfo(data), size)};
        if (size > 0) nodes.push_back(field("Indicators", std::to_string(size) + " bytes", 0, size));
        return nodes;
    }

private:
    /// Whether an IPv6 header (version 6) starts at `at`.
    static bool carriesIPv6(const Data& data, std::size_t at) {
        auto first = fieldU8(data, at);
        return first && (*first >> 4) == 6;
    }
    /// The bytes of the authentication and origin indicators before the IPv6 packet.
    static std::size_t indicatorsSize(const Data& data) {
        std::size_t at = 0;
        if (fieldU16(data, at) == kAuthentication) {
            auto idLength = fieldU8(data, at + 2), authLength = fieldU8(data, at + 3);
            if (!idLength || !authLength) return at;
            const std::size_t size = kAuthenticationFixedSize + *idLength + *authLength + kNonceAndConfirmationSize;
            if (data.size() < at + size) return at;
            at += size;
        }
        if (fieldU16(data, at) == kOrigin && data.size() >= at + kOriginSize) at += kOriginSize;
        return at;
    }
};

const AnalyzerClassRegistration<VxlanAnalyzer> kVxlanClass{"VxlanAnalyzer"};
const AnalyzerClassRegistration<GeneveAnalyzer> kGeneveClass{"GeneveAnalyzer"};

const QORPluginAnalyzerClass& VxlanAnalyzer::analyzerClass() const { return *kVxlanClass; }
const AnalyzerClassRegistration<TeredoAnalyzer> kTeredoClass{"TeredoAnalyzer"};

const QORPluginAnalyzerClass& GeneveAnalyzer::analyzerClass() const { return *kGeneveClass; }
const QORPluginAnalyzerClass& TeredoAnalyzer::analyzerClass() const { return *kTeredoClass; }

const FamilyRegistration kVxlanFamily{[] {
    AnalyzerFamily f;
    f.title = "VXLAN";
    f.description = "Virtual eXtensible Local Area Network (RFC 7348)";
    f.analyzerClass = kVxlanClass;
    f.protocols = {portsTarget("VXLAN", {4789}, kQORSourceProtocols::udp, kOverlayHeaderSize)};
    f.attributes = {attribute(kVxlanClass, "VXLAN Network Identifier", "vxlanVNI", AttributeValueType::uint32, 0, kOverlayHeaderSize)};
    return f;
}};

const FamilyRegistration kGeneveFamily{[] {
    AnalyzerFamily f;
    f.title = "GENEVE";
    f.description = "Generic Network Virtualization Encapsulation (RFC 8926)";
    f.analyzerClass = kGeneveClass;
    f.protocols = {portsTarget("GENEVE", {6081}, kQORSourceProtocols::udp, kOverlayHeaderSize)};
    f.attributes = {
        attribute(kGeneveClass, "Geneve Virtual Network Identifier", "geneveVNI", AttributeValueType::uint32, 0, kOverlayHeaderSize),
        attribute(kGeneveClass, "Geneve Protocol Type", "geneveProtocol", AttributeValueType::uint16, 0, kOverlayHeaderSize),
    };
    return f;
}};

const FamilyRegistration kTeredoFamily{[] {
    AnalyzerFamily f;
    f.title = "Teredo";
    f.description = "Teredo, IPv6 over UDP through NATs (RFC 4380)";
    f.analyzerClass = kTeredoClass;
    f.protocols = {portsTarget("TEREDO", {3544}, kQORSourceProtocols::udp, 0)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
