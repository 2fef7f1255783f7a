// Tests of the transport analyzers: TCP and UDP, and how they choose the carried protocol.

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
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
    EXPECT_FALSE(harness().make("TcpAnalyzer", Data(bad)));
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

}  // namespace
}  // namespace qor::test
