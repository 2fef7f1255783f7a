// The TCP analyzer ("TCP", IP protocol 6).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "AttributeReadingClass.hpp"
#include "ContentProbes.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "TransportAnalyzerClass.hpp"

namespace qor::standard {
namespace {

/// The TCP header (RFC 9293) and its options:
///
///      0                   1                   2                   3
///      0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
///     +-------------------------------+-------------------------------+
///     |          Source Port          |       Destination Port        |
///     |                        Sequence Number                        |
///     |                    Acknowledgment Number                      |
///     |  Data |       |A|C|E|U|A|P|R|S|F|                             |
///     | Offset| Rsrvd |E|W|C|R|C|S|S|Y|I|            Window           |
///     |           Checksum            |         Urgent Pointer        |
///     |                    Options (Data Offset*4 - 20)               |
///
/// Options: EOL (0) ends them, NOP (1) is one byte, the others are KIND LENGTH VALUE: MSS (2),
/// window scale (3), SACK permitted (4), SACK blocks (5), timestamps (8). The carried protocol is
/// the one an analyzer claimed for the lower port, else for the other port, unless that analyzer
/// refuses the payload; a payload no port explains goes by its content (`carriedProtocol`). A
/// segment without payload carries nothing. A data offset below 5 is not TCP; one past the
/// captured bytes ends the chain here. Sequence numbers are shown as they are on the wire (relative numbers need the
/// stream's first segment, which one packet does not know).
class TcpAnalyzer final : public StandardAnalyzer<TcpAnalyzer> {
public:
    static constexpr std::size_t kMinHeaderSize = 20;
    /// Where the data offset (header length in 32-bit words) sits, in its high nibble.
    static constexpr std::size_t kDataOffsetOffset = 12;
    static constexpr std::uint16_t kFIN = 0x001, kSYN = 0x002, kRST = 0x004, kPSH = 0x008, kACK = 0x010,
                                   kURG = 0x020, kECE = 0x040, kCWR = 0x080, kAE = 0x100;

    /// Refuses a data offset below 5 when that byte is there.
    static bool accepts(const Data& data, const PacketRef&) {
        auto offset = ByteReader(data).peekU8(kDataOffsetOffset);
        return !offset || (*offset >> 4) >= 5;
    }

    TcpAnalyzer(const Data& data, const PacketRef& packet) : StandardAnalyzer(data) {
        auto offset = ByteReader(data).peekU8(kDataOffsetOffset);
        std::size_t headerLength = offset ? std::size_t(*offset >> 4) * 4 : kMinHeaderSize;
        setHeaderSize(headerLength);
        if (data.size() <= headerLength) return;  // no payload, cut short, or a lying data offset
        ByteReader r(data);
        setNextProtocol(carriedProtocol(Transport::tcp, *r.peekU16be(0), *r.peekU16be(2), data.slice(headerLength), packet));
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"TCP">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto h = read(segment(data));
        if (!h) return std::nullopt;
        // Written straight into one string: every listed TCP segment builds this line.
        std::string info;
        info.reserve(kInfoRoom);
        appendDecimal(info, h->sourcePort);
        info += " → ";
        appendDecimal(info, h->destinationPort);
        info += " [";
        if (!appendFlagNames(info, h->flags)) info += "<None>";
        info += "] Seq=";
        appendDecimal(info, h->seq);
        if (h->flags & kACK) {
            info += " Ack=";
            appendDecimal(info, h->ack);
        }
        info += " Win=";
        appendDecimal(info, h->window);
        info += " Len=";
        appendDecimal(info, h->payloadLength);
        if (h->flags & kURG) {
            info += " Urg=";
            appendDecimal(info, h->urgent);
        }
        walkOptions(h->options, [&](std::uint8_t kind, std::size_t, std::size_t, ByteReader value, bool malformed) {
            if (!malformed) appendOptionInfo(info, kind, value);
        });
        return info;
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto root = field("Transmission Control Protocol", "", 0, protocolSize());
        auto h = read(segment(data));
        if (!h) {
            root->setNodeValue("[Truncated]");
            ByteReader r(data);
            if (auto sp = r.peekU16be(0)) addField(root, "Source Port", std::to_string(*sp), 0, 2);
            if (auto dp = r.peekU16be(2)) addField(root, "Destination Port", std::to_string(*dp), 2, 2);
            return {root};
        }
        root->setNodeValue(fmt::format("Src Port: {}, Dst Port: {}, Seq: {}{}, Len: {}", h->sourcePort, h->destinationPort, h->seq,
                                       (h->flags & kACK) ? fmt::format(", Ack: {}", h->ack) : std::string(), h->payloadLength));
        addField(root, "Source Port", std::to_string(h->sourcePort), 0, 2);
        addField(root, "Destination Port", std::to_string(h->destinationPort), 2, 2);
        addField(root, "Sequence Number (raw)", std::to_string(h->seq), 4, 4);
        addField(root, "Acknowledgment Number (raw)", std::to_string(h->ack), 8, 4);
        auto hl = addField(root, "Header Length", fmt::format("{} bytes ({})", h->headerLength, h->headerLength / 4), 12, 1);
        if (h->headerLength > data.size()) addField(hl, "Expert Info", "Header runs past the captured bytes", 12, 1);
        auto flags = addField(root, "Flags", flagsText(h->flags, 3, splitFlagNames(h->flags)), 12, 2);
        for (const auto& [bit, name] : kFlagTable)
            addField(flags, name, (h->flags & bit) ? "Set" : "Not set", 12, 2);
        addField(root, "Window", std::to_string(h->window), 14, 2);
        addField(root, "Checksum", hexText(h->checksum, 4) + " [unverified]", 16, 2);
        addField(root, "Urgent Pointer", std::to_string(h->urgent), 18, 2);
        if (const auto options = readOptions(h->options); !options.empty()) {
            auto node = addField(root, "Options", fmt::format("({} bytes)", std::min(h->headerLength, data.size()) - kMinHeaderSize),
                                 kMinHeaderSize, std::min(h->headerLength, data.size()) - kMinHeaderSize);
            for (const auto& option : options) addField(node, option.name, option.value, option.offset, option.length);
        }
        if (h->payloadLength) addField(root, "TCP payload", fmt::format("{} bytes", h->payloadLength), h->headerLength, h->payloadLength);
        return {root};
    }

    /// The attributes that are one field of the header, read from their bytes alone (the
    /// packet's attribute lookup reads them without making an analyzer).
    static QORAttributeReading::AttributeReader attributeReader(std::string_view key) {
        if (auto port = transportPortReader(key)) return port;
        if (key == "tcpSeq") return &numberField<std::uint32_t, 4>;
        if (key == "tcpAck") return &numberField<std::uint32_t, 8>;
        if (key == "tcpWindow") return &numberField<std::uint16_t, 14>;
        if (key == "tcpFlags") {
            return [](const Data& data) -> Value {
                auto v = fieldU16(data, 12);
                if (!v) return {};
                std::string names;
                appendFlagNames(names, *v & 0x1FF);
                return names;
            };
        }
        return nullptr;
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (auto read = attributeReader(key)) return read(data);
        if (key == "payloadSize") {
            auto offset = ByteReader(data).peekU8(kDataOffsetOffset);
            if (!offset) return {};
            std::size_t headerLength = std::size_t(*offset >> 4) * 4;
            if (data.size() < headerLength) return {};
            return static_cast<std::uint16_t>(std::min<std::size_t>(data.size() - headerLength, UINT16_MAX));
        }
        return {};
    }

private:
    struct FlagName {
        std::uint16_t bit;
        const char* name;
    };
    /// In the order tshark lists them in the summary line.
    static constexpr FlagName kFlagTable[] = {
        {kFIN, "FIN"}, {kSYN, "SYN"}, {kRST, "RST"}, {kPSH, "PSH"}, {kACK, "ACK"},
        {kURG, "URG"}, {kECE, "ECE"}, {kCWR, "CWR"}, {kAE, "AE"},
    };

    static std::vector<std::string> splitFlagNames(std::uint16_t flags) {
        std::vector<std::string> names;
        for (const auto& [bit, name] : kFlagTable)
            if (flags & bit) names.emplace_back(name);
        return names;
    }

    /// Appends the names of the set flags, ", " between them; whether any is set.
    static bool appendFlagNames(std::string& out, std::uint16_t flags) {
        bool any = false;
        for (const auto& [bit, name] : kFlagTable) {
            if (!(flags & bit)) continue;
            if (any) out += ", ";
            out += name;
            any = true;
        }
        return any;
    }

    /// The segment within `data`: the bytes the analyzer was made from bound what belongs to it,
    /// so that link-layer padding after the IP payload never counts as TCP payload.
    [[nodiscard]] Data segment(const Data& data) const { return data.slice(0, std::min(data.size(), bytes().size())); }

    /// Room made for a summary line at once: ports, flags, numbers and a few options.
    static constexpr std::size_t kInfoRoom = 128;

    struct Option {
        std::string name, value;
        std::size_t offset = 0, length = 0;
    };
    struct Header {
        std::uint16_t sourcePort = 0, destinationPort = 0, flags = 0, window = 0, checksum = 0, urgent = 0;
        std::uint32_t seq = 0, ack = 0;
        std::size_t headerLength = 0, payloadLength = 0;
        /// The options that fit in the captured part of the header.
        Data options;
    };

    /// The fixed header; the options are read when asked for (`walkOptions`).
    static std::optional<Header> read(const Data& data) {
        ByteReader r(data);
        if (!r.canRead(kMinHeaderSize)) return std::nullopt;
        Header h;
        h.sourcePort = *r.readU16be();
        h.destinationPort = *r.readU16be();
        h.seq = *r.readU32be();
        h.ack = *r.readU32be();
        auto offsetAndFlags = *r.readU16be();
        h.headerLength = std::size_t(offsetAndFlags >> 12) * 4;
        h.flags = offsetAndFlags & 0x1FF;
        h.window = *r.readU16be();
        h.checksum = *r.readU16be();
        h.urgent = *r.readU16be();
        h.payloadLength = data.size() > h.headerLength ? data.size() - h.headerLength : 0;
        if (h.headerLength > kMinHeaderSize) h.options = data.slice(kMinHeaderSize, std::min(h.headerLength, data.size()) - kMinHeaderSize);
        return h;
    }

    /// Walks the options: `visit(kind, at, length, value, malformed)` for each, `at` counted
    /// from the start of the header and `value` over the bytes after kind and length (none for
    /// EOL and NOP). EOL ends the walk; so does an option whose length does not fit, given as
    /// malformed and reaching to the end of the options.
    template <class Visit>
    static void walkOptions(const Data& bytes, Visit visit) {
        ByteReader r(bytes);
        while (!r.empty()) {
            const std::size_t at = kMinHeaderSize + r.offset();
            const auto kind = *r.readU8();
            if (kind == 0 || kind == 1) {
                visit(kind, at, std::size_t{1}, ByteReader(), false);
                if (kind == 0) break;
                continue;
            }
            auto length = r.readU8();
            if (!length || *length < 2 || !r.canRead(*length - 2u)) {
                visit(kind, at, bytes.size() + kMinHeaderSize - at, ByteReader(), true);
                break;
            }
            visit(kind, at, std::size_t{*length}, ByteReader(*r.readBytes(*length - 2u)), false);
        }
    }

    /// The summary line's part for an option: " MSS=1460", " WS=128", " SACK_PERM",
    /// " SLE=1 SRE=2", " TSval=1 TSecr=2"; nothing for the others.
    static void appendOptionInfo(std::string& out, std::uint8_t kind, ByteReader v) {
        switch (kind) {
            case 2:
                if (auto mss = v.readU16be()) {
                    out += " MSS=";
                    appendDecimal(out, *mss);
                }
                break;
            case 3:
                if (auto shift = v.readU8()) {
                    out += " WS=";
                    appendDecimal(out, windowMultiplier(*shift));
                }
                break;
            case 4: out += " SACK_PERM"; break;
            case 5:
                while (auto left = v.readU32be()) {
                    auto right = v.readU32be();
                    if (!right) break;
                    out += " SLE=";
                    appendDecimal(out, *left);
                    out += " SRE=";
                    appendDecimal(out, *right);
                }
                break;
            case 8:
                if (auto tsval = v.readU32be()) {
                    auto tsecr = v.readU32be();
                    out += " TSval=";
                    appendDecimal(out, *tsval);
                    out += " TSecr=";
                    appendDecimal(out, tsecr.value_or(0));
                }
                break;
            default: break;
        }
    }

    /// The window scale's multiplier (shifts past 14 count as 14).
    static unsigned windowMultiplier(std::uint8_t shift) { return shift <= 14 ? 1u << shift : 1u << 14; }

    /// The options with their names and values, for the detail tree.
    static std::vector<Option> readOptions(const Data& bytes) {
        std::vector<Option> out;
        walkOptions(bytes, [&](std::uint8_t kind, std::size_t at, std::size_t length, ByteReader v, bool malformed) {
            Option o{"", "", at, length};
            if (malformed) {
                o.name = fmt::format("Option kind {}", kind), o.value = "bad length";
                out.push_back(std::move(o));
                return;
            }
            switch (kind) {
                case 0: o.name = "End of Option List (EOL)"; break;
                case 1: o.name = "No-Operation (NOP)"; break;
                case 2:
                    o.name = "Maximum segment size";
                    if (auto mss = v.readU16be()) o.value = fmt::format("{} bytes", *mss);
                    break;
                case 3:
                    o.name = "Window scale";
                    if (auto shift = v.readU8()) o.value = fmt::format("{} (multiply by {})", *shift, windowMultiplier(*shift));
                    break;
                case 4: o.name = "SACK permitted"; break;
                case 5: {
                    o.name = "SACK";
                    while (auto left = v.readU32be()) {
                        auto right = v.readU32be();
                        if (!right) break;
                        o.value += fmt::format("{}{}-{}", o.value.empty() ? "" : ", ", *left, *right);
                    }
                    break;
                }
                case 8:
                    o.name = "Timestamps";
                    if (auto tsval = v.readU32be()) {
                        auto tsecr = v.readU32be();
                        o.value = fmt::format("TSval {}, TSecr {}", *tsval, tsecr.value_or(0));
                    }
                    break;
                default: o.name = fmt::format("Option kind {}", kind), o.value = hexBytes(v.bytes()); break;
            }
            out.push_back(std::move(o));
        });
        return out;
    }
};

const AttributeReadingClassRegistration<TcpAnalyzer> kClass{"TcpAnalyzer", transportAnalyzerClass().get()};

const QORPluginAnalyzerClass& TcpAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "TCP";
    f.description = "Transmission Control Protocol";
    f.analyzerClass = kClass;
    f.protocols = {namedTarget("TCP", TcpAnalyzer::kMinHeaderSize)};
    const auto& transport = transportAnalyzerClass();
    f.attributes = {
        attribute(transport, "Source Port", "srcPort", AttributeValueType::uint16, kSourcePortOffset, 2),
        attribute(transport, "Destination Port", "dstPort", AttributeValueType::uint16, kDestinationPortOffset, 2),
        attribute(kClass, "TCP Sequence Number", "tcpSeq", AttributeValueType::uint32, 4, 4),
        attribute(kClass, "TCP Acknowledgment Number", "tcpAck", AttributeValueType::uint32, 8, 4),
        attribute(kClass, "TCP Flags", "tcpFlags", AttributeValueType::string, 12, 2),
        attribute(kClass, "TCP Window", "tcpWindow", AttributeValueType::uint16, 14, 2),
    };
    f.columns = {
        column("Source Port", "srcPort", "Source Port is", "srcPort == $value", AttributeValueType::uint16),
        column("Destination Port", "dstPort", "Destination Port is", "dstPort == $value", AttributeValueType::uint16),
        containsColumn("TCP Flags", "tcpFlags", AttributeValueType::string),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
