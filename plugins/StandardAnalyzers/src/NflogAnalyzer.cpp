// The Linux netfilter log analyzer ("NFLOG", link type 239): packets logged by firewall rules
// (iptables' NFLOG target, and the captures Android tools take through it).

#include <array>
#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

constexpr std::size_t kFixedSize = 4, kTLVHeaderSize = 4;
constexpr std::uint16_t kTypePrefix = 10, kTypePayload = 9;
constexpr std::uint8_t kFamilyIPv4 = 2, kFamilyIPv6 = 10;
/// TLVs walked before the header is taken as malformed.
constexpr std::size_t kMaxTLVs = 64;

constexpr std::array kTLVNames = {
    CodeName{1, "Packet header"}, CodeName{2, "Mark"},       CodeName{3, "Timestamp"}, CodeName{4, "Input interface"},
    CodeName{5, "Output interface"}, CodeName{6, "Physical input interface"}, CodeName{7, "Physical output interface"},
    CodeName{8, "Hardware address"}, CodeName{9, "Payload"}, CodeName{10, "Prefix"}, CodeName{11, "UID"},
    CodeName{12, "Sequence number"}, CodeName{13, "Global sequence number"}, CodeName{14, "GID"},
    CodeName{15, "Hardware type"}, CodeName{16, "Hardware header"}, CodeName{17, "Hardware header length"},
};

/// The NFLOG header (tcpdump.org, LINKTYPE_NFLOG):
///
///     0  address family (1): 2 IPv4, 10 IPv6   1  version (1): 0   2  resource id (2, big endian)
///     4  TLVs: length (2) | type (2), both in the capturing host's byte order (little endian on
///        the hosts that take these captures), value, padded to a multiple of 4
///
/// The payload TLV (type 9) holds the logged packet, from its network-layer header: the header is
/// everything before its value. A log entry without a payload, or whose TLVs run past the bytes,
/// carries nothing.
struct NflogHeader {
    std::uint8_t family = 0;
    std::uint16_t resourceId = 0;
    std::optional<std::size_t> payloadAt;  ///< where the logged packet starts
    std::optional<std::string> prefix;     ///< the log prefix the rule gave
    std::size_t size = kFixedSize;         ///< up to the payload, or every TLV there is

    static std::optional<NflogHeader> read(const Data& data) {
        ByteReader r(data);
        auto family = r.readU8(), version = r.readU8();
        auto resource = r.readU16be();
        if (!family || !version || !resource || *version != 0) return std::nullopt;
        NflogHeader h;
        h.family = *family;
        h.resourceId = *resource;
        for (std::size_t i = 0; i < kMaxTLVs && r.canRead(kTLVHeaderSize); ++i) {
            const std::size_t at = r.offset();
            auto length = r.readU16le(), type = r.readU16le();
            if (*length < kTLVHeaderSize || !r.canRead(*length - kTLVHeaderSize)) break;
            const std::size_t valueLength = *length - kTLVHeaderSize;
            if ((*type & 0x7FFF) == kTypePayload) {
                h.payloadAt = r.offset();
                h.size = r.offset();
                return h;
            }
            if ((*type & 0x7FFF) == kTypePrefix) {
                auto text = r.readString(valueLength);
                h.prefix = std::string(text->substr(0, text->find('\0')));
            }
            const std::size_t next = at + ((*length + 3) & ~std::size_t{3});
            if (!r.seek(std::min(next, r.size()))) break;
            h.size = r.offset();
        }
        return h;
    }
};

class NflogAnalyzer final : public StandardAnalyzer<NflogAnalyzer> {
public:
    static constexpr std::uint32_t kLinkType = 239;
    using AnalyzerBase::protocolInfo;

    /// Refuses a header of another version or cut inside its fixed part.
    static bool accepts(const Data& data, const PacketRef&) { return NflogHeader::read(data).has_value(); }

    NflogAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *NflogHeader::read(data);
        setHeaderSize(header.size);
        if (!header.payloadAt || data.size() <= *header.payloadAt) return;
        if (header.family == kFamilyIPv4) setNextProtocol(fixedName<"IP">());
        else if (header.family == kFamilyIPv6) setNextProtocol(fixedName<"IPv6">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"NFLOG">(); }

    /// "Linux netfilter log, group 5, prefix "dropped: "".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = NflogHeader::read(data);
        if (!header) return std::nullopt;
        std::string info = fmt::format("Linux netfilter log, group {}", header->resourceId);
        if (header->prefix && !header->prefix->empty()) info += ", prefix \"" + printableText(*header->prefix) + "\"";
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = NflogHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Linux Netfilter NFLOG", protocolInfo(data), header->size)};
        nodes.push_back(field("Family", header->family == kFamilyIPv4 ? "IPv4 (2)" : header->family == kFamilyIPv6 ? "IPv6 (10)" : std::to_string(header->family), 0, 1));
        nodes.push_back(field("Resource ID", std::to_string(header->resourceId), 2, 2));
        ByteReader r(data);
        r.skip(kFixedSize);
        while (r.offset() < header->size && r.canRead(kTLVHeaderSize)) {
            const std::size_t at = r.offset();
            auto length = *r.readU16le();
            auto type = static_cast<std::uint16_t>(*r.readU16le() & 0x7FFF);
            if (length < kTLVHeaderSize) break;
            nodes.push_back(field(nameOrUnknown(kTLVNames, type), fmt::format("{} bytes", length - kTLVHeaderSize), at, std::min<std::size_t>(length, data.size() - at)));
            if (type == kTypePayload || !r.seek(std::min(at + ((std::size_t{length} + 3) & ~std::size_t{3}), r.size()))) break;
        }
        return nodes;
    }

    /// "nflogGroup".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "nflogGroup") return Value(fieldU16(data, 2));
        return {};
    }
};

const AnalyzerClassRegistration<NflogAnalyzer> kClass{"NflogAnalyzer"};

const QORPluginAnalyzerClass& NflogAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "NFLOG";
    f.description = "Linux netfilter log messages";
    f.analyzerClass = kClass;
    f.protocols = {linkTypeTarget("NFLOG", NflogAnalyzer::kLinkType, kFixedSize)};
    f.attributes = {attribute(kClass, "NFLOG Group", "nflogGroup", AttributeValueType::uint16, 0, kFixedSize)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
