// The ARP and RARP analyzer ("ARP", ether type 0x0806; "RARP", ether type 0x8035).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "QORCommonTools/ByteReader.hpp"

namespace qor::standard {
namespace {

/// An ARP message (RFC 826; RARP opcodes from RFC 903):
///
///     0  hardware type (2)      2  protocol type (2)
///     4  hardware size (1)      5  protocol size (1)     6  opcode (2)
///     8  sender hardware address (hw size)   sender protocol address (proto size)
///        target hardware address (hw size)   target protocol address (proto size)
///
/// Addresses of Ethernet/IPv4 ARP (sizes 6 and 4, protocol 0x0800) print as MAC and dotted
/// quad; other sizes as hex. The message ends with its addresses; the bytes after it (Ethernet
/// padding) belong to no protocol, so the analyzer has no payload.
class ArpAnalyzer final : public StandardAnalyzer<ArpAnalyzer> {
public:
    static constexpr std::size_t kFixedSize = 8;
    /// Offsets of the Ethernet/IPv4 addresses, the attributes' bytes.
    static constexpr std::size_t kSenderMacOffset = 8, kSenderIPOffset = 14, kTargetMacOffset = 18,
                                 kTargetIPOffset = 24, kEthernetIPv4Size = 28;
    static constexpr std::uint16_t kProtocolIPv4 = 0x0800;
    static constexpr std::uint16_t kReverseRequest = 3, kReverseReply = 4;

    /// Never refuses; a message cut short shows what is there.
    ArpAnalyzer(const Data& data, const PacketRef&) : StandardAnalyzer(data) {
        ByteReader r(data);
        auto hs = r.load<std::uint8_t>(4, false), ps = r.load<std::uint8_t>(5, false);
        setHeaderSize(hs && ps ? kFixedSize + 2 * (std::size_t(*hs) + *ps) : kFixedSize);
        auto opcode = r.peekU16be(6);
        reverse_ = opcode && (*opcode == kReverseRequest || *opcode == kReverseReply);
    }

    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    /// "RARP" for the reverse opcodes (whatever ether type carried them), else "ARP".
    [[nodiscard]] InternedString protocolNameInterned() const override { return reverse_ ? fixedName<"RARP">() : fixedName<"ARP">(); }
    [[nodiscard]] bool hasPayload() const override { return false; }

    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto m = read(data);
        if (!m) return std::nullopt;
        bool targetMacZero = m->thaZero;
        bool gratuitous = m->spa == m->tpa;
        // Joined by appending (every listed ARP message builds one of these lines).
        switch (m->opcode) {
            case 1:
                if (m->spaZero && targetMacZero) return "Who has " + m->tpa + "? (ARP Probe)";
                if (gratuitous && targetMacZero) return "ARP Announcement for " + m->spa;
                if (gratuitous) return "Gratuitous ARP for " + m->spa + " (Request)";
                return "Who has " + m->tpa + "? Tell " + m->spa;
            case 2:
                if (gratuitous) return "Gratuitous ARP for " + m->spa + " (Reply)";
                return m->spa + " is at " + m->sha;
            case 3: return "Who is " + m->tha + "? Tell " + m->sha;
            case 4: return m->tha + " is at " + m->tpa;
            default: return fmt::format("Unknown ARP opcode {}", m->opcode);
        }
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        auto m = read(data);
        auto root = field(m && m->opcode >= 3 && m->opcode <= 4 ? "Reverse Address Resolution Protocol"
                                                                 : "Address Resolution Protocol",
                          "", 0, protocolSize());
        ByteReader r(data);
        if (auto hw = r.peekU16be(0)) addField(root, "Hardware type", nameWithCode(kHardwareTypes, *hw), 0, 2);
        if (auto pt = r.peekU16be(2)) addField(root, "Protocol type", etherTypeText(*pt), 2, 2);
        if (auto hs = r.peekU8(4)) addField(root, "Hardware size", std::to_string(*hs), 4, 1);
        if (auto ps = r.peekU8(5)) addField(root, "Protocol size", std::to_string(*ps), 5, 1);
        if (auto op = r.peekU16be(6)) addField(root, "Opcode", nameWithCode(kOpcodes, *op), 6, 2);
        if (!m) {
            root->setNodeValue("[Truncated]");
            return {root};
        }
        root->setNodeValue(nameWithCode(kOpcodes, m->opcode));
        std::size_t at = kFixedSize;
        addField(root, "Sender MAC address", m->sha, at, m->hs);
        addField(root, "Sender IP address", m->spa, at += m->hs, m->ps);
        addField(root, "Target MAC address", m->tha, at += m->ps, m->hs);
        addField(root, "Target IP address", m->tpa, at += m->hs, m->ps);
        return {root};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        auto mac = [&](std::size_t offset) -> Value {
            if (auto b = fieldBytes(data, offset, 6)) return macText(*b);
            return {};
        };
        auto ip = [&](std::size_t offset) -> Value {
            if (auto b = fieldBytes(data, offset, 4)) return *ipv4Text(*b);
            return {};
        };
        if (key == "arpSenderMAC") return mac(kSenderMacOffset);
        if (key == "arpSenderIP") return ip(kSenderIPOffset);
        if (key == "arpTargetMAC") return mac(kTargetMacOffset);
        if (key == "arpTargetIP") return ip(kTargetIPOffset);
        if (key == "arpOpcode") {
            if (auto op = fieldU16(data, 6)) return *op;
        }
        return {};
    }

private:
    static constexpr CodeName kOpcodes[] = {
        {1, "request"}, {2, "reply"}, {3, "reverse request"}, {4, "reverse reply"}, {8, "inverse request"},
        {9, "inverse reply"},
    };
    static constexpr CodeName kHardwareTypes[] = {
        {1, "Ethernet"}, {6, "IEEE 802"}, {15, "Frame Relay"}, {24, "IEEE 1394"}, {32, "InfiniBand"},
    };

    struct Message {
        std::uint16_t opcode = 0;
        std::size_t hs = 0, ps = 0;
        std::string sha, spa, tha, tpa;
        bool spaZero = false, thaZero = false;
    };

    static bool allZero(std::span<const std::byte> b) {
        for (auto x : b)
            if (x != std::byte{0}) return false;
        return true;
    }

    /// The whole message, or nothing when it is cut short.
    static std::optional<Message> read(const Data& data) {
        ByteReader r(data);
        if (!r.skip(2)) return std::nullopt;
        auto pt = r.readU16be();
        auto hs = r.readU8(), ps = r.readU8();
        auto op = r.readU16be();
        if (!pt || !hs || !ps || !op) return std::nullopt;
        auto sha = r.readBytes(*hs), spa = r.readBytes(*ps), tha = r.readBytes(*hs), tpa = r.readBytes(*ps);
        if (!sha || !spa || !tha || !tpa) return std::nullopt;
        Message m;
        m.opcode = *op;
        m.hs = *hs;
        m.ps = *ps;
        auto protocolAddress = [&](std::span<const std::byte> b) {
            if (*pt == kProtocolIPv4 && b.size() == 4) return *ipv4Text(b);
            return hexBytes(b);
        };
        m.sha = macText(*sha);
        m.tha = macText(*tha);
        m.spa = protocolAddress(*spa);
        m.tpa = protocolAddress(*tpa);
        m.spaZero = allZero(*spa);
        m.thaZero = allZero(*tha);
        return m;
    }

    bool reverse_ = false;
};

const AnalyzerClassRegistration<ArpAnalyzer> kClass{"ArpAnalyzer"};

const QORPluginAnalyzerClass& ArpAnalyzer::analyzerClass() const { return *kClass; }

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "ARP";
    f.description = "Address Resolution Protocol and Reverse ARP";
    f.analyzerClass = kClass;
    f.protocols = {
        etherTypeTarget("ARP", 0x0806, ArpAnalyzer::kEthernetIPv4Size),
        etherTypeTarget("RARP", 0x8035, ArpAnalyzer::kEthernetIPv4Size),
    };
    f.attributes = {
        attribute(kClass, "ARP Opcode", "arpOpcode", AttributeValueType::uint16, 6, 2),
        attribute(kClass, "ARP Sender MAC", "arpSenderMAC", AttributeValueType::string, 8, 6),
        attribute(kClass, "ARP Sender IP", "arpSenderIP", AttributeValueType::string, 14, 4),
        attribute(kClass, "ARP Target MAC", "arpTargetMAC", AttributeValueType::string, 18, 6),
        attribute(kClass, "ARP Target IP", "arpTargetIP", AttributeValueType::string, 24, 4),
    };
    f.columns = {
        containsColumn("ARP Sender IP", "arpSenderIP", AttributeValueType::string),
        containsColumn("ARP Target IP", "arpTargetIP", AttributeValueType::string),
        containsColumn("ARP Sender MAC", "arpSenderMAC", AttributeValueType::string),
    };
    return f;
}};

}  // namespace
}  // namespace qor::standard
