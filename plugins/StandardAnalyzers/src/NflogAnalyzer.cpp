// The Linux netfilter log analyzer ("NFLOG", link type 239): packets logged by firewall rules
// (iptables' NFLOG target, and the captures Android tools take through it).

#include <algorithm>
#include <array>
#include <string_view>
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

/// One TLV: its type (without the byte-order flag) and where it lies, its header included.
struct NflogTLV {
    std::uint16_t type = 0;
    std::size_t at = 0;
    std::size_t length = 0;

    [[nodiscard]] std::size_t valueAt() const { return at + kTLVHeaderSize; }
    [[nodiscard]] std::size_t valueLength() const { return length - kTLVHeaderSize; }
    /// Where the next TLV starts (values are padded to a multiple of 4), within `size` bytes.
    [[nodiscard]] std::size_t next(std::size_t size) const { return std::min(at + ((length + 3) & ~std::size_t{3}), size); }
};

/// Calls `visit(tlv)` for each whole TLV after the fixed header, in order, up to the payload TLV
/// (at most `kMaxTLVs`); stops at a TLV whose length is below its header's or runs past the bytes.
template <class Visit>
void forEachTLV(const Data& data, Visit&& visit) {
    ByteReader r(data);
    if (!r.skip(kFixedSize)) return;
    for (std::size_t i = 0; i < kMaxTLVs && r.canRead(kTLVHeaderSize); ++i) {
        NflogTLV tlv;
        tlv.at = r.offset();
        tlv.length = *r.readU16le();
        tlv.type = static_cast<std::uint16_t>(*r.readU16le() & 0x7FFF);
        if (tlv.length < kTLVHeaderSize || !r.canRead(tlv.valueLength())) return;
        visit(tlv);
        if (tlv.type == kTypePayload) return;
        r.seek(tlv.next(data.size()));
    }
}

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
    std::size_t prefixAt = 0, prefixLength = 0;  ///< the log prefix the rule gave, NUL included
    std::size_t size = kFixedSize;               ///< up to the payload, or every TLV there is

    static std::optional<NflogHeader> read(const Data& data) {
        ByteReader r(data);
        auto family = r.readU8(), version = r.readU8();
        auto resource = r.readU16be();
        if (!family || !version || !resource || *version != 0) return std::nullopt;
        NflogHeader h;
        h.family = *family;
        h.resourceId = *resource;
        forEachTLV(data, [&](const NflogTLV& tlv) {
            if (tlv.type == kTypePayload) {
                h.payloadAt = tlv.valueAt();
                h.size = tlv.valueAt();
                return;
            }
            if (tlv.type == kTypePrefix) {
                h.prefixAt = tlv.valueAt();
                h.prefixLength = tlv.valueLength();
            }
            h.size = tlv.next(data.size());
        });
        return h;
    }

    /// The prefix up to its terminating NUL; empty without one.
    [[nodiscard]] std::string_view prefix(const Data& data) const {
        auto bytes = ByteReader(data).bytesAt(prefixAt, prefixLength);
        if (!bytes || bytes->empty()) return {};
        std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        return text.substr(0, text.find('\0'));
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
        if (auto prefix = header->prefix(data); !prefix.empty()) info += ", prefix \"" + printableText(prefix) + "\"";
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = NflogHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Linux Netfilter NFLOG", protocolInfo(data), header->size)};
        nodes.push_back(field("Family", header->family == kFamilyIPv4 ? "IPv4 (2)" : header->family == kFamilyIPv6 ? "IPv6 (10)" : std::to_string(header->family), 0, 1));
        nodes.push_back(field("Resource ID", std::to_string(header->resourceId), 2, 2));
        forEachTLV(data, [&](const NflogTLV& tlv) {
            nodes.push_back(field(nameOrUnknown(kTLVNames, tlv.type), fmt::format("{} bytes", tlv.valueLength()), tlv.at, tlv.length));
        });
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
