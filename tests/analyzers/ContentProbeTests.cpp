// Captures built byte by byte: protocols found by their content on ports no analyzer claims,
// MPLS label stacks and pseudowires, overlay and GTP tunnels, the datagrams ICMP errors quote, and messages
// cut by the snapshot length. Each capture is read by the library's reader and analysed through
// the loaded plug-in. The layers expected of the pseudowire, tunnel and LLMNR frames are those
// tshark 4.0.17 gives the same frames (`tshark -n -T fields -e frame.protocols`).

#include <gtest/gtest.h>

#include <tuple>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

constexpr std::uint8_t kICMP = 1, kTCP = 6, kUDP = 17, kICMPv6 = 58;
constexpr std::uint16_t kIPv4 = 0x0800, kIPv6 = 0x86DD, kMPLS = 0x8847;

Data text(std::string_view s) { return Bytes().raw(s).data(); }

/// One Ethernet frame per capture, analysed.
std::shared_ptr<QORPacket> analysed(const Data& frame, std::int64_t originalLength = -1) { return analysedFrame(1, frame, originalLength); }
std::string historyOf(const Data& frame, std::int64_t originalLength = -1) { return frameHistory(1, frame, originalLength); }

Data tcpFrame(std::uint16_t port, const Data& payload) {
    return ethernetFrame(kIPv4, ipv4Packet(kTCP, tcpSegment(40000, port, payload)));
}
Data udpFrame(std::uint16_t port, const Data& payload) {
    return ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(40000, port, payload)));
}

struct ContentCase {
    const char* name;
    Data frame;
    const char* history;
};

// A request sent to a port that names another protocol (get-to-ssh-server.pcap: an HTTP request
// to port 22, which the port makes SSH, as tshark shows it) and TLS on 8443
// (illustrated-tls12-dsb.pcapng) are compared with tshark by the content agreement table. The
// cases below give the layers tshark 4.0.17 gives the same payloads, each in a connection of its
// own, except SMTP away from ports 25 and 587, which tshark never looks for, and the TLS record
// sent to the HTTP port, which it shows as TCP alone.
TEST(ContentProbes, PayloadsAreRecognisedByContentWhereNoPortDecides) {
    const Data tlsData = Bytes(true).u8(23).u16(0x0303).u16(4).u32(0).data();
    const ContentCase cases[] = {
        {"TLS application data on 8400", tcpFrame(8400, tlsData), "ETH-IP-TCP-TLS"},
        {"TLS 1.3 version in a record is not TLS", tcpFrame(4430, Bytes(true).u8(23).u16(0x0304).u16(4).u32(0).data()), "ETH-IP-TCP"},
        {"a lone alert followed by junk", tcpFrame(4430, Bytes(true).u8(21).u16(0x0303).u16(2).u16(0x0228).raw("xyz").data()), "ETH-IP-TCP"},
        {"HTTP request on 8000", tcpFrame(8000, text("GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n")), "ETH-IP-TCP-HTTP"},
        {"HTTP response on 8000", tcpFrame(8000, text("HTTP/1.0 200 OK\r\n\r\nbody")), "ETH-IP-TCP-HTTP"},
        {"a payload that merely starts with GET", tcpFrame(8000, text("GET is not a request\r\n")), "ETH-IP-TCP"},
        {"a request line without its end", tcpFrame(8000, text("GET / HTTP/1.1")), "ETH-IP-TCP"},
        {"an unknown method", tcpFrame(8000, text("FETCH / HTTP/1.1\r\n\r\n")), "ETH-IP-TCP"},
        {"a method alone on its line", tcpFrame(8000, text("GET\r\n/ HTTP/1.1\r\n")), "ETH-IP-TCP"},
        {"a request line that ends before its version", tcpFrame(8000, text("GET /x\r\nHTTP/1.1\r\n")), "ETH-IP-TCP"},
        {"SMTP greeting on 2525", tcpFrame(2525, text("220 mail.example.com ESMTP ready\r\n")), "ETH-IP-TCP-SMTP"},
        {"SMTP EHLO on 2525", tcpFrame(2525, text("EHLO client.example.com\r\n")), "ETH-IP-TCP-SMTP"},
        {"a 220 reply that names no SMTP", tcpFrame(2525, text("220 FTP server ready\r\n")), "ETH-IP-TCP"},
        {"DNS query on UDP 5300", udpFrame(5300, dnsQuery()), "ETH-IP-UDP-DNS"},
        {"zeros on UDP 5300", udpFrame(5300, Bytes().zeros(40).data()), "ETH-IP-UDP"},
        {"a DNS response repeating no question", udpFrame(5300, Bytes(true).u16(1).u16(0x8181).zeros(8).u8(0).data()), "ETH-IP-UDP-DNS"},
        {"a DNS query asking no question", udpFrame(5300, Bytes(true).u16(1).u16(0x0100).zeros(8).u8(0).data()), "ETH-IP-UDP"},
        {"a DNS update", udpFrame(5300, Bytes(true).u16(1).u16(0x2800).u16(1).zeros(6).raw(dnsQuery().slice(12)).data()), "ETH-IP-UDP"},
        {"the port map wins over the content", tcpFrame(80, tlsData), "ETH-IP-TCP-HTTP"},
        {"HTTP on the TLS port is HTTP", tcpFrame(443, text("GET / HTTP/1.1\r\n\r\n")), "ETH-IP-TCP-HTTP"},
        {"an HTTP response from 8443", tcpFrame(8443, text("HTTP/1.1 200 OK\r\n\r\n")), "ETH-IP-TCP-HTTP"},
        {"bytes in the middle of a record on the TLS port", tcpFrame(443, Bytes().zeros(40).data()), "ETH-IP-TCP-TLS"},
        {"a WebDAV request on 8000", tcpFrame(8000, text("PROPFIND /x HTTP/1.1\r\nDepth: 1\r\n\r\n")), "ETH-IP-TCP-HTTP"},
        {"a UPnP event subscription on 49152", tcpFrame(49152, text("SUBSCRIBE /evt HTTP/1.1\r\n\r\n")), "ETH-IP-TCP-HTTP"},
        {"a method tshark does not know", tcpFrame(8000, text("MKCALENDAR /x HTTP/1.1\r\n\r\n")), "ETH-IP-TCP"},
    };
    for (const auto& c : cases) EXPECT_EQ(historyOf(c.frame), c.history) << c.name;
}

TEST(ContentProbes, MulticastAndLinkLocalDnsAreNamedApartAndAnswerTheDnsKeys) {
    for (auto [port, history] : {std::pair{5353, "ETH-IP-UDP-MDNS"}, std::pair{5355, "ETH-IP-UDP-LLMNR"}}) {
        auto packet = analysed(udpFrame(static_cast<std::uint16_t>(port), dnsQuery()));
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->packetProtocolHistory(), history);
        EXPECT_EQ(packet->valueForKey("dnsQueryName").asString(), "a");
        EXPECT_EQ(packet->packetInfoOverview(), "Standard query 0x1234 A a");
    }
}

/// A label stack entry: label (20 bits), traffic class (3), bottom of stack (1), TTL (8).
std::uint32_t label(std::uint32_t value, std::uint32_t tc, bool bottom, std::uint8_t ttl) {
    return (value << 12) | (tc << 9) | (bottom ? 0x100u : 0u) | ttl;
}

TEST(Mpls, TwoLabelsThenIPv4OrIPv6) {
    auto v4 = Bytes(true).u32(label(16, 0, false, 64)).u32(label(17, 5, true, 63)).raw(ipv4Packet(kUDP, udpDatagram(40000, 53, dnsQuery()))).data();
    auto packet = analysed(ethernetFrame(kMPLS, v4));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->packetProtocolHistory(), "ETH-MPLS-IP-UDP-DNS");
    EXPECT_EQ(packet->packetIPSourceAddress(), "10.0.0.1");
    auto nodes = packet->nodes();
    std::vector<std::string> mpls;
    for (const auto& node : nodes)
        if (node->nodeName() == "MultiProtocol Label Switching Header") mpls.push_back(node->nodeValue());
    EXPECT_EQ(mpls, (std::vector<std::string>{"Label: 16, Exp: 0, S: 0, TTL: 64", "Label: 17, Exp: 5, S: 1, TTL: 63"}));

    auto v6 = Bytes(true).u32(label(1000, 0, false, 255)).u32(label(2, 0, true, 1)).raw(ipv6Packet(kUDP, udpDatagram(40000, 33434, text("abcdefgh")))).data();
    EXPECT_EQ(historyOf(ethernetFrame(kMPLS, v6)), "ETH-MPLS-IPv6-UDP");
    // Neither IPv4, IPv6 nor a control word after the bottom entry (a pseudowire without one
    // starts with a MAC address), and a stack without a bottom entry.
    EXPECT_EQ(historyOf(ethernetFrame(kMPLS, Bytes(true).u32(label(16, 0, true, 64)).u8(0xa0).zeros(23).data())), "ETH-MPLS");
    EXPECT_EQ(historyOf(ethernetFrame(kMPLS, Bytes(true).u32(label(16, 0, false, 64)).u16(0x4500).data())), "ETH-MPLS");
}

TEST(Mpls, AControlWordStartsAnEthernetPseudowire) {
    auto inner = ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(40000, 53, dnsQuery())));
    auto pw = Bytes(true).u32(label(100, 0, false, 64)).u32(label(200, 0, true, 64)).u32(5).raw(inner).data();
    auto packet = analysed(ethernetFrame(kMPLS, pw));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->packetProtocolHistory(), "ETH-MPLS-ETH-IP-UDP-DNS");
    EXPECT_EQ(packet->packetInfoOverview(), "Standard query 0x1234 A a");
    std::vector<std::string> words;
    for (const auto& node : packet->nodes())
        if (node->nodeName() == "PW Ethernet Control Word") words.push_back(node->nodeValue());
    EXPECT_EQ(words, std::vector<std::string>{"Sequence Number: 5"});
    EXPECT_EQ(packet->valueForKey("mplsLabel").asUInt(), 100u);

    // A control word without a whole Ethernet header after it carries nothing.
    EXPECT_EQ(historyOf(ethernetFrame(kMPLS, Bytes(true).u32(label(16, 0, true, 64)).u32(0).zeros(13).data())), "ETH-MPLS");
}

TEST(OverlayTunnels, VxlanAndGeneveCarryTheTenantsFrames) {
    auto inner = ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(40000, 53, dnsQuery())));
    auto vxlan = analysed(udpFrame(4789, Bytes(true).u32(0x08000000).u32(100 << 8).raw(inner).data()));
    ASSERT_TRUE(vxlan);
    EXPECT_EQ(vxlan->packetProtocolHistory(), "ETH-IP-UDP-VXLAN-ETH-IP-UDP-DNS");
    EXPECT_EQ(vxlan->valueForKey("vxlanVNI").asUInt(), 100u);
    // Without the I flag the frame is still followed.
    EXPECT_EQ(historyOf(udpFrame(4789, Bytes(true).u32(0).u32(7 << 8).raw(inner).data())), "ETH-IP-UDP-VXLAN-ETH-IP-UDP-DNS");

    // Geneve with two words of options before an Ethernet frame, and carrying IPv4 directly.
    auto geneve = analysed(udpFrame(6081, Bytes(true).u16(0x0200).u16(0x6558).u32(42 << 8).zeros(8).raw(inner).data()));
    ASSERT_TRUE(geneve);
    EXPECT_EQ(geneve->packetProtocolHistory(), "ETH-IP-UDP-GENEVE-ETH-IP-UDP-DNS");
    EXPECT_EQ(geneve->valueForKey("geneveVNI").asUInt(), 42u);
    auto ipOnly = ipv4Packet(kUDP, udpDatagram(40000, 53, dnsQuery()));
    EXPECT_EQ(historyOf(udpFrame(6081, Bytes(true).u16(0).u16(kIPv4).u32(1 << 8).raw(ipOnly).data())), "ETH-IP-UDP-GENEVE-IP-UDP-DNS");
    // Options running past the bytes, or a version other than 0, carry nothing.
    EXPECT_EQ(historyOf(udpFrame(6081, Bytes(true).u16(0x3f00).u16(0x6558).u32(1 << 8).raw(inner).data())), "ETH-IP-UDP-GENEVE");
    EXPECT_EQ(historyOf(udpFrame(6081, Bytes(true).u16(0x4000).u16(0x6558).u32(1 << 8).raw(inner).data())), "ETH-IP-UDP-GENEVE");
    // Headers cut short.
    EXPECT_EQ(historyOf(udpFrame(4789, Bytes(true).u32(0x08000000).data())), "ETH-IP-UDP-VXLAN");
    EXPECT_EQ(historyOf(udpFrame(6081, Bytes(true).u16(0).data())), "ETH-IP-UDP-GENEVE");
}

/// A GTPv1-U message of `type` with the given flags, optional fields and extension headers
/// (`options`), and `payload`.
Data gtpMessage(std::uint8_t flags, std::uint8_t type, const Data& options, const Data& payload) {
    return Bytes(true).u8(flags).u8(type).u16(static_cast<std::uint16_t>(options.size() + payload.size())).u32(0x1f2e3d4c).raw(options).raw(payload).data();
}

TEST(GtpTunnel, UserPacketsAreFollowedThroughTheOptionalFieldsAndExtensions) {
    auto user = ipv4Packet(kUDP, udpDatagram(40000, 53, dnsQuery()));
    auto plain = analysed(udpFrame(2152, gtpMessage(0x30, 0xFF, {}, user)));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->packetProtocolHistory(), "ETH-IP-UDP-GTP-IP-UDP-DNS");
    EXPECT_EQ(plain->valueForKey("gtpTEID").asUInt(), 0x1f2e3d4cu);
    // A sequence number, then a PDU session container (type 0x85, one four-byte unit).
    EXPECT_EQ(historyOf(udpFrame(2152, gtpMessage(0x32, 0xFF, Bytes(true).u32(0x00070000).data(), user))), "ETH-IP-UDP-GTP-IP-UDP-DNS");
    auto extended = Bytes(true).u32(0x00000085).u32(0x01100900).data();
    EXPECT_EQ(historyOf(udpFrame(2152, gtpMessage(0x34, 0xFF, extended, ipv6Packet(kTCP, tcpSegment(40000, 80, text("GET / HTTP/1.1\r\n\r\n")))))),
              "ETH-IP-UDP-GTP-IPv6-TCP-HTTP");

    // An echo request carries no user packet; an extension running past the bytes carries
    // nothing; version 0 is not GTP-U.
    auto echo = analysed(udpFrame(2152, gtpMessage(0x32, 1, Bytes(true).u32(0x00010000).data(), {})));
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->packetProtocolHistory(), "ETH-IP-UDP-GTP");
    EXPECT_EQ(echo->packetInfoOverview(), "Echo Request");
    EXPECT_EQ(historyOf(udpFrame(2152, gtpMessage(0x34, 0xFF, Bytes(true).u32(0x00000085).u8(200).u8(0x10).data(), {}))), "ETH-IP-UDP-GTP");
    EXPECT_EQ(historyOf(udpFrame(2152, gtpMessage(0x10, 0xFF, {}, user))), "ETH-IP-UDP");
}

/// An ICMP or ICMPv6 error: type, code, checksum 0, four more header bytes, then `quoted`.
Data icmpError(std::uint8_t type, std::uint8_t code, const Data& quoted) {
    return Bytes(true).u8(type).u8(code).u16(0).u32(0).raw(quoted).data();
}

TEST(QuotedDatagrams, IcmpErrorsAnalyseTheQuotedHeaders) {
    // Port unreachable quoting the IPv4 header and the 8 UDP header bytes (RFC 792).
    auto quotedUdp = ipv4Packet(kUDP, udpDatagram(40000, 33434, text("abcdefgh")), 2).slice(0, 28);
    auto unreachable = analysed(ethernetFrame(kIPv4, ipv4Packet(kICMP, icmpError(3, 3, quotedUdp), 9)));
    ASSERT_TRUE(unreachable);
    EXPECT_EQ(unreachable->packetProtocolHistory(), "ETH-IP-ICMP-IP-UDP");
    EXPECT_EQ(unreachable->packetInfoOverview(), "Destination unreachable (Port unreachable)");
    EXPECT_EQ(unreachable->packetIPSourceAddress(), "10.0.0.9");  // the outer header's, not the quoted one's

    // Time exceeded quoting IPv6 and UDP.
    auto quoted6 = ipv6Packet(kUDP, udpDatagram(40000, 33434, text("abcdefgh")));
    auto exceeded = analysed(ethernetFrame(kIPv6, ipv6Packet(kICMPv6, icmpError(3, 0, quoted6))));
    ASSERT_TRUE(exceeded);
    EXPECT_EQ(exceeded->packetProtocolHistory(), "ETH-IPv6-ICMPv6-IPv6-UDP");
    EXPECT_EQ(exceeded->packetInfoOverview(), "Time Exceeded (hop limit exceeded in transit)");

    // A quote long enough to hold an application message goes on to it.
    auto quotedDns = ipv4Packet(kUDP, udpDatagram(5353, 53, dnsQuery()));
    EXPECT_EQ(historyOf(ethernetFrame(kIPv4, ipv4Packet(kICMP, icmpError(3, 3, quotedDns)))), "ETH-IP-ICMP-IP-UDP-DNS");

    // An error quoting an error: the inner error is shown, its own quote is not followed.
    auto inner = ipv4Packet(kICMP, icmpError(3, 3, quotedUdp));
    EXPECT_EQ(historyOf(ethernetFrame(kIPv4, ipv4Packet(kICMP, icmpError(3, 1, inner)))), "ETH-IP-ICMP-IP-ICMP");
    // An echo reply quotes nothing; an error quoting neither IPv4 nor IPv6 ends with the error.
    EXPECT_EQ(historyOf(ethernetFrame(kIPv4, ipv4Packet(kICMP, icmpError(0, 0, quotedUdp)))), "ETH-IP-ICMP");
    EXPECT_EQ(historyOf(ethernetFrame(kIPv4, ipv4Packet(kICMP, icmpError(11, 0, Bytes().zeros(28).data())))), "ETH-IP-ICMP");
}

/// A DHCP Discover: the 236 fixed bytes (Boot Request, client 00:0c:29:1f:74:06), the cookie,
/// a message type option and End.
Data dhcpDiscover() {
    Bytes b(true);
    b.u8(1).u8(1).u8(6).u8(0).u32(0x3d1d).u16(0).u16(0).zeros(16);
    b.raw({0x00, 0x0c, 0x29, 0x1f, 0x74, 0x06}).zeros(10 + 64 + 128);
    b.u32(0x63825363).raw({53, 1, 1, 255});
    return b.data();
}

TEST(SnapshotCut, MessagesCutByTheCaptureKeepTheirLayer) {
    auto frame = ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(68, 67, dhcpDiscover())));
    EXPECT_EQ(historyOf(frame), "ETH-IP-UDP-DHCP");

    // The same frame with only its first 100 bytes captured.
    auto cut = analysed(frame.slice(0, 100), static_cast<std::int64_t>(frame.size()));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->packetProtocolHistory(), "ETH-IP-UDP-DHCP");
    EXPECT_EQ(cut->packetInfoOverview(),
              "Boot Request from 00:0c:29:1f:74:06 (00:0c:29:1f:74:06)[Packet size limited during capture]");

    // Captured whole but too short for DHCP: the message lies, and the chain ends at UDP.
    auto lying = ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(68, 67, dhcpDiscover().slice(0, 58))));
    EXPECT_EQ(historyOf(lying), "ETH-IP-UDP");

    // A DNS message cut inside its header still shows its ID.
    auto dns = udpFrame(53, dnsQuery());
    auto cutDns = analysed(dns.slice(0, 46), static_cast<std::int64_t>(dns.size()));
    ASSERT_TRUE(cutDns);
    EXPECT_EQ(cutDns->packetProtocolHistory(), "ETH-IP-UDP-DNS");
    EXPECT_EQ(cutDns->packetInfoOverview(), "Standard query 0x1234[Packet size limited during capture]");
}

// An encrypted alert (a 26-byte fragment) on a port no analyzer claims, captured with a snapshot
// length one byte short of the frame: tshark 4.0.17 shows it as "Encrypted Alert" cut short. A
// short record is only taken for TLS when it ends the segment or another record follows it, so in
// a cut packet it must end where the segment did on the wire, or the bytes kept after it must
// begin a record header.
TEST(SnapshotCut, AShortTLSRecordBesideTheCutIsTLSWhenTheWireOrTheKeptHeaderShowsIt) {
    auto alert = [](std::size_t trailing) {
        return tcpFrame(4430, Bytes(true).u8(21).u16(0x0303).u16(26).zeros(26 + trailing).data());
    };
    const Data whole = alert(0);
    EXPECT_EQ(historyOf(whole), "ETH-IP-TCP-TLS");

    auto cut = analysed(whole.slice(0, whole.size() - 1), static_cast<std::int64_t>(whole.size()));
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->packetProtocolHistory(), "ETH-IP-TCP-TLS");
    EXPECT_EQ(cut->packetInfoOverview(), "Encrypted Alert[Packet size limited during capture]");

    // On the wire the segment went on past the record (or ended inside it): what followed the
    // record was not captured, so nothing shows it was TLS.
    const Data longer = alert(3);
    EXPECT_EQ(historyOf(longer.slice(0, whole.size() - 1), static_cast<std::int64_t>(longer.size())), "ETH-IP-TCP");
    EXPECT_EQ(historyOf(whole.slice(0, whole.size() - 2), static_cast<std::int64_t>(whole.size() - 1)), "ETH-IP-TCP");

    // A change cipher spec, then the capture's cut two bytes into the application data record
    // after it (as TLS 1.3 clients send their first flight): what was kept of that header begins
    // one. Two bytes that begin none leave the segment unrecognised.
    auto ccsThen = [](std::uint8_t type, std::uint8_t major) {
        return tcpFrame(4430, Bytes(true).u8(20).u16(0x0303).u16(1).u8(1).u8(type).u8(major).u8(3).u16(69).zeros(69).data());
    };
    for (auto [type, major, history] : {std::tuple{23, 3, "ETH-IP-TCP-TLS"}, std::tuple{23, 1, "ETH-IP-TCP"}, std::tuple{24, 3, "ETH-IP-TCP"}}) {
        const Data frame = ccsThen(static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(major));
        const Data kept = frame.slice(0, frame.size() - 69 - 3);
        EXPECT_EQ(historyOf(kept, static_cast<std::int64_t>(frame.size())), history) << type << "." << major;
    }
}

}  // namespace
}  // namespace qor::test
