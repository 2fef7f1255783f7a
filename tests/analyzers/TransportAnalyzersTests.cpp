// Tests of the transport analyzers: TCP and UDP, and how they choose the carried protocol.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

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

TEST(TcpAnalyzer, SummarisesASynWithItsOptionsInWireOrder) {
    auto syn = tcp(52814, 80, 0x002,
                   {2, 4, 0x05, 0xb4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7}, 0);
    auto a = harness().make("TcpAnalyzer", syn);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolName(), "TCP");
    EXPECT_EQ(a->protocolSize(), 40);
    EXPECT_EQ(a->nextProtocol(), std::nullopt);  // no payload
    EXPECT_EQ(a->protocolInfo(syn), "52814 → 80 [SYN] Seq=0 Win=64240 Len=0 MSS=1460 SACK_PERM TSval=1 TSecr=0 WS=128");
    EXPECT_EQ(a->value("srcPort", syn.slice(0, 2)).asUInt(), 52814u);
    EXPECT_EQ(a->value("dstPort", syn.slice(2, 2)).asUInt(), 80u);
    EXPECT_EQ(a->value("tcpFlags", syn.slice(12, 2)).asString(), "SYN");
    EXPECT_EQ(a->value("payloadSize", syn).asUInt(), 0u);

    auto data = tcp(80, 52814, 0x018, {}, 5, 1000, 2000);
    auto d = harness().make("TcpAnalyzer", data);
    EXPECT_EQ(d->protocolInfo(data), "80 → 52814 [PSH, ACK] Seq=1000 Ack=2000 Win=64240 Len=5");
    EXPECT_EQ(d->value("payloadSize", data).asUInt(), 5u);
    EXPECT_EQ(d->value("tcpFlags", data).asString(), "PSH, ACK");
    EXPECT_EQ(harness().make("TcpAnalyzer", tcp(1, 2, 0, {}, 0))->protocolInfo(tcp(1, 2, 0, {}, 0)),
              "1 → 2 [<None>] Seq=0 Win=64240 Len=0");
}

TEST(TcpAnalyzer, RefusesADataOffsetBelowFiveAndStopsAtOneThatLies) {
    auto bad = tcp(1, 2, 0, {}, 10).toVector();
    bad[12] = std::byte{0x40};
    EXPECT_FALSE(harness().make("TcpAnalyzer", Data(bad)));
    bad[12] = std::byte{0xF0};  // 60-byte header in 30 bytes
    auto lying = Data(bad);
    auto a = harness().make("TcpAnalyzer", lying);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 30);
    EXPECT_EQ(a->nextProtocol(), std::nullopt);
    EXPECT_TRUE(a->value("payloadSize", lying).isNone());
    EXPECT_FALSE(a->protocolNodes(lying).empty());
    // Cut inside the fixed header.
    auto cut = tcp(1, 53, 0, {}, 0).slice(0, 10);
    EXPECT_EQ(harness().make("TcpAnalyzer", cut)->protocolSize(), 10);
    EXPECT_EQ(harness().make("TcpAnalyzer", cut)->protocolInfo(cut), std::nullopt);
    // An option with a bad length ends the options, not the analyzer.
    auto badOption = tcp(1, 2, 0x002, {2, 9, 0, 0}, 0);
    EXPECT_EQ(harness().make("TcpAnalyzer", badOption)->protocolInfo(badOption), "1 → 2 [SYN] Seq=0 Win=64240 Len=0");
}

TEST(UdpAnalyzer, ReadsLengthAndPayload) {
    auto datagram = udp(52814, 4000, 33);
    auto a = harness().make("UdpAnalyzer", datagram);
    EXPECT_EQ(a->protocolSize(), 8);
    EXPECT_EQ(a->protocolInfo(datagram), "52814 → 4000 Len=33");
    EXPECT_EQ(a->value("payloadSize", datagram).asUInt(), 33u);
    EXPECT_EQ(a->value("udpLength", datagram.slice(4, 2)).asUInt(), 41u);
    // A length below 8 lies; a length past the capture counts the captured bytes.
    auto lying = udp(53, 53, 10, 4);
    EXPECT_EQ(harness().make("UdpAnalyzer", lying)->nextProtocol(), std::nullopt);
    EXPECT_TRUE(harness().make("UdpAnalyzer", lying)->value("payloadSize", lying).isNone());
    auto snapped = udp(53, 40000, 10, 500);
    EXPECT_EQ(harness().make("UdpAnalyzer", snapped)->value("payloadSize", snapped).asUInt(), 10u);
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(53, 40000, 0))->nextProtocol(), std::nullopt);
    EXPECT_EQ(harness().make("UdpAnalyzer", bytes({0, 53, 0}))->protocolSize(), 3);
}

TEST(TransportAnalyzers, ChooseTheCarriedProtocolByPortLowerPortFirst) {
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(40000, 53, 12))->nextProtocol(), "DNS");
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(53, 40000, 12))->nextProtocol(), "DNS");
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(5353, 5353, 12))->nextProtocol(), "DNS");
    EXPECT_EQ(harness().make("TcpAnalyzer", tcp(40000, 53, 0x018, {}, 14))->nextProtocol(), "DNS");
    EXPECT_EQ(harness().make("TcpAnalyzer", tcp(40000, 5353, 0x018, {}, 14))->nextProtocol(), std::nullopt);  // 5353 is UDP only
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(40001, 40002, 12))->nextProtocol(), std::nullopt);

    auto ports = QORPortsController::sharedPortsController();
    auto udpCode = rawValue(kQORSourceProtocols::udp);
    ports->addAnalyzerProtocol(std::string("LOWTEST"), 41000, udpCode);
    ports->addAnalyzerProtocol(std::string("HIGHTEST"), 42000, udpCode);
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(42000, 41000, 4))->nextProtocol(), "LOWTEST");
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(41000, 42000, 4))->nextProtocol(), "LOWTEST");
    EXPECT_EQ(harness().make("UdpAnalyzer", udp(42000, 43000, 4))->nextProtocol(), "HIGHTEST");
    ports->removeAnalyzerProtocolForPort(41000, udpCode);
    ports->removeAnalyzerProtocolForPort(42000, udpCode);
}

TEST(TransportAnalyzers, ShareThePortAttributesThroughTheirSuperclass) {
    auto src = harness().attribute("srcPort");
    ASSERT_TRUE(src);
    EXPECT_EQ(src->plugInAnalyzerClass->name(), "TransportAnalyzer");
    EXPECT_EQ(src->attributeOffset, 0u);
    EXPECT_EQ(harness().attribute("dstPort")->attributeOffset, 2u);
    EXPECT_TRUE(harness().classNamed("TcpAnalyzer")->isSubclassOf(*src->plugInAnalyzerClass));
    EXPECT_TRUE(harness().classNamed("UdpAnalyzer")->isSubclassOf(*src->plugInAnalyzerClass));
    EXPECT_FALSE(harness().classNamed("IPv4Analyzer")->isSubclassOf(*src->plugInAnalyzerClass));
    EXPECT_EQ(src->plugInAnalyzerClass->make(udp(1, 2, 0), nullptr), nullptr);
}

}  // namespace
}  // namespace qor::test
