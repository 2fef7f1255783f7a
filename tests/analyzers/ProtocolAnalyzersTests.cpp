// Analyzers of each layer run on bytes built to reach the edges real captures lack: Ethernet,
// VLAN, Linux cooked capture, loopback, raw IP, ARP, IPv4, IPv6, ICMP, ICMPv6, TCP, UDP and DNS
// (messages, name compression, TCP framing, hostile names).

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

Data ethernet(std::uint16_t type, std::size_t payload) { return ethernetFrame(type, Bytes().zeros(payload).data()); }

TEST(EthernetAnalyzer, ChoosesTheCarriedProtocolByEtherTypeOrLength) {
    auto frame = ethernet(0x0800, 46);
    // The packet record asks a fresh analyzer made from the attribute's six bytes.
    auto slice = bytes({0x8e, 0x36, 0x06, 0x44, 0xac, 0xaf});
    expectRows("EthernetAnalyzer",
               {{"IPv4: Ethernet II leaves the payload's end to the carried protocol", frame, 14, "IP", kNoPayload,
                 "Ethernet II, Src: 00:66:77:88:99:aa, Dst: 00:11:22:33:44:55",
                 {{"etherSrc", frame.slice(6, 6), "00:66:77:88:99:aa"}, {"etherDst", frame.slice(0, 6), "00:11:22:33:44:55"}}},
                {"802.1ad", ethernet(0x88A8, 40), -1, "VLAN"},
                {"unknown type", ethernet(0x1234, 40), -1, ""},
                {"between the largest length and the first ether type", ethernet(1536 - 1, 40), -1, ""},
                {"802.3: 38 bytes of LLC, 8 of padding", ethernet(38, 46), -1, "LLC", 38},
                {"802.3 length past the captured bytes is clamped", ethernet(1500, 10), -1, nullptr, 10},
                {"cut short", ethernet(0x0800, 0).slice(0, 10), 10, ""},
                {"empty", Data(), -1, ""},
                {"an address slice alone", slice, 6, "", -1, nullptr, {{"etherSrc", slice, "8e:36:06:44:ac:af"}}}});

    // Detail nodes stop where the frame does.
    auto cut = frame.slice(0, 10);
    auto nodes = AnalyzerHarness::shared().make("EthernetAnalyzer", cut)->protocolNodes(cut);
    ASSERT_EQ(nodes.size(), 1u);
    auto root = std::dynamic_pointer_cast<QORNode>(nodes[0]);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->getChild("Destination"));
    EXPECT_FALSE(root->getChild("Source"));
    EXPECT_TRUE(root->getChild("Truncated"));
}

TEST(VlanAnalyzer, ReadsPriorityDropEligibleAndIdAndTheInnerType) {
    auto tag = bytes({0xB0, 0x64, 0x08, 0x00, 0x45});  // PCP 5, DEI 1, VID 100, IPv4
    expectRows("VlanAnalyzer", {{"IPv4", tag, 4, "IP", -1, "PRI: 5  DEI: 1  ID: 100",
                                 {{"vlanId", tag.slice(0, 2), "100"}, {"vlanPriority", tag.slice(0, 2), "5"}, {"vlanDEI", tag.slice(0, 2), "1"}}},
                                {"stacked", bytes({0x00, 0x0A, 0x81, 0x00}), -1, "VLAN"},
                                {"cut short", bytes({0x00, 0x0A, 0x81}), 3, ""}});
}

Data sllV1(std::uint16_t packetType, std::uint16_t protocol) {
    Bytes b(true);
    b.u16(packetType).u16(1).u16(6).raw({0x00, 0x22, 0x6b, 0x97, 0x0e, 0xa2, 0x00, 0x00}).u16(protocol).zeros(28);
    return b.data();
}

Data sllV2(std::uint16_t protocol, std::uint8_t packetType) {
    Bytes b(true);
    b.u16(protocol).u16(0).u32(3).u16(1).u8(packetType).u8(6).raw({0x8e, 0x36, 0x06, 0x44, 0xac, 0xaf, 0, 0}).zeros(28);
    return b.data();
}

// The layers both versions carry are compared with tshark on LinuxCookedCapture.pcap and
// linux_dlt_sll2.pcap.
TEST(LinuxCookedAnalyzer, TellsVersionOneFromVersionTwo) {
    auto v1 = sllV1(4, 0x0806);
    expectRows("LinuxCookedAnalyzer",
               {{"v1", v1, 16, "ARP", -1, "Linux cooked capture v1, Sent by us, Src: 00:22:6b:97:0e:a2",
                 {{"sllSrc", v1.slice(6, 8), "00:22:6b:97:0e:a2"}}},
                {"v1 cut inside the header", sllV1(0, 0x0800).slice(0, 15), 15, "", -1, ""}});
    // The packet's link type decides when the first field is ambiguous.
    auto odd = sllV2(0x0004, 0);  // protocol 4 (LLC) reads like packet type 4
    auto withLink = AnalyzerHarness::shared().make("LinuxCookedAnalyzer", odd, packetWith(276, odd));
    EXPECT_EQ(withLink->protocolName(), "SLL2");
    EXPECT_EQ(withLink->nextProtocol(), "LLC");
    EXPECT_EQ(AnalyzerHarness::shared().make("LinuxCookedAnalyzer", odd)->protocolName(), "SLL");
}

// Host-order AF_INET and Darwin's AF_INET6 over NULL, and raw IPv4, are compared with tshark on
// many_interfaces-1.pcapng, illustrated-tls12-dsb.pcapng and basic-auth-with-colon.pcap.
TEST(LoopbackAndRawIPAnalyzers, ReadTheFamilyOrVersionOfWhatTheyCarry) {
    expectRows("LoopbackAnalyzer", {{"AF_INET6 (FreeBSD)", bytes({28, 0, 0, 0}), 4, "IPv6"},
                                    {"AF_INET6 (OpenBSD, big-endian)", bytes({0, 0, 0, 24}), 4, "IPv6"},
                                    {"AF_INET big-endian", bytes({0, 0, 0, 2}), 4, "IP"},
                                    {"unknown", bytes({99, 0, 0, 0}), 4, ""},
                                    {"cut short", bytes({2, 0}), -1, ""}});
    auto loop = bytes({0, 0, 0, 2, 0x45});
    EXPECT_EQ(AnalyzerHarness::shared().make("LoopbackAnalyzer", loop, packetWith(108, loop))->protocolName(), "LOOP");
    EXPECT_EQ(AnalyzerHarness::shared().make("LoopbackAnalyzer", loop, packetWith(0, loop))->protocolName(), "NULL");

    expectRows("RawIPAnalyzer", {{"IPv6", bytes({0x60, 0}), 0, "IPv6"},
                                 {"version 1", bytes({0x10, 0}), -1, ""},
                                 {"empty", Data(), -1, ""}});
}

/// An IPv4 header with a correct checksum, options appended, then `payload` zero bytes.
Data ipv4(std::uint8_t protocol, std::size_t payload, std::uint16_t fragment = 0x4000,
          std::initializer_list<int> options = {}, std::optional<std::uint16_t> totalLength = {}) {
    std::size_t headerLength = 20 + options.size();
    Bytes b(true);
    b.u8(static_cast<std::uint8_t>(0x40 | (headerLength / 4))).u8(0)
        .u16(totalLength.value_or(static_cast<std::uint16_t>(headerLength + payload)))
        .u16(0x1c46).u16(fragment).u8(64).u8(protocol).u16(0)
        .raw({192, 168, 0, 1}).raw({10, 0, 0, 2}).raw(options).zeros(payload);
    auto v = b.vector();
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < headerLength; i += 2) sum += (std::uint32_t(v[i]) << 8) | std::uint32_t(v[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    v[10] = std::byte(~sum >> 8 & 0xFF);
    v[11] = std::byte(~sum & 0xFF);
    return Data(std::move(v));
}

std::string childValue(const NodeList& nodes, std::string_view name) {
    auto root = std::dynamic_pointer_cast<QORNode>(nodes.at(0));
    auto child = root ? root->getChild(name) : nullptr;
    return child ? child->nodeValue() : "<none>";
}

// Addresses, TTL and the common carried protocols are compared with tshark on real captures.
TEST(IPv4Analyzer, HeaderLengthsTotalLengthsAndFragmentsDecideWhatIsCarried) {
    expectRows("IPv4Analyzer",
               {{"unknown protocol", ipv4(99, 8), -1, ""},
                {"Router Alert option", ipv4(17, 8, 0, {0x94, 0x04, 0x00, 0x00}), 24, nullptr, 8},
                {"an option running past the header ends the walk", ipv4(17, 8, 0, {0x07, 0x28, 0x00, 0x00}), -1, "UDP", -1, nullptr, {}, true},
                {"cut inside the header", ipv4(6, 20).slice(0, 12), 12, ""},
                {"IHL past the captured bytes", ipv4(6, 0, 0, {1, 1, 1, 1, 1, 1, 1, 1}).slice(0, 24), 24, ""},
                {"total length below the header length", ipv4(6, 20, 0x4000, {}, 10), -1, "", 0},
                {"total length past the capture: the captured payload", ipv4(6, 100, 0x4000, {}, 1500), -1, "TCP", 100},
                {"segmentation offload's total length 0: the captured bytes", ipv4(6, 60, 0x4000, {}, 0), -1, nullptr, 60},
                {"a later fragment (offset 1480) carries nothing", ipv4(17, 40, 185), -1, "", -1,
                 "Fragmented IP protocol (proto=UDP 17, off=1480, ID=1c46)"},
                {"the first fragment", ipv4(17, 40, 0x2000), -1, "UDP"}});
    auto options = ipv4(17, 8, 0, {0x94, 0x04, 0x00, 0x00});
    const auto nodes = AnalyzerHarness::shared().make("IPv4Analyzer", options)->protocolNodes(options);
    EXPECT_NE(childValue(nodes, "Options"), "<none>");
    EXPECT_NE(childValue(nodes, "Header Checksum").find("[correct]"), std::string::npos);
    // Bytes that cannot be IPv4: version 5, or an IHL of 4.
    auto bytes = ipv4(6, 0).toVector();
    bytes[0] = std::byte{0x55};
    EXPECT_FALSE(AnalyzerHarness::shared().make("IPv4Analyzer", Data(bytes)));
    bytes[0] = std::byte{0x44};
    EXPECT_FALSE(AnalyzerHarness::shared().make("IPv4Analyzer", Data(bytes)));
}

/// The compression rules real captures rarely meet: one zero group stays, the longest run of
/// zeros goes (the first of equal runs), IPv4-mapped addresses end in a dotted quad.
TEST(IPv6Analyzer, PrintsAddressesInTheirRecommendedForm) {
    struct Row {
        std::initializer_list<int> address;
        const char* text;
    };
    for (const auto& row : {
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "::"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
             Row{{0x20, 0x01, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:0:0:1::1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, "2001:db8::1:0:0:1"},
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}, "::ffff:192.0.2.1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "2001:db8:abcd::"},
         }) {
        EXPECT_EQ(valueText(AnalyzerHarness::shared().make("IPv6Analyzer", ipv6Packet(59, Data()))->value("ip6SrcAddr", bytes(row.address))), row.text);
    }
}

TEST(IPv6Analyzer, WalksExtensionHeadersInsideTheHeader) {
    Bytes ext(true);
    ext.raw({44, 0, 1, 4, 0, 0}).zeros(2);     // hop-by-hop, 8 bytes, PadN
    ext.raw({17, 0, 0, 1, 0, 0, 0, 7});        // fragment, offset 0, more fragments
    ext.zeros(12);                             // 12 bytes of UDP
    Bytes later(true);
    later.raw({17, 0, 0x05, 0xC8, 0, 0, 0, 7}).zeros(12);  // fragment at offset 185
    auto cut = ipv6Packet(60, bytes({6, 4, 0, 0}));
    Bytes many(true);
    for (int i = 0; i < 40; ++i) many.raw({60, 0, 1, 4, 0, 0, 0, 0});
    many.raw({6, 0, 1, 4, 0, 0, 0, 0});
    expectRows("IPv6Analyzer", {{"hop-by-hop and first fragment", ipv6Packet(0, ext.data()), 56, "UDP", 12},
                                {"a later fragment", ipv6Packet(44, later.data()), -1, ""},
                                {"an extension header past the bytes: the header is what is there", cut,
                                 static_cast<long>(cut.size()), ""},
                                {"more extension headers than the walk allows", ipv6Packet(60, many.data()), -1, ""}});
    EXPECT_LE(AnalyzerHarness::shared().make("IPv6Analyzer", ipv6Packet(60, many.data()))->protocolSize(), 40 + 8 * 16);
    EXPECT_FALSE(AnalyzerHarness::shared().make("IPv6Analyzer", ipv4(6, 20)));
}

Data arp(std::uint16_t opcode, std::initializer_list<int> sha, std::initializer_list<int> spa,
         std::initializer_list<int> tha, std::initializer_list<int> tpa) {
    Bytes b(true);
    b.u16(1).u16(0x0800).u8(6).u8(4).u16(opcode).raw(sha).raw(spa).raw(tha).raw(tpa).zeros(18);
    return b.data();
}

TEST(ArpAnalyzer, SummarisesRequestsRepliesAndAnnouncements) {
    std::initializer_list<int> mac{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}, zero{0, 0, 0, 0, 0, 0};
    // Requests and RARP are compared with tshark on linux_dlt_sll2.pcap.
    auto request = arp(1, mac, {10, 0, 0, 2}, zero, {10, 0, 0, 1});
    expectRows("ArpAnalyzer",
               {{"reply", arp(2, mac, {10, 0, 0, 1}, mac, {10, 0, 0, 2}), -1, nullptr, -1, "10.0.0.1 is at aa:bb:cc:dd:ee:ff"},
                {"announcement", arp(1, mac, {10, 0, 0, 9}, zero, {10, 0, 0, 9}), -1, nullptr, -1, "ARP Announcement for 10.0.0.9"},
                {"probe", arp(1, mac, {0, 0, 0, 0}, zero, {10, 0, 0, 9}), -1, nullptr, -1, "Who has 10.0.0.9? (ARP Probe)"},
                {"gratuitous", arp(1, mac, {10, 0, 0, 9}, mac, {10, 0, 0, 9}), -1, nullptr, -1,
                 "Gratuitous ARP for 10.0.0.9 (Request)"},
                {"cut short", request.slice(0, 20), 20, nullptr, -1, "", {}, true}});
}

// Echo summaries with the packet's time to live or hop limit are compared with tshark on
// linux_dlt_sll2.pcap, and the datagrams errors quote by the content probe tests.
TEST(IcmpAnalyzer, SummarisesEchoWithoutItsPacket) {
    auto echo = Bytes(true).u8(8).u8(0).u16(0).u16(0x0008).u16(1).zeros(16).data();
    expectRows("IcmpAnalyzer", {{"without its packet, the summary has no time to live", echo, 8, nullptr, -1,
                                 "Echo (ping) request  id=0x0008, seq=1/256"},
                                {"cut short", bytes({8}), 1}});
}

TEST(IcmpV6Analyzer, SummarisesNeighborDiscovery) {
    Bytes ns(true), na(true), rs(true);
    ns.u8(135).u8(0).u16(0).u32(0).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    ns.u8(1).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    na.u8(136).u8(0).u16(0).u32(0x60000000).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    na.u8(2).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    rs.u8(133).u8(0).u16(0).u32(0).u8(1).u8(0).zeros(6);  // an option of length 0 ends the option walk
    expectRows("IcmpV6Analyzer",
               {{"NS", ns.data(), -1, nullptr, -1, "Neighbor Solicitation for fe80::1 from 00:11:22:33:44:55"},
                {"NA", na.data(), -1, nullptr, -1, "Neighbor Advertisement fe80::1 (sol, ovr) is at 00:11:22:33:44:55"},
                {"RS", rs.data(), -1, nullptr, -1, "Router Solicitation", {}, true},
                {"port unreachable", bytes({1, 4, 0, 0}), -1, nullptr, -1, "Destination Unreachable (Port unreachable)"}});
}

Data tcp(std::uint16_t sp, std::uint16_t dp, std::uint16_t flags, std::initializer_list<int> options, std::size_t payload,
         std::uint32_t seq = 0, std::uint32_t ack = 0) {
    std::size_t headerLength = 20 + options.size();
    Bytes b(true);
    b.u16(sp).u16(dp).u32(seq).u32(ack).u16(static_cast<std::uint16_t>((headerLength / 4) << 12 | flags)).u16(64240).u16(0).u16(0);
    b.raw(options).zeros(payload);
    return b.data();
}

Data udp(std::uint16_t sp, std::uint16_t dp, std::size_t payload, std::optional<std::uint16_t> length = {}) {
    Bytes b(true);
    b.u16(sp).u16(dp).u16(length.value_or(static_cast<std::uint16_t>(8 + payload))).u16(0).zeros(payload);
    return b.data();
}

TEST(TcpAnalyzer, SummarisesSegmentsWithTheirOptionsInWireOrder) {
    auto syn = tcp(52814, 80, 0x002, {2, 4, 0x05, 0xb4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7}, 0);
    auto data = tcp(80, 52814, 0x018, {}, 5, 1000, 2000);
    expectRows("TcpAnalyzer",
               {{"SYN without payload", syn, 40, "", 0,
                 "52814 → 80 [SYN] Seq=0 Win=64240 Len=0 MSS=1460 SACK_PERM TSval=1 TSecr=0 WS=128",
                 {{"srcPort", syn.slice(0, 2), "52814"}, {"dstPort", syn.slice(2, 2), "80"}, {"tcpFlags", syn.slice(12, 2), "SYN"}}},
                {"data", data, -1, nullptr, 5, "80 → 52814 [PSH, ACK] Seq=1000 Ack=2000 Win=64240 Len=5", {{"tcpFlags", data, "PSH, ACK"}}},
                {"no flags", tcp(1, 2, 0, {}, 0), -1, nullptr, -1, "1 → 2 [<None>] Seq=0 Win=64240 Len=0"},
                {"an option with a bad length ends the options, not the analyzer", tcp(1, 2, 0x002, {2, 9, 0, 0}, 0), -1,
                 nullptr, -1, "1 → 2 [SYN] Seq=0 Win=64240 Len=0"},
                {"cut inside the fixed header", tcp(1, 53, 0, {}, 0).slice(0, 10), 10, nullptr, -1, ""}});
}

TEST(TcpAnalyzer, RefusesADataOffsetBelowFiveAndStopsAtOneThatLies) {
    auto bad = tcp(1, 2, 0, {}, 10).toVector();
    bad[12] = std::byte{0x40};
    EXPECT_FALSE(AnalyzerHarness::shared().make("TcpAnalyzer", Data(bad)));
    bad[12] = std::byte{0xF0};  // 60-byte header in 30 bytes
    expectRows("TcpAnalyzer", {{"data offset past the bytes", Data(bad), 30, "", kNoPayload, nullptr, {}, true}});
}

TEST(UdpAnalyzer, ReadsLengthAndPayload) {
    auto datagram = udp(52814, 4000, 33);
    expectRows("UdpAnalyzer", {{"datagram", datagram, 8, nullptr, 33, "52814 → 4000 Len=33", {{"udpLength", datagram.slice(4, 2), "41"}}},
                               {"a length below 8 lies", udp(53, 53, 10, 4), -1, "", kNoPayload},
                               {"a length past the capture counts the captured bytes", udp(53, 40000, 10, 500), -1, nullptr, 10},
                               {"no payload", udp(53, 40000, 0), -1, ""},
                               {"cut short", bytes({0, 53, 0}), 3}});
}

TEST(TransportAnalyzers, ChooseTheCarriedProtocolByPortLowerPortFirst) {
    // UDP to and from port 53 (DNS) and 5353 (MDNS) are analysed on real and built captures by the
    // tshark agreement tables and the content probes.
    expectRows("UdpAnalyzer", {{"no port known", udp(40001, 40002, 12), -1, ""}});
    expectRows("TcpAnalyzer", {{"to 53", tcp(40000, 53, 0x018, {}, 14), -1, "DNS"},
                               {"5353 is UDP only", tcp(40000, 5353, 0x018, {}, 14), -1, ""}});
    auto ports = QORPortsController::sharedPortsController();
    auto udpCode = rawValue(kQORSourceProtocols::udp);
    ports->addAnalyzerProtocol(std::string("LOWTEST"), 41000, udpCode);
    ports->addAnalyzerProtocol(std::string("HIGHTEST"), 42000, udpCode);
    expectRows("UdpAnalyzer", {{"lower port is the destination", udp(42000, 41000, 4), -1, "LOWTEST"},
                               {"lower port is the source", udp(41000, 42000, 4), -1, "LOWTEST"},
                               {"only one port known", udp(42000, 43000, 4), -1, "HIGHTEST"}});
    ports->removeAnalyzerProtocolForPort(41000, udpCode);
    ports->removeAnalyzerProtocolForPort(42000, udpCode);
}

constexpr std::size_t kDnsHeaderSize = 12;

/// "example.com" as labels.
void exampleCom(Bytes& b) { b.u8(7).raw("example").u8(3).raw("com").u8(0); }

Data response(std::uint16_t id) {
    Bytes b(true);
    b.u16(id).u16(0x8180).u16(1).u16(3).u16(0).u16(0);
    exampleCom(b);
    b.u16(1).u16(1);
    b.u16(0xC00C).u16(5).u16(1).u32(300).u16(6).u8(3).raw("www").u16(0xC00C);              // CNAME www.example.com
    b.u16(0xC00C).u16(1).u16(1).u32(300).u16(4).raw({93, 184, 216, 34});                  // A
    b.u16(0xC00C).u16(28).u16(1).u32(300).u16(16).raw({0x26, 0x06, 0x28, 0, 0x02, 0x20, 0, 1, 0x2, 0x48, 0x18, 0x93,
                                                        0x25, 0xc8, 0x19, 0x46});        // AAAA
    return b.data();
}

// Summary lines of queries and of responses with CNAME, A and PTR records are compared with
// tshark on udp_dns_request_response.pcap and many_interfaces-1.pcapng.
TEST(DnsAnalyzer, AnswersListTheRecordsOfAResponse) {
    auto r = response(0x1234);
    expectRows("DnsAnalyzer", {{"response", r, -1, nullptr, -1, nullptr,
                                {{"dnsAnswers", r, "CNAME www.example.com, A 93.184.216.34, AAAA 2606:2800:220:1:248:1893:25c8:1946"}}, true}});
}

TEST(DnsAnalyzer, CompressionLoopsPointerChainsLyingCountsAndCutMessagesEnd) {
    Bytes self(true), pair(true), chain(true), counts(true);
    // A question whose name points at itself; two names pointing at each other.
    self.u16(1).u16(0x0100).u16(1).u16(0).u16(0).u16(0).u16(0xC00C).u16(1).u16(1);
    pair.u16(2).u16(0x8180).u16(1).u16(1).u16(0).u16(0).u16(0xC00E).u16(0xC00C).u16(1).u16(1);
    // A long chain of pointers, each to the next, ending in the root: more jumps than allowed.
    chain.u16(3).u16(0x0100).u16(1).u16(0).u16(0).u16(0);
    for (int i = 0; i < 200; ++i) chain.u16(static_cast<std::uint16_t>(0xC000 | (12 + 2 * (i + 1))));
    chain.u8(0).u16(1).u16(1);
    // Counts that promise more records than there are bytes.
    counts.u16(4).u16(0x8180).u16(0xFFFF).u16(0xFFFF).u16(0xFFFF).u16(0xFFFF);
    auto r = response(0x1234);
    expectRows("DnsAnalyzer", {{"self pointer", self.data(), -1, nullptr, -1, "Standard query 0x0001", {{"dnsQueryName", self.data(), "<none>"}}, true},
                               {"pointer pair", pair.data(), -1, nullptr, -1, "Standard query response 0x0002"},
                               {"pointer chain", chain.data(), -1, nullptr, -1, "Standard query 0x0003"},
                               {"lying counts", counts.data(), -1, nullptr, -1, "Standard query response 0x0004"},
                               {"cut after the question", r.slice(0, 40), 40, nullptr, -1,
                                "Standard query response 0x1234 A example.com"},
                               {"cut inside the header", r.slice(0, 5), -1, nullptr, -1, "", {}, true}});
}

/// A response whose sections hold records of every kind the summary line treats apart: data
/// shown (MX, SRV, AAAA, NS with a label byte that is not printable), data not shown (TXT, OPT), and
/// data that does not read as its type (an A record of five bytes, shown as hex). `ends` gets
/// where the question and each record end, with the summary part each adds.
Data mixedResponse(std::vector<std::pair<std::size_t, std::string>>& ends) {
    Bytes b(true);
    b.u16(0xbeef).u16(0x8180).u16(1).u16(4).u16(1).u16(2);
    auto ended = [&](std::string part) { ends.emplace_back(b.size(), std::move(part)); };
    exampleCom(b);
    b.u16(1).u16(1);
    ended(" A example.com");
    b.u16(0xC00C).u16(15).u16(1).u32(60).u16(9).u16(10).u8(4).raw("mail").u16(0xC00C);
    ended(" MX 10 mail.example.com");
    b.u16(0xC00C).u16(33).u16(1).u32(60).u16(12).u16(0).u16(5).u16(5060).u8(3).raw("sip").u16(0xC00C);
    ended(" SRV 0 5 5060 sip.example.com");
    b.u16(0xC00C).u16(28).u16(1).u32(60).u16(16).raw({0x26, 0x06, 0x28, 0, 0x02, 0x20, 0, 1, 0x2, 0x48, 0x18, 0x93, 0x25, 0xc8, 0x19, 0x46});
    ended(" AAAA 2606:2800:220:1:248:1893:25c8:1946");
    b.u16(0xC00C).u16(1).u16(1).u32(60).u16(5).raw({1, 2, 3, 4, 5});
    ended(" A 0102030405");
    b.u16(0xC00C).u16(2).u16(1).u32(60).u16(6).u8(3).raw({'a', 1, 'b'}).u16(0xC00C);
    ended(" NS a\\001b.example.com");
    b.u16(0xC00C).u16(16).u16(1).u32(60).u16(4).u8(3).raw("v=1");
    ended(" TXT");
    b.u8(0).u16(41).u16(512).u32(0).u16(0);
    ended(" OPT");
    return b.data();
}

TEST(DnsAnalyzer, SummaryListsEveryQuestionAndRecordHeldWholeWhereverTheMessageIsCut) {
    std::vector<std::pair<std::size_t, std::string>> ends;
    const Data message = mixedResponse(ends);
    ASSERT_EQ(ends.back().first, message.size());
    std::vector<std::string> infos;
    std::vector<AnalyzerRow> rows;
    infos.reserve(2 * message.size() + 2);
    for (std::size_t cut = 0; cut <= message.size(); ++cut) {
        std::string info = cut < kDnsHeaderSize ? "" : "Standard query response 0xbeef";
        for (const auto& [end, part] : ends)
            if (end <= cut) info += part;
        infos.push_back(info);
        rows.push_back({"bare", message.slice(0, cut), -1, nullptr, -1, infos.back().c_str()});
        // Over TCP, the first segment of a message whose prefix promises all of it, or the
        // whole message after its prefix.
        if (cut >= ends.front().first) {
            Bytes framed(true);
            framed.u16(static_cast<std::uint16_t>(message.size())).raw(message.slice(0, cut));
            infos.push_back(info);
            const long size = cut == message.size() ? static_cast<long>(cut + 2) : -1;
            rows.push_back({"framed", framed.data(), size, nullptr, -1, infos.back().c_str()});
        }
    }
    expectRows("DnsAnalyzer", rows);
}

TEST(DnsAnalyzer, SummaryStopsAtTheRecordLimit) {
    // One question and 600 answers: the reading keeps 512 questions and records in all.
    Bytes b(true);
    b.u16(9).u16(0x8180).u16(1).u16(600).u16(0).u16(0);
    exampleCom(b);
    b.u16(1).u16(1);
    for (int i = 0; i < 600; ++i) b.u16(0xC00C).u16(1).u16(1).u32(60).u16(4).raw({10, 0, 0, 1});
    auto info = AnalyzerHarness::shared().make("DnsAnalyzer", b.data())->protocolInfo(b.data());
    ASSERT_TRUE(info);
    std::size_t answers = 0;
    for (auto at = info->find(" A 10.0.0.1"); at != std::string::npos; at = info->find(" A 10.0.0.1", at + 1)) ++answers;
    EXPECT_EQ(answers, 511u);
    EXPECT_TRUE(info->starts_with("Standard query response 0x0009 A example.com A 10.0.0.1"));
}

}  // namespace
}  // namespace qor::test
