// The DNS analyzers: "DNS" (UDP and TCP port 53), "MDNS", multicast DNS (UDP port 5353), and
// "LLMNR", link-local multicast name resolution (UDP port 5355).

#include <fmt/format.h>

#include "AnalyzerBase.hpp"
#include "AnalyzerCatalog.hpp"
#include "DnsMessage.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "SnapshotCut.hpp"

namespace qor::standard {
namespace {

/// A DNS message (RFC 1035, section 4; over TCP with the 2-byte length prefix of section 4.2.2),
/// read by `DnsMessage`: the part the DNS and multicast DNS (RFC 6762, the same message format)
/// analyzers share. The message ends the chain: it carries nothing, and its header size is the
/// whole message (the bytes the transport gave it, or the prefixed length over TCP).
///
/// Whether the bytes carry the TCP length prefix is told from the bytes: the prefix equals the
/// bytes that follow it (or more, for a message split over segments) and the message after it
/// reads cleanly, while the same bytes read as a bare message do not.
class DnsMessageAnalyzer : public AnalyzerBase {
public:
    static constexpr std::size_t kHeaderSize = 12;

    /// Never refuses: the transport chose DNS by its port; bytes that do not read as a message
    /// show what could be read.
    DnsMessageAnalyzer(const Data& data, const PacketRef& packet) : AnalyzerBase(data), cut_(cutBySnapshot(data, packet)) {
        setHeaderSize(DnsMessage::read(data, DnsMessage::Detail::layout).messageEnd);
    }

    [[nodiscard]] bool hasPayload() const override { return false; }

    /// The message's summary; a message cut short by the capture says so, and one cut inside its
    /// header still shows its ID ("Standard query 0x7b14[Packet size limited during capture]").
    [[nodiscard]] std::optional<std::string> protocolInfo(const Data& data) const override {
        auto message = DnsMessage::read(data, DnsMessage::Detail::summary);
        if (message.header) return noteCut(std::move(message.summaryText), cut_);
        if (!cut_) return std::nullopt;
        ByteReader r(data);
        auto id = r.peekU16be(0), flags = r.peekU16be(2);
        constexpr std::uint16_t kResponse = 0x8000, kOpcode = 0x7800;
        if (!id || !flags || (*flags & kOpcode) != 0) return noteCut(std::nullopt, true);
        return noteCut(fmt::format("Standard query{} {}", (*flags & kResponse) ? " response" : "", hexText(*id, 4)), true);
    }

    [[nodiscard, gnu::cold]] NodeList protocolNodes(const Data& data) const override {
        return {DnsMessage::read(data).detailTree()};
    }

    [[nodiscard]] Value value(std::string_view key, const Data& data) const override {
        // The header's keys need no question or record as text.
        const bool headerKey = key == "dnsId" || key == "dnsIsResponse" || key == "dnsRcode";
        auto message = DnsMessage::read(data, headerKey ? DnsMessage::Detail::layout : DnsMessage::Detail::text);
        if (!message.header) return {};
        const auto& h = *message.header;
        if (key == "dnsId") return h.id;
        if (key == "dnsIsResponse") return h.isResponse();
        if (key == "dnsRcode") return static_cast<std::uint16_t>(h.rcode());
        if (key == "dnsQueryName") {
            if (message.questions.empty()) return {};
            return message.questions.front().name;
        }
        if (key == "dnsQueryType") {
            if (message.questions.empty()) return {};
            return DnsMessage::typeName(message.questions.front().type);
        }
        if (key == "dnsAnswers") {
            std::string out;
            for (const auto& rr : message.answers) out += (out.empty() ? "" : ", ") + rr.summary();
            return out;
        }
        return {};
    }

private:
    bool cut_;  ///< the capture kept only part of the message
};

/// "DNS": unicast DNS on port 53.
class DnsAnalyzer final : public StandardAnalyzer<DnsAnalyzer, DnsMessageAnalyzer> {
public:
    using StandardAnalyzer::StandardAnalyzer;
    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"DNS">(); }
};

/// "MDNS": multicast DNS on port 5353, named apart from DNS as tshark names it ("mdns"), so
/// that a packet's protocols say which of the two it is. Its class derives from the DNS class,
/// so the DNS attributes (query name, answers, ...) answer for it too.
class MdnsAnalyzer final : public StandardAnalyzer<MdnsAnalyzer, DnsMessageAnalyzer> {
public:
    using StandardAnalyzer::StandardAnalyzer;
    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"MDNS">(); }
};

/// "LLMNR": link-local multicast name resolution (RFC 4795) on UDP port 5355, DNS messages with
/// a flag of their own (C, conflict, where DNS has AA), named apart as tshark names it
/// ("llmnr"). Its class derives from the DNS class like the multicast one. LLMNR over TCP, used
/// only for replies too long for UDP, is left to the content checks like any unclaimed port.
class LlmnrAnalyzer final : public StandardAnalyzer<LlmnrAnalyzer, DnsMessageAnalyzer> {
public:
    using StandardAnalyzer::StandardAnalyzer;
    [[nodiscard]] const QORPluginAnalyzerClass& analyzerClass() const override;
    [[nodiscard]] InternedString protocolNameInterned() const override { return fixedName<"LLMNR">(); }
};

const AnalyzerClassRegistration<DnsAnalyzer> kClass{"DnsAnalyzer"};
const AnalyzerClassRegistration<MdnsAnalyzer> kMulticastClass{"MdnsAnalyzer", &*kClass};
const AnalyzerClassRegistration<LlmnrAnalyzer> kLinkLocalClass{"LlmnrAnalyzer", &*kClass};

const QORPluginAnalyzerClass& DnsAnalyzer::analyzerClass() const { return *kClass; }
const QORPluginAnalyzerClass& MdnsAnalyzer::analyzerClass() const { return *kMulticastClass; }
const QORPluginAnalyzerClass& LlmnrAnalyzer::analyzerClass() const { return *kLinkLocalClass; }

/// Attributes of the variable-length message read the whole message: offset 0 and the largest
/// length (the packet's slice stops at the bytes there are).
constexpr std::uint32_t kWholeMessage = 0xFFFF;

const FamilyRegistration kFamily{[] {
    AnalyzerFamily f;
    f.title = "DNS";
    f.description = "Domain Name System over UDP and TCP";
    f.analyzerClass = kClass;
    f.protocols = {
        portsTarget("DNS", {53}, kQORSourceProtocols::tcp, DnsAnalyzer::kHeaderSize),
        portsTarget("DNS", {53}, kQORSourceProtocols::udp, DnsAnalyzer::kHeaderSize),
    };
    f.attributes = {
        attribute(kClass, "DNS Transaction ID", "dnsId", AttributeValueType::uint16, 0, kWholeMessage),
        attribute(kClass, "DNS Is Response", "dnsIsResponse", AttributeValueType::bool_, 0, kWholeMessage),
        attribute(kClass, "DNS Reply Code", "dnsRcode", AttributeValueType::uint16, 0, kWholeMessage),
        attribute(kClass, "DNS Query Name", "dnsQueryName", AttributeValueType::string, 0, kWholeMessage),
        attribute(kClass, "DNS Query Type", "dnsQueryType", AttributeValueType::string, 0, kWholeMessage),
        attribute(kClass, "DNS Answers", "dnsAnswers", AttributeValueType::string, 0, kWholeMessage),
    };
    f.columns = {
        containsColumn("DNS Query Name", "dnsQueryName", AttributeValueType::string),
        containsColumn("DNS Query Type", "dnsQueryType", AttributeValueType::string),
        containsColumn("DNS Answers", "dnsAnswers", AttributeValueType::string),
    };
    return f;
}};

/// Multicast DNS: its own family, so that its port and name come and go with it; the message
/// attributes and columns are the DNS family's, which its class inherits.
const FamilyRegistration kMulticastFamily{[] {
    AnalyzerFamily f;
    f.title = "MDNS";
    f.description = "Multicast DNS over UDP";
    f.analyzerClass = kMulticastClass;
    f.protocols = {portsTarget("MDNS", {5353}, kQORSourceProtocols::udp, DnsAnalyzer::kHeaderSize)};
    return f;
}};

/// Link-local multicast name resolution: its own family, as multicast DNS has.
const FamilyRegistration kLinkLocalFamily{[] {
    AnalyzerFamily f;
    f.title = "LLMNR";
    f.description = "Link-Local Multicast Name Resolution over UDP (RFC 4795)";
    f.analyzerClass = kLinkLocalClass;
    f.protocols = {portsTarget("LLMNR", {5355}, kQORSourceProtocols::udp, DnsAnalyzer::kHeaderSize)};
    return f;
}};

}  // namespace
}  // namespace qor::standard
