// Captures built byte by byte: monitor-mode captures (radiotap, PPI, Prism) and bare 802.11 captures, whose
// data frames carry LLC/SNAP and then IP, and IEEE 802.3 frames with LLC. Each capture is read by
// the library's reader and analysed through the loaded plug-in. The layers expected are those
// tshark 4.0.17 gives the same frames (`tshark -n -T fields -e frame.protocols`, leaving out its
// "wlan_radio" pseudo-layer), except that tshark names the protocol after the LLC header of
// spanning tree frames ("stp"), which this plug-in does not analyse.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

constexpr std::uint32_t kLinkTypeEthernet = 1, kLinkTypeWlan = 105, kLinkTypeRadiotap = 127, kLinkTypePpi = 192, kLinkTypePrism = 119;
constexpr std::uint8_t kTCP = 6, kUDP = 17;

/// An LLC/SNAP header (RFC 1042) with `etherType`, before `payload`.
Data snap(std::uint16_t etherType, const Data& payload) {
    return Bytes(true).u8(0xAA).u8(0xAA).u8(0x03).raw({0, 0, 0}).u16(etherType).raw(payload).data();
}

/// An 802.11 frame of `type` and `subtype` with the given flags, the three addresses, sequence
/// number 291, then (as asked) a fourth address and a QoS control, and `body`.
Data wlanFrame(int type, int subtype, std::uint8_t flags, const Data& body, std::optional<std::uint16_t> qos = std::nullopt, bool fourth = false) {
    Bytes b;  // 802.11 fields are little endian
    b.u8(static_cast<std::uint8_t>((subtype << 4) | (type << 2))).u8(flags).u16(0);
    b.raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55}).raw({0x00, 0x66, 0x77, 0x88, 0x99, 0xaa}).raw({0x02, 0, 0, 0, 0, 1});
    b.u16(291 << 4);
    if (fourth) b.raw({0x02, 0, 0, 0, 0, 2});
    if (qos) b.u16(*qos);
    return b.raw(body).data();
}

/// Radiotap version 0 with the TSFT and flags fields (flags: `fcs` says the frame ends with its
/// FCS, which is appended), before `frame`.
Data radiotap(const Data& frame, bool fcs = false) {
    Bytes b;
    b.u8(0).u8(0).u16(18).u32(0x3).u64(123456).u8(fcs ? 0x10 : 0).u8(0).raw(frame);
    if (fcs) b.u32(0xdeadbeef);
    return b.data();
}

TEST(Wireless, DataFramesCarryLlcAndIp) {
    auto qosData = analysedFrame(kLinkTypeRadiotap, radiotap(wlanFrame(2, 8, 0x01, snap(0x0800, dnsDatagram()), 0), true));
    ASSERT_TRUE(qosData);
    EXPECT_EQ(qosData->packetProtocolHistory(), "RADIOTAP-WLAN-LLC-IP-UDP-DNS");
    EXPECT_EQ(qosData->packetInfoOverview(), "Standard query 0x1234 A a");
    EXPECT_EQ(qosData->valueForKey("wlanTransmitter").asString(), "00:66:77:88:99:aa");
    EXPECT_EQ(qosData->valueForKey("snapProtocolId").asUInt(), 0x0800u);
    std::vector<std::string> wlan;
    for (const auto& node : qosData->nodes())
        if (node->nodeName() == "IEEE 802.11" || node->nodeName() == "Receiver address") wlan.push_back(node->nodeValue());
    EXPECT_EQ(wlan, (std::vector<std::string>{"QoS Data, SN=291, FN=0", "00:11:22:33:44:55"}));

    // Four addresses (a wireless bridge), a plain data frame, and a bare 802.11 capture.
    EXPECT_EQ(frameHistory(kLinkTypeRadiotap, radiotap(wlanFrame(2, 8, 0x03, snap(0x0800, dnsDatagram()), 0, true))),
              "RADIOTAP-WLAN-LLC-IP-UDP-DNS");
    EXPECT_EQ(frameHistory(kLinkTypeRadiotap, radiotap(wlanFrame(2, 0, 0x02, snap(0x86DD, ipv6Packet(kUDP, udpDatagram(40000, 53, dnsQuery())))))),
              "RADIOTAP-WLAN-LLC-IPv6-UDP-DNS");
    auto tls = Bytes(true).u8(23).u16(0x0303).u16(4).u32(0).data();
    EXPECT_EQ(frameHistory(kLinkTypeWlan, wlanFrame(2, 0, 0x02, snap(0x0800, ipv4Packet(kTCP, tcpSegment(443, 40000, tls))))),
              "WLAN-LLC-IP-TCP-TLS");

    // An aggregate: the first subframe's destination, source and length, then its LLC header.
    auto msdu = snap(0x0800, dnsDatagram());
    auto subframe = Bytes(true).raw({0, 0x11, 0x22, 0x33, 0x44, 0x55}).raw({0, 0x66, 0x77, 0x88, 0x99, 0xaa}).u16(static_cast<std::uint16_t>(msdu.size())).raw(msdu).data();
    EXPECT_EQ(frameHistory(kLinkTypeRadiotap, radiotap(wlanFrame(2, 8, 0x01, subframe, 0x80))), "RADIOTAP-WLAN-LLC-IP-UDP-DNS");
}

TEST(Wireless, PpiAndPrismHeadersPrecedeTheFrame) {
    auto frame = wlanFrame(2, 8, 0x01, snap(0x0800, dnsDatagram()), 0);
    EXPECT_EQ(frameHistory(kLinkTypePpi, Bytes().u8(0).u8(0).u16(8).u32(105).raw(frame).data()), "PPI-WLAN-LLC-IP-UDP-DNS");
    // A PPI header over another link type carries nothing.
    EXPECT_EQ(frameHistory(kLinkTypePpi, Bytes().u8(0).u8(0).u16(8).u32(1).raw(frame).data()), "PPI");
    auto prism = Bytes().u32(0x41).u32(144).raw("wlan0").zeros(11).zeros(120).raw(frame).data();
    auto packet = analysedFrame(kLinkTypePrism, prism);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->packetProtocolHistory(), "PRISM-WLAN-LLC-IP-UDP-DNS");
}

TEST(Wireless, FramesWithoutAnLlcBodyEndTheChain) {
    const Data body = snap(0x0800, dnsDatagram());
    struct Case {
        const char* name;
        Data frame;
        const char* summary;
    };
    const Case cases[] = {
        {"protected", wlanFrame(2, 8, 0x41, Bytes().zeros(8).raw(body).data(), 0), "QoS Data, SN=291, FN=0, Protected"},
        {"null function", wlanFrame(2, 4, 0x01, {}), "Null function (No data), SN=291, FN=0"},
        {"a fragment", wlanFrame(2, 0, 0x05, body), "Data, SN=291, FN=0"},
        {"a beacon", wlanFrame(0, 8, 0, Bytes().zeros(12).u8(0).u8(4).raw("test").data()), "Beacon frame, SN=291, FN=0"},
        {"an acknowledgement", Bytes().u8(0xd4).u8(0).u16(0).raw({0, 0x11, 0x22, 0x33, 0x44, 0x55}).data(), "Acknowledgement"},
        {"a frame cut inside its header", wlanFrame(2, 8, 0x01, body, 0).slice(0, 12), "QoS Data, SN=0, FN=0"},
    };
    for (const auto& c : cases) {
        auto packet = analysedFrame(kLinkTypeRadiotap, radiotap(c.frame));
        ASSERT_TRUE(packet) << c.name;
        EXPECT_EQ(packet->packetProtocolHistory(), "RADIOTAP-WLAN") << c.name;
        EXPECT_EQ(packet->packetInfoOverview(), c.summary) << c.name;
    }
    // Radiotap whose length runs past the bytes, and one of another version, carry nothing.
    EXPECT_EQ(frameHistory(kLinkTypeRadiotap, Bytes().u8(0).u8(0).u16(200).u32(0).zeros(20).data()), "RADIOTAP");
    EXPECT_EQ(frameHistory(kLinkTypeRadiotap, Bytes().u8(1).u8(0).u16(8).u32(0).zeros(20).data()), "RADIOTAP");
}

TEST(Llc, Ieee8023FramesCarrySnapOrEndAtTheirServiceAccessPoint) {
    auto snapped = snap(0x0800, dnsDatagram());
    auto frame = [](const Data& llc) {
        return Bytes(true).raw({1, 0x80, 0xc2, 0, 0, 0}).raw({0, 0x11, 0x22, 0x33, 0x44, 0x55}).u16(static_cast<std::uint16_t>(llc.size())).raw(llc).data();
    };
    EXPECT_EQ(frameHistory(kLinkTypeEthernet, frame(snapped)), "ETH-LLC-IP-UDP-DNS");
    auto stp = analysedFrame(kLinkTypeEthernet, frame(Bytes(true).u8(0x42).u8(0x42).u8(0x03).zeros(35).data()));
    ASSERT_TRUE(stp);
    EXPECT_EQ(stp->packetProtocolHistory(), "ETH-LLC");
    EXPECT_EQ(stp->packetInfoOverview(), "DSAP Spanning Tree BPDU (0x42), SSAP Spanning Tree BPDU (0x42)");
    // An information frame's two-byte control, and a SNAP header of another organisation (Cisco).
    EXPECT_EQ(frameHistory(kLinkTypeEthernet, frame(Bytes(true).u8(0x42).u8(0x42).u16(0).zeros(20).data())), "ETH-LLC");
    EXPECT_EQ(frameHistory(kLinkTypeEthernet, frame(Bytes(true).u8(0xAA).u8(0xAA).u8(3).raw({0, 0, 0x0c}).u16(0x2000).zeros(20).data())), "ETH-LLC");
    // Too short for the header its control announces.
    EXPECT_EQ(frameHistory(kLinkTypeEthernet, frame(Bytes(true).u8(0xAA).u8(0xAA).u8(3).raw({0, 0}).data())), "ETH");
}

}  // namespace
}  // namespace qor::test
