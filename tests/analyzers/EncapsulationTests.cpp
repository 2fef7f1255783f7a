// Captures built byte by byte: serial-link and firewall-log link types, and the tunnels that
// mirror Ethernet frames (ERSPAN) or carry IPv6 over UDP (Teredo). Each capture is read by the
// library's reader and analysed through the loaded plug-in. The layers expected are those tshark
// 4.0.17 gives the same frames (`tshark -n -T fields -e frame.protocols`).

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

constexpr std::uint8_t kUDP = 17, kGRE = 47, kNoNextHeader = 59;
constexpr std::uint16_t kIPv4 = 0x0800;

TEST(LinkTypes, CiscoHdlcAndNflogCarryTheirPackets) {
    auto hdlc = analysedFrame(104, Bytes(true).u8(0x0F).u8(0).u16(kIPv4).raw(dnsDatagram()).data());
    ASSERT_TRUE(hdlc);
    EXPECT_EQ(hdlc->packetProtocolHistory(), "CHDLC-IP-UDP-DNS");
    EXPECT_EQ(hdlc->valueForKey("chdlcProtocol").asUInt(), kIPv4);
    // A SLARP keepalive is not the RARP its number means on Ethernet.
    auto keepalive = analysedFrame(104, Bytes(true).u8(0x8F).u8(0).u16(0x8035).u32(2).u32(1).u32(0).u16(0xFFFF).data());
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->packetProtocolHistory(), "CHDLC");
    EXPECT_EQ(keepalive->packetInfoOverview(), "Cisco HDLC, Broadcast, SLARP (0x8035)");

    // NFLOG: family, version, group; a prefix TLV (padded to 4), a hardware-protocol TLV, then
    // the payload TLV holding the packet. TLV lengths and types are little endian.
    auto payload = dnsDatagram();
    Bytes nflog(true);
    nflog.u8(2).u8(0).u16(5);
    nflog.raw(Bytes().u16(4 + 9).u16(10).data()).raw("dropped:").u8(0).zeros(3);
    nflog.raw(Bytes().u16(8).u16(1).data()).raw({0x08, 0x00, 0, 0});
    nflog.raw(Bytes().u16(static_cast<std::uint16_t>(4 + payload.size())).u16(9).data()).raw(payload);
    auto logged = analysedFrame(239, nflog.data());
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->packetProtocolHistory(), "NFLOG-IP-UDP-DNS");
    std::string heading;
    for (const auto& node : logged->nodes())
        if (node->nodeName() == "Linux Netfilter NFLOG") heading = node->nodeValue();
    EXPECT_EQ(heading, "Linux netfilter log, group 5, prefix \"dropped:\"");

    // A log entry without a payload, one whose TLV runs past the bytes, and another version.
    EXPECT_EQ(frameHistory(239, Bytes(true).u8(2).u8(0).u16(5).raw(Bytes().u16(8).u16(1).data()).raw({8, 0, 0, 0}).data()), "NFLOG");
    EXPECT_EQ(frameHistory(239, Bytes(true).u8(2).u8(0).u16(5).raw(Bytes().u16(200).u16(9).data()).raw(payload).data()), "NFLOG");
    EXPECT_EQ(frameHistory(239, Bytes(true).u8(2).u8(1).u16(5).raw(payload).data()), "NFLOG");
}

/// A GRE header with `protocol`, with a sequence number when `sequence` is set, before `payload`.
Data greWith(std::uint16_t protocol, bool sequence, const Data& payload) {
    Bytes b(true);
    b.u16(sequence ? 0x1000 : 0).u16(protocol);
    if (sequence) b.u32(1);
    return b.raw(payload).data();
}

TEST(Tunnels, ErspanMirrorsEthernetFramesOfEachType) {
    auto mirrored = ethernetFrame(kIPv4, dnsDatagram());
    auto outer = [](const Data& gre) { return ethernetFrame(kIPv4, ipv4Packet(kGRE, gre)); };
    // Type I: no ERSPAN header, no GRE sequence number.
    EXPECT_EQ(frameHistory(1, outer(greWith(0x88BE, false, mirrored))), "ETH-IP-GRE-ETH-IP-UDP-DNS");
    auto typeII = analysedFrame(1, outer(greWith(0x88BE, true, Bytes(true).u32(0x10010064).u32(0).raw(mirrored).data())));
    ASSERT_TRUE(typeII);
    EXPECT_EQ(typeII->packetProtocolHistory(), "ETH-IP-GRE-ERSPAN-ETH-IP-UDP-DNS");
    EXPECT_EQ(typeII->valueForKey("erspanSession").asUInt(), 100u);
    // Type III, with and without the platform sub-header its O flag announces.
    EXPECT_EQ(frameHistory(1, outer(greWith(0x22EB, true, Bytes(true).u32(0x20010064).u32(0).u32(0).raw(mirrored).data()))),
              "ETH-IP-GRE-ERSPAN-ETH-IP-UDP-DNS");
    EXPECT_EQ(frameHistory(1, outer(greWith(0x22EB, true, Bytes(true).u32(0x20010064).u32(0).u32(1).zeros(8).raw(mirrored).data()))),
              "ETH-IP-GRE-ERSPAN-ETH-IP-UDP-DNS");
    // Another version carries nothing.
    EXPECT_EQ(frameHistory(1, outer(greWith(0x88BE, true, Bytes(true).u32(0x30010064).u32(0).raw(mirrored).data()))), "ETH-IP-GRE-ERSPAN");
}

TEST(Tunnels, TeredoCarriesIPv6PastItsIndicators) {
    auto inner = ipv6Packet(kUDP, udpDatagram(40000, 53, dnsQuery()));
    auto udpFrame = [](const Data& payload) { return ethernetFrame(kIPv4, ipv4Packet(kUDP, udpDatagram(40000, 3544, payload))); };
    EXPECT_EQ(frameHistory(1, udpFrame(inner)), "ETH-IP-UDP-TEREDO-IPv6-UDP-DNS");
    auto origin = Bytes(true).u16(0).u16(0x1234).u32(0x01020304).data();
    EXPECT_EQ(frameHistory(1, udpFrame(Bytes(true).raw(origin).raw(inner).data())), "ETH-IP-UDP-TEREDO-IPv6-UDP-DNS");
    // A bubble after an authentication indicator (no client id, no value) and an origin.
    auto bubble = Bytes(true).u16(1).u8(0).u8(0).zeros(9).raw(origin).raw(ipv6Packet(kNoNextHeader, {})).data();
    EXPECT_EQ(frameHistory(1, udpFrame(bubble)), "ETH-IP-UDP-TEREDO-IPv6");
    // Something else on the port is left to the content checks.
    EXPECT_EQ(frameHistory(1, udpFrame(dnsQuery())), "ETH-IP-UDP-DNS");
}

}  // namespace
}  // namespace qor::test
