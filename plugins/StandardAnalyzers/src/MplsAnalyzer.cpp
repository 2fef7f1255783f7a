// The MPLS label stack analyzer ("MPLS", ether types 0x8847 and 0x8848).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// The label stack (RFC 3032 section 2.1), entries of four bytes up to the one with the S bit:
///
///      0                   1                   2                   3
///      0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
///     +---------------------------------------+-----+-+---------------+
///     |                 Label                 | TC  |S|      TTL      |
///     +---------------------------------------+-----+-+---------------+
///
/// TC is the traffic class (the former experimental bits, RFC 5462), S marks the bottom of the
/// stack. The whole stack is this analyzer's header. What follows the bottom entry carries no
/// type: the first nibble tells IPv4 (4) from IPv6 (6), and 0 starts the control word of an
/// Ethernet pseudowire (RFC 4448 section 4.6, RFC 4385):
///
///     |0 0 0 0| Flags |FRG|  Length   |        Sequence Number        |
///
/// which joins the header, and the emulated Ethernet frame follows it (tshark reads a first nibble
/// of 0 the same way). Anything else (a pseudowire without control word, whose first byte is a
/// MAC address's and may be anything, or an associated channel) ends the chain, as does a control
/// word not followed by a whole Ethernet header. A stack without a bottom entry within the
/// captured bytes, or deeper than `kMaxEntries`, carries nothing.
class MplsAnalyzer final : public StandardAnalyzer<MplsAnalyzer> {
public:
    static constexpr std::size_t kEntrySize = 4;
    /// Deeper stacks than this are not walked; real networks use a handful of labels.
    static constexpr std::size_t kMaxEntries = 32;
    static constexpr std::uint32_t kBottomOfStack = 0x100;
    static constexpr std::size_t kControlWordSize = 4, kEthernetHeaderSize = 14;

    /// Never refuses; a stack cut short shows what is there and carries nothing.
    MplsAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        auto stack = walk(data);
        setHeaderSize(stack.size + (stack.controlWord ? kControlWordSize : 0));
        if (stack.controlWord) setNextProtocol(fixedName<"ETH">());
        else if (stack.carried == 4) setNextProtocol(fixedName<"IP">());
        else if (stack.carried == 6) setNextProtocol(fixedName<"IPv6">());
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"MPLS">(); }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        if (data.size() < kEntrySize) return std::nullopt;
        return std::string("MPLS Label Switched Packet");
    }

    /// One node per entry: "MultiProtocol Label Switching Header, Label: 16, Exp: 0, S: 1, TTL: 64".
    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        NodeList nodes;
        ByteReader r(data);
        for (std::size_t i = 0; i < kMaxEntries; ++i) {
            auto entry = r.readU32be();
            if (!entry) break;
            std::size_t at = i * kEntrySize;
            auto label = *entry >> 12, tc = (*entry >> 9) & 7, bottom = (*entry >> 8) & 1, ttl = *entry & 0xFF;
            auto node = field("MultiProtocol Label Switching Header",
                              fmt::format("Label: {}, Exp: {}, S: {}, TTL: {}", label, tc, bottom, ttl), at, kEntrySize);
            addField(node, "MPLS Label", fmt::format("{} ({})", label, hexText(label, 5)), at, 3);
            addField(node, "MPLS Experimental Bits", std::to_string(tc), at + 2, 1);
            addField(node, "MPLS Bottom Of Label Stack", std::to_string(bottom), at + 2, 1);
            addField(node, "MPLS TTL", std::to_string(ttl), at + 3, 1);
            nodes.push_back(std::move(node));
            if (!bottom) continue;
            if (walk(data).controlWord) {
                std::size_t cw = at + kEntrySize;
                auto word = *ByteReader(data).peekU32be(cw);
                auto control = field("PW Ethernet Control Word", fmt::format("Sequence Number: {}", word & 0xFFFF), cw, kControlWordSize);
                addField(control, "Sequence Number", std::to_string(word & 0xFFFF), cw + 2, 2);
                nodes.push_back(std::move(control));
            }
            return nodes;
        }
        auto note = field("MultiProtocol Label Switching Header", "[Truncated]", nodes.size() * kEntrySize, 0);
        addField(note, "Expert Info", "No bottom of stack entry within the captured bytes", nodes.size() * kEntrySize, 0);
        nodes.push_back(std::move(note));
        return nodes;
    }

    /// "mplsLabel", "mplsTTL", "mplsExp" of the top entry; "mplsDepth", the number of entries.
    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        if (key == "mplsDepth") return static_cast<std::uint32_t>(walk(data).size / kEntrySize);
        auto top = fieldU32(data, 0);
        if (!top) return {};
        if (key == "mplsLabel") return static_cast<std::uint32_t>(*top >> 12);
        if (key == "mplsExp") return static_cast<std::uint8_t>((*top >> 9) & 7);
        if (key == "mplsTTL") return static_cast<std::uint8_t>(*top & 0xFF);
        return {};
    }

private:
    struct Stack {
        std::size_t size = 0;  ///< the label entries' bytes
        bool bottomFound = false;
        std::optional<std::uint8_t> carried;  ///< the first nibble after the bottom entry
        bool controlWord = false;             ///< an Ethernet pseudowire's control word follows
    };

    static Stack walk(const Data& data) {
        Stack stack;
        ByteReader r(data);
        for (std::size_t i = 0; i < kMaxEntries; ++i) {
            auto entry = r.readU32be();
            if (!entry) break;
            stack.size += kEntrySize;
            if (*entry & kBottomOfStack) {
                stack.bottomFound = true;
                break;
            }
        }
        if (!stack.bottomFound) return stack;
        if (auto first = r.peekU8()) stack.carried = static_cast<std::uint8_t>(*first >> 4);
        stack.controlWord = stack.carried == 0 && r.canRead(kControlWordSize + kEthernetHeaderSize);
        return stack;
    }
};

const AnalyzerClassRegistration<MplsAnalyzer> kClass{"MplsAnalyzer"};

const QORPluginAnalyzerClass& MplsAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "MPLS";
    f.description = "MultiProtocol Label Switching label stack (RFC 3032)";
    f.analyzerClass = kClass;
    f.protocols = {
        etherTypeTarget("MPLS", 0x8847, MplsAnalyzer::kEntrySize),
        etherTypeTarget("MPLS", 0x8848, MplsAnalyzer::kEntrySize),
    };
    // The attribute bytes are the top entry.
    f.attributes = {
        attribute(kClass, "MPLS Label", "mplsLabel", AttributeValueType::uint32, 0, 4),
        attribute(kClass, "MPLS Experimental Bits", "mplsExp", AttributeValueType::uint8, 0, 4),
        attribute(kClass, "MPLS TTL", "mplsTTL", AttributeValueType::uint8, 0, 4),
    };
    f.columns = {column("MPLS Label", "mplsLabel", "MPLS Label is", "mplsLabel == $value", AttributeValueType::uint32)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
