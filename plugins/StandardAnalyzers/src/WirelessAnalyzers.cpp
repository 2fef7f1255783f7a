// The wireless LAN analyzers: the radio information monitor-mode captures put before each frame,
// "RADIOTAP" (link type 127), "PPI" (192) and "PRISM" (119), and "WLAN", the IEEE 802.11 frame
// (link type 105, or after the radio information).

#include <array>
#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

// --- Radiotap ------------------------------------------------------------------------------------

constexpr std::uint32_t kPresentTSFT = 1u << 0, kPresentFlags = 1u << 1, kPresentExtended = 1u << 31;
constexpr std::uint8_t kFlagFCSAtEnd = 0x10;
/// Present words followed before the header is taken as malformed (each adds 32 fields).
constexpr std::size_t kMaxPresentWords = 8;

/// The radiotap header (radiotap.org):
///
///     0  version (1): 0   1  pad (1)   2  length (2, little endian): the whole header
///     4  present (4, little endian; bit 31: another present word follows) ...
///        then the fields the present bits name, each aligned to its own size
///
/// Only the flags field (bit 1) is read: it says whether the frame ends with its FCS. Its only
/// predecessor is the TSFT (bit 0, 8 bytes, aligned to 8 from the header's start).
struct RadiotapHeader {
    std::uint16_t length = 0;
    std::uint32_t present = 0;
    std::optional<std::uint8_t> flags;
    std::size_t flagsAt = 0;  ///< where the flags field lies, when there is one

    static std::optional<RadiotapHeader> read(const Data& data) {
        ByteReader r(data);
        auto version = r.readU8();
        if (!version || *version != 0 || !r.skip(1)) return std::nullopt;
        auto length = r.readU16le();
        auto present = r.readU32le();
        if (!length || !present || *length < 8) return std::nullopt;
        RadiotapHeader h;
        h.length = *length;
        h.present = *present;
        std::uint32_t word = *present;
        for (std::size_t i = 0; word & kPresentExtended; ++i) {
            auto next = r.readU32le();
            if (!next || i == kMaxPresentWords) return h;
            word = *next;
        }
        std::size_t at = r.offset();
        if (h.present & kPresentTSFT) at = (at + 7) / 8 * 8 + 8;
        if ((h.present & kPresentFlags) && at < h.length) {
            h.flags = ByteReader(data).peekU8(at);
            h.flagsAt = at;
        }
        return h;
    }
};

class RadiotapAnalyzer final : public StandardAnalyzer<RadiotapAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses a header of another version or shorter than its fixed part.
    static bool accepts(const Data& data, const PacketRef&) { return RadiotapHeader::read(data).has_value(); }

    /// Carries the 802.11 frame after the header, when the header lies within the bytes.
    RadiotapAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *RadiotapHeader::read(data);
        setHeaderSize(header.length);
        if (data.size() > header.length) setNextProtocol(fixedName<"WLAN">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"RADIOTAP">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = RadiotapHeader::read(data);
        if (!header) return std::nullopt;
        return fmt::format("Radiotap Header v0, Length {}", header->length);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = RadiotapHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("Radiotap Header v0", protocolInfo(data), header->length)};
        nodes.push_back(field("Header revision", "0", 0, 1));
        nodes.push_back(field("Header length", std::to_string(header->length), 2, 2));
        nodes.push_back(field("Present flags", hexText(header->present, 8), 4, 4));
        if (header->flags) {
            std::vector<std::string> names;
            if (*header->flags & kFlagFCSAtEnd) names.emplace_back("FCS at end");
            nodes.push_back(field("Flags", flagsText(*header->flags, 2, names), header->flagsAt, 1));
        }
        return nodes;
    }

    /// "radiotapLength".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key != "radiotapLength") return {};
        auto header = RadiotapHeader::read(data);
        return header ? Value(header->length) : Value();
    }
};

// --- PPI and Prism -------------------------------------------------------------------------------

/// LINKTYPE_IEEE802_11, the only link type of a PPI or Prism header's frame that is analysed.
constexpr std::uint32_t kLinkTypeWlan = 105;

/// The per-packet information header (PPI, CACE Technologies):
///
///     0  version (1): 0   1  flags (1)   2  length (2, little endian): the whole header
///     4  link type of the frame that follows (4, little endian)   8  fields ...
///
/// An 802.11 frame (link type 105) is carried on; any other ends the chain.
class PpiAnalyzer final : public StandardAnalyzer<PpiAnalyzer> {
public:
    static constexpr std::size_t kFixedSize = 8;
    using AnalyzerBase::protocolInfo;

    /// Refuses a header of another version or shorter than its fixed part.
    static bool accepts(const Data& data, const PacketRef&) {
        auto version = fieldU8(data, 0);
        auto length = lengthOf(data);
        return version == 0 && length && *length >= kFixedSize;
    }

    PpiAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        const std::size_t length = lengthOf(data).value_or(kFixedSize);
        setHeaderSize(length);
        if (linkTypeOf(data) == kLinkTypeWlan && data.size() > length) setNextProtocol(fixedName<"WLAN">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PPI">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto length = lengthOf(data);
        auto linkType = linkTypeOf(data);
        if (!length || !linkType) return std::nullopt;
        return fmt::format("PPI version 0, {} bytes, link type {}", *length, *linkType);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto length = lengthOf(data);
        auto linkType = linkTypeOf(data);
        if (!length || !linkType) return {};
        NodeList nodes{heading("PPI version 0", protocolInfo(data), *length)};
        nodes.push_back(field("Header length", std::to_string(*length), 2, 2));
        nodes.push_back(field("Link type", std::to_string(*linkType), 4, 4));
        return nodes;
    }

private:
    static std::optional<std::uint16_t> lengthOf(const Data& data) { return fieldU16le(data, 2); }
    static std::optional<std::uint32_t> linkTypeOf(const Data& data) { return fieldU32le(data, 4); }
};

/// The Prism monitoring header that older Linux wireless drivers put before 802.11 frames: a
/// message code (4; 0x41 or 0x44) and the header's length (4; 144), both in the capturing host's
/// byte order (little endian on the hosts that take these captures), a device name (16), then
/// ten items of radio information. The 802.11 frame follows the header.
class PrismAnalyzer final : public StandardAnalyzer<PrismAnalyzer> {
public:
    static constexpr std::uint32_t kHeaderSize = 144;
    using AnalyzerBase::protocolInfo;

    /// Refuses bytes that do not start with a Prism message code and length.
    static bool accepts(const Data& data, const PacketRef&) {
        ByteReader r(data);
        auto code = r.readU32le(), length = r.readU32le();
        return code && length && (*code == 0x41 || *code == 0x44) && *length == kHeaderSize;
    }

    PrismAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        setHeaderSize(kHeaderSize);
        if (data.size() > kHeaderSize) setNextProtocol(fixedName<"WLAN">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"PRISM">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto device = ByteReader(data).bytesAt(8, 16);
        if (!device) return std::nullopt;
        std::string_view name(reinterpret_cast<const char*>(device->data()), device->size());
        return "Prism monitoring header, device " + printableText(name.substr(0, name.find('\0')));
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto info = protocolInfo(data);
        if (!info) return {};
        return {heading("Prism capture header", info, kHeaderSize)};
    }
};

// --- IEEE 802.11 ---------------------------------------------------------------------------------

enum FrameType : std::uint8_t { kManagement = 0, kControl = 1, kData = 2 };
constexpr std::uint8_t kToDS = 0x01, kFromDS = 0x02, kMoreFragments = 0x04, kRetry = 0x08, kProtected = 0x40, kOrder = 0x80;
constexpr std::uint8_t kSubtypeQoS = 0x08, kSubtypeNoData = 0x04;
constexpr std::uint8_t kQoSAMSDU = 0x80;
constexpr std::size_t kMacHeaderSize = 24, kAddressSize = 6, kSubframeHeaderSize = 14;

constexpr std::array kManagementNames = {
    CodeName{0, "Association Request"}, CodeName{1, "Association Response"}, CodeName{2, "Reassociation Request"},
    CodeName{3, "Reassociation Response"}, CodeName{4, "Probe Request"}, CodeName{5, "Probe Response"},
    CodeName{6, "Timing Advertisement"}, CodeName{8, "Beacon frame"}, CodeName{9, "ATIM"}, CodeName{10, "Disassociate"},
    CodeName{11, "Authentication"}, CodeName{12, "Deauthentication"}, CodeName{13, "Action"}, CodeName{14, "Action No Ack"},
};
constexpr std::array kControlNames = {
    CodeName{4, "Beamforming Report Poll"}, CodeName{5, "VHT/HE NDP Announcement"}, CodeName{7, "Control Wrapper"},
    CodeName{8, "802.11 Block Ack Req"},   CodeName{9, "802.11 Block Ack"},         CodeName{10, "Power-Save poll"},
    CodeName{11, "Request-to-send"},       CodeName{12, "Clear-to-send"},           CodeName{13, "Acknowledgement"},
    CodeName{14, "CF-End"},                CodeName{15, "CF-End + CF-Ack"},
};
constexpr std::array kDataNames = {
    CodeName{0, "Data"}, CodeName{1, "Data + CF-Ack"}, CodeName{2, "Data + CF-Poll"}, CodeName{3, "Data + CF-Ack + CF-Poll"},
    CodeName{4, "Null function (No data)"}, CodeName{5, "CF-Ack (No data)"}, CodeName{6, "CF-Poll (No data)"},
    CodeName{7, "CF-Ack/Poll (No data)"}, CodeName{8, "QoS Data"}, CodeName{9, "QoS Data + CF-Ack"},
    CodeName{10, "QoS Data + CF-Poll"}, CodeName{11, "QoS Data + CF-Ack + CF-Poll"}, CodeName{12, "QoS Null function (No data)"},
    CodeName{14, "QoS CF-Poll (No Data)"}, CodeName{15, "QoS CF-Ack + CF-Poll (No data)"},
};

/// The 802.11 MAC header (IEEE 802.11-2020 clause 9.2):
///
///     0  frame control (2): protocol version (2 bits) | type (2) | subtype (4); flags (1):
///        To DS, From DS, More Fragments, Retry, Power Management, More Data, Protected, +HTC/Order
///     2  duration (2)   4  address 1 (6)   10 address 2 (6)   16 address 3 (6)   22 sequence control (2)
///     24 address 4 (6), only in a data frame with both To DS and From DS
///        QoS control (2), in a QoS data frame
///        HT control (4), with the Order flag in a QoS data or a management frame
///
/// Control frames are 10 (CTS, ACK) or 16 bytes and more; their header is the whole frame. A data
/// frame carries an LLC header, unless it holds no data (null functions), is protected (its body
/// is encrypted) or is a fragment (its body is part of one). A frame that aggregates MSDUs (the
/// A-MSDU bit of its QoS control) carries subframes, each a destination and source address and a
/// length (14 bytes) before its LLC header: the first subframe's header joins this header, and the
/// chain goes on with its LLC header. Management frames carry their fixed fields and elements,
/// shown as the header's rest, not analysed further. A frame cut short keeps its name and carries
/// nothing.
struct WlanHeader {
    std::uint8_t type = 0, subtype = 0, flags = 0;
    std::uint16_t sequenceControl = 0;
    std::size_t size = 0;
    bool carriesLLC = false;

    [[nodiscard]] std::optional<std::string_view> name() const {
        switch (type) {
            case kManagement: return lookupName(kManagementNames, subtype);
            case kControl: return lookupName(kControlNames, subtype);
            case kData: return lookupName(kDataNames, subtype);
            default: return std::nullopt;
        }
    }

    static std::optional<WlanHeader> read(const Data& data) {
        ByteReader r(data);
        auto fc = r.readU8(), flags = r.readU8();
        if (!fc || !flags || (*fc & 0x03) != 0) return std::nullopt;
        WlanHeader h;
        h.type = static_cast<std::uint8_t>((*fc >> 2) & 0x03);
        h.subtype = static_cast<std::uint8_t>(*fc >> 4);
        h.flags = *flags;
        if (h.type == kControl) {
            // CTS and ACK carry one address; the other control frames two and more.
            h.size = (h.subtype == 12 || h.subtype == 13) ? 10 : 16;
            return h;
        }
        if (h.type != kManagement && h.type != kData) {
            h.size = data.size();  // extension frames: not analysed
            return h;
        }
        std::size_t size = kMacHeaderSize;
        const bool qos = h.type == kData && (h.subtype & kSubtypeQoS);
        if (h.type == kData && (h.flags & kToDS) && (h.flags & kFromDS)) size += kAddressSize;
        std::optional<std::uint8_t> qosControl;
        if (qos) {
            qosControl = ByteReader(data).peekU8(size);
            size += 2;
        }
        if ((h.flags & kOrder) && (qos || h.type == kManagement)) size += 4;
        h.sequenceControl = fieldU16le(data, 22).value_or(0);
        const bool fragment = (h.flags & kMoreFragments) || (h.sequenceControl & 0x0F) != 0;
        const bool readable = h.type == kData && !(h.subtype & kSubtypeNoData) && !(h.flags & kProtected) && !fragment;
        // An aggregate's first subframe header is readable only in a body that is.
        if (readable && qosControl && (*qosControl & kQoSAMSDU)) size += kSubframeHeaderSize;
        h.size = size;
        h.carriesLLC = readable && data.size() > size;
        return h;
    }
};

class WlanAnalyzer final : public StandardAnalyzer<WlanAnalyzer> {
public:
    using AnalyzerBase::protocolInfo;
    /// Refuses a frame of another protocol version, or without its frame control.
    static bool accepts(const Data& data, const PacketRef&) { return WlanHeader::read(data).has_value(); }

    WlanAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto header = *WlanHeader::read(data);
        setHeaderSize(header.type == kManagement ? std::max(data.size(), header.size) : header.size);
        if (header.carriesLLC) setNextProtocol(fixedName<"LLC">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"WLAN">(); }

    /// "Beacon frame, SN=1234, FN=0", "QoS Data, SN=17, FN=0", "Acknowledgement".
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto header = WlanHeader::read(data);
        if (!header) return std::nullopt;
        std::string info = header->name() ? std::string(*header->name()) : fmt::format("Unrecognized (type {}, subtype {})", header->type, header->subtype);
        if (header->type != kControl) info += fmt::format(", SN={}, FN={}", header->sequenceControl >> 4, header->sequenceControl & 0x0F);
        if (header->flags & kProtected) info += ", Protected";
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto header = WlanHeader::read(data);
        if (!header) return {};
        NodeList nodes{heading("IEEE 802.11", protocolInfo(data), protocolSize())};
        nodes.push_back(field("Type/Subtype", fmt::format("{} (type {}, subtype {})", header->name().value_or("Unrecognized"), header->type, header->subtype), 0, 1));
        std::vector<std::string> names;
        if (header->flags & kToDS) names.emplace_back("To DS");
        if (header->flags & kFromDS) names.emplace_back("From DS");
        if (header->flags & kMoreFragments) names.emplace_back("More Fragments");
        if (header->flags & kRetry) names.emplace_back("Retry");
        if (header->flags & kProtected) names.emplace_back("Protected");
        nodes.push_back(field("Flags", flagsText(header->flags, 2, names), 1, 1));
        static constexpr std::array<const char*, 4> kAddressNames = {"Receiver address", "Transmitter address", "Address 3", "Address 4"};
        const std::size_t addresses = header->type == kControl ? (header->size == 10 ? 1 : 2) : (header->size >= 30 && (header->flags & kToDS) && (header->flags & kFromDS) ? 4 : 3);
        for (std::size_t i = 0; i < addresses; ++i) {
            const std::size_t at = i < 3 ? 4 + i * kAddressSize : 24;
            if (auto bytes = fieldBytes(data, at, kAddressSize)) nodes.push_back(field(kAddressNames[i], macText(*bytes), at, kAddressSize));
        }
        if (header->type != kControl) {
            nodes.push_back(field("Sequence number", std::to_string(header->sequenceControl >> 4), 22, 2));
            nodes.push_back(field("Fragment number", std::to_string(header->sequenceControl & 0x0F), 22, 2));
        }
        if (header->type == kData && (header->flags & kProtected)) {
            const std::size_t body = data.size() - std::min(data.size(), header->size);
            nodes.push_back(field("Protected Data", std::to_string(body) + " bytes", header->size, body));
        }
        return nodes;
    }

    /// "wlanType", "wlanSubtype", "wlanTransmitter", "wlanReceiver".
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        auto header = WlanHeader::read(data);
        if (!header) return {};
        if (key == "wlanType") return header->type;
        if (key == "wlanSubtype") return header->subtype;
        if (key == "wlanReceiver" || key == "wlanTransmitter") {
            const bool receiver = key == "wlanReceiver";
            if (!receiver && header->type == kControl && header->size == 10) return {};
            auto bytes = fieldBytes(data, receiver ? 4 : 10, kAddressSize);
            return bytes ? Value(macText(*bytes)) : Value();
        }
        return {};
    }
};

const AnalyzerClassRegistration<RadiotapAnalyzer> kRadiotapClass{"RadiotapAnalyzer"};
const AnalyzerClassRegistration<WlanAnalyzer> kWlanClass{"WlanAnalyzer"};

const AnalyzerClassRegistration<PpiAnalyzer> kPpiClass{"PpiAnalyzer"};
const AnalyzerClassRegistration<PrismAnalyzer> kPrismClass{"PrismAnalyzer"};

const QORPluginAnalyzerClass& RadiotapAnalyzer::analyzerClass() const { return *kRadiotapClass; }
const QORPluginAnalyzerClass& PpiAnalyzer::analyzerClass() const { return *kPpiClass; }
const QORPluginAnalyzerClass& PrismAnalyzer::analyzerClass() const { return *kPrismClass; }
const QORPluginAnalyzerClass& WlanAnalyzer::analyzerClass() const { return *kWlanClass; }

/// LINKTYPE_IEEE802_11_RADIOTAP, LINKTYPE_PPI and LINKTYPE_PRISM_HEADER.
constexpr std::uint32_t kLinkTypeRadiotap = 127, kLinkTypePpi = 192, kLinkTypePrism = 119;

const FamilyRegistration kRadiotapFamily{[] {
    AnalyzerFamily f;
    f.title = "Radiotap";
    f.description = "Radio information of monitor-mode 802.11 captures (radiotap.org)";
    f.analyzerClass = kRadiotapClass;
    f.protocols = {linkTypeTarget("RADIOTAP", kLinkTypeRadiotap, 8)};
    f.attributes = {attribute(kRadiotapClass, "Radiotap Length", "radiotapLength", AttributeValueType::uint16, 0, kToEndOfHeader)};
    return f;
}};

const FamilyRegistration kPpiFamily{[] {
    AnalyzerFamily f;
    f.title = "PPI";
    f.description = "Per-packet information headers of 802.11 captures";
    f.analyzerClass = kPpiClass;
    f.protocols = {linkTypeTarget("PPI", kLinkTypePpi, PpiAnalyzer::kFixedSize)};
    return f;
}};

const FamilyRegistration kPrismFamily{[] {
    AnalyzerFamily f;
    f.title = "Prism";
    f.description = "Prism monitoring headers of 802.11 captures";
    f.analyzerClass = kPrismClass;
    f.protocols = {linkTypeTarget("PRISM", kLinkTypePrism, PrismAnalyzer::kHeaderSize)};
    return f;
}};

const FamilyRegistration kWlanFamily{[] {
    AnalyzerFamily f;
    f.title = "IEEE 802.11";
    f.description = "IEEE 802.11 wireless LAN frames";
    f.analyzerClass = kWlanClass;
    f.protocols = {linkTypeTarget("WLAN", kLinkTypeWlan, 10), namedTarget("WLAN")};
    f.attributes = {
        attribute(kWlanClass, "802.11 Type", "wlanType", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kWlanClass, "802.11 Subtype", "wlanSubtype", AttributeValueType::uint8, 0, kToEndOfHeader),
        attribute(kWlanClass, "802.11 Receiver", "wlanReceiver", AttributeValueType::string, 0, kToEndOfHeader),
        attribute(kWlanClass, "802.11 Transmitter", "wlanTransmitter", AttributeValueType::string, 0, kToEndOfHeader),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
