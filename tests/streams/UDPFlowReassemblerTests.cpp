// UDP flows: datagrams read through the real reader and plug-in, grouped and paired first in,
// first out; and the rule that picks a stream's interpreter.

#include <gtest/gtest.h>

#include "QORModels/streams/QORStreamInterpreter.hpp"
#include "QORModels/streams/UDPFlowReassembler.hpp"
#include "StreamCaptures.hpp"

namespace qor {
namespace {

using test::WirePacket;

WirePacket fromClient(std::string payload, double time) { return {true, 0, 0, std::move(payload), time, 40000, 9999, true}; }
WirePacket fromServer(std::string payload, double time) { return {false, 0, 0, std::move(payload), time, 40000, 9999, true}; }

UDPFlow onlyFlow(const std::vector<WirePacket>& packets) {
    auto flows = UDPFlowReassembler::reassembleAllOffMain(test::snapshotsOf(packets));
    EXPECT_EQ(flows.size(), 1u);
    return flows.empty() ? UDPFlow{} : flows[0];
}

struct PairingCase {
    const char* name;
    std::vector<WirePacket> packets;
    /// Per message: 'q' request, 'r' reply.
    std::string kinds;
    /// Per pairing: request index, reply index (-1 for none), summary.
    std::vector<std::tuple<int, int, std::string>> pairings;
};

class Pairings : public ::testing::TestWithParam<PairingCase> {};

TEST_P(Pairings, MatchRepliesToRequestsFirstInFirstOut) {
    const auto& c = GetParam();
    UDPFlow flow = onlyFlow(c.packets);
    std::string kinds;
    for (const auto& m : UDPFlowReassembler::messages(flow)) kinds += m.kind == StreamMessageKind::request ? 'q' : 'r';
    EXPECT_EQ(kinds, c.kinds);
    auto pairings = UDPFlowReassembler::pairings(flow);
    ASSERT_TRUE(pairings);
    ASSERT_EQ(pairings->size(), c.pairings.size());
    for (std::size_t i = 0; i < c.pairings.size(); ++i) {
        const auto& [request, reply, summary] = c.pairings[i];
        EXPECT_EQ((*pairings)[i].requestIndex, request);
        EXPECT_EQ((*pairings)[i].replyIndex.value_or(-1), reply);
        EXPECT_EQ((*pairings)[i].summary, summary);
        EXPECT_EQ((*pairings)[i].status, reply < 0 ? PairingStatus::unmatched : PairingStatus::matched);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pairings,
    ::testing::Values(
        PairingCase{"QueryAndAnswer", {fromClient("0123", 1), fromServer("0123456789", 2)}, "qr", {{0, 1, "UDP 4B \u2192 10B"}}},
        PairingCase{"TwoQueriesBeforeEitherAnswer",
                    {fromClient("a", 1), fromClient("bb", 2), fromServer("ccc", 3), fromServer("dddd", 4)},
                    "qqrr",
                    {{0, 2, "UDP 1B \u2192 3B"}, {1, 3, "UDP 2B \u2192 4B"}}},
        // The capture began mid-exchange: the first sender is the client, so its reply reads as a request.
        PairingCase{"ReplyFirstNamesItsSenderClient", {fromServer("late", 1), fromClient("next", 2)}, "qr", {{0, 1, "UDP 4B \u2192 4B"}}},
        PairingCase{"ThreeRequestsOneReply",
                    {fromClient("1", 1), fromClient("2", 2), fromClient("3", 3), fromServer("r", 4)},
                    "qqqr",
                    {{0, 3, "UDP 1B \u2192 1B"}, {1, -1, "UDP request (no reply)"}, {2, -1, "UDP request (no reply)"}}},
        PairingCase{"SingleDatagram", {fromClient("x", 1)}, "q", {{0, -1, "UDP request (no reply)"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UDPFlows, RepliesWithoutRequestsGiveNoPairing) {
    UDPFlow flow;
    flow.datagrams.push_back(UDPDatagram{1, TCPSegment::Direction::serverToClient, Data::fromString("r"), 1, "UDP", std::nullopt});
    EXPECT_FALSE(UDPFlowReassembler::pairings(flow));
}

TEST(UDPFlows, PaddingStaysInThePayloadAndLabelsFallBackToUDP) {
    WirePacket padded = fromClient("hi", 1);
    padded.padding = 60 - (14 + 20 + 8 + 2);
    UDPFlow flow = onlyFlow({padded});
    ASSERT_EQ(flow.datagrams.size(), 1u);
    EXPECT_EQ(flow.datagrams[0].payload.size(), 2u + padded.padding);
    EXPECT_EQ(flow.protocolLabel(), "UDP");
    EXPECT_EQ(UDPFlowReassembler::messages(flow)[0].summary, "UDP 18 bytes");
    EXPECT_EQ(flow.key.displayString(), "10.0.0.1:40000 \u2194 10.0.0.2:9999");
    EXPECT_EQ(flow.title(), "10.0.0.1:40000 \u2192 10.0.0.2:9999");
}

TEST(UDPFlows, DnsFlowIsLabelledAndSummarisedByItsAnalyzer) {
    auto snapshots = test::snapshotsOf(std::string("udp_dns_request_response.pcap"));
    auto found = UDPFlowReassembler::reassembleOffMain(snapshots, std::int64_t{2});
    ASSERT_EQ(found.availableFlows.size(), 1u);
    EXPECT_EQ(found.availableFlows[0].packetCount, 2);
    ASSERT_TRUE(found.flow);
    EXPECT_EQ(found.flow->protocolLabel(), "DNS");
    auto messages = UDPFlowReassembler::messages(*found.flow);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].summary.rfind("DNS \u00b7 ", 0), 0u) << messages[0].summary;
    EXPECT_EQ(messages[1].kind, StreamMessageKind::reply);
    auto byKey = UDPFlowReassembler::reassembleOffMain(snapshots, found.availableFlows[0].key);
    ASSERT_TRUE(byKey);
    EXPECT_EQ(byKey->packetCount(), 2);
    EXPECT_EQ(byKey->totalBytes(), found.flow->totalBytes());
}

/// An interpreter that reads the streams whose server port is `port`.
class PortInterpreter final : public QORStreamInterpreting {
public:
    explicit PortInterpreter(std::uint16_t port) : port_(port) {}
    [[nodiscard]] std::string streamDisplayName() const override { return "port " + std::to_string(port_); }
    [[nodiscard]] bool canInterpret(const TCPStream& stream) const override { return stream.serverEndpoint.port == port_; }
    [[nodiscard]] StreamInterpretation interpret(const TCPStream&) const override { return {}; }

private:
    std::uint16_t port_;
};

TEST(FirstInterpreter, TheFirstThatCanReadTheStreamInListOrder) {
    auto web = std::make_shared<PortInterpreter>(80), alsoWeb = std::make_shared<PortInterpreter>(80),
         mail = std::make_shared<PortInterpreter>(25);
    TCPStream stream;
    stream.serverEndpoint = {"10.0.0.2", 80};
    std::vector<QORStreamInterpreterTypeBox> types{{nullptr}, {mail}, {web}, {alsoWeb}};
    EXPECT_EQ(QORStreamInterpreter::firstInterpreter(stream, types), web);
    stream.serverEndpoint.port = 443;
    EXPECT_EQ(QORStreamInterpreter::firstInterpreter(stream, types), nullptr);
}

}  // namespace
}  // namespace qor
