// Conversations written byte by byte, read by the real reader, analysed by the real plug-in and
// put together by the reassemblers: the TCP cases where ordering, overlap and the handshake
// matter, and UDP flows grouped and paired first in, first out.

#include <gtest/gtest.h>

#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/streams/UDPFlowReassembler.hpp"
#include "StreamCaptures.hpp"

namespace qor {
namespace {

using test::WirePacket;
constexpr std::uint8_t SYN = 0x02, SYNACK = 0x12, ACK = 0x10, PSHACK = 0x18;

struct AssemblyCase {
    const char* name;
    std::vector<WirePacket> packets;
    std::string clientData, serverData;
    std::uint32_t clientISN, serverISN;
    std::string clientEndpoint;
    /// The packet id of each span of the client's data, in order.
    std::vector<std::int64_t> clientSpanPackets;
};

const std::uint32_t kNearWrap = 0xFFFFFFF8u;
const AssemblyCase kAssemblyCases[] = {
    // The SYN+ACK is first in the file (and earlier in time): the SYN still names the client.
    {"SynAckBeforeSyn",
     {{false, 5000, SYNACK, "", 1.0}, {true, 100, SYN, "", 1.1}, {true, 101, PSHACK, "GET /", 1.2},
      {false, 5001, PSHACK, "200 OK", 1.3}},
     "GET /", "200 OK", 100, 5000, "10.0.0.1:51000", {3}},
    {"SameRetransmissionAddsNothing",
     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcd", 2}, {true, 101, PSHACK, "abcd", 3}, {true, 105, PSHACK, "ef", 4}},
     "abcdef", "", 100, 0, "10.0.0.1:51000", {2, 4}},
    {"LongerRetransmissionAddsItsTail",
     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcd", 2}, {true, 101, PSHACK, "abcdXY", 3}},
     "abcdXY", "", 100, 0, "10.0.0.1:51000", {3}},
    {"OutOfOrderArrival",
     {{true, 100, SYN, "", 1}, {true, 201, PSHACK, std::string(50, 'b'), 2}, {true, 101, PSHACK, std::string(100, 'a'), 3}},
     std::string(100, 'a') + std::string(50, 'b'), "", 100, 0, "10.0.0.1:51000", {3, 2}},
    {"OverlapKeepsTheEarlierBytes",
     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcdef", 2}, {true, 104, PSHACK, "XYZgh", 3}},
     "abcdefgh", "", 100, 0, "10.0.0.1:51000", {2, 3}},
    {"HoleLeavesNoMarker",
     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abc", 2}, {true, 110, PSHACK, "xyz", 3}},
     "abcxyz", "", 100, 0, "10.0.0.1:51000", {2, 3}},
    {"SequenceNumbersWrapPast2To32",
     {{true, kNearWrap, SYN, "", 1}, {true, 3, PSHACK, "later", 2}, {true, kNearWrap + 1, PSHACK, "0123456789", 3}},
     "0123456789later", "", kNearWrap, 0, "10.0.0.1:51000", {3, 2}},
    // Without a SYN the first sender is the client and assembly starts at sequence number 1.
    {"NoSynFirstSenderIsClient",
     {{false, 1, PSHACK, "banner", 1}, {true, 1, PSHACK, "hello", 2}, {true, 6, ACK, "", 3}},
     "banner", "hello", 0, 0, "10.0.0.2:80", {1}},
    // Captured mid-flow, far from sequence number 1: assembly starts at the first segment.
    {"MidFlowStartsAtTheFirstSegmentInSequence",
     {{true, 0x90000005u, PSHACK, "world", 1}, {true, 0x90000000u, PSHACK, "hello", 2}},
     "helloworld", "", 0, 0, "10.0.0.1:51000", {2, 1}}
};

TEST(TCPStreamAssembly, PutsEachDirectionBackInSequenceOrder) {
    for (const auto& c : kAssemblyCases) {
        SCOPED_TRACE(c.name);
        auto streams = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(c.packets));
        ASSERT_EQ(streams.size(), 1u);
        const TCPStream& s = streams[0];
        EXPECT_EQ(s.clientToServerData.toString(), c.clientData);
        EXPECT_EQ(s.serverToClientData.toString(), c.serverData);
        EXPECT_EQ(s.clientISN, c.clientISN);
        EXPECT_EQ(s.serverISN, c.serverISN);
        EXPECT_EQ(endpointText(s.clientEndpoint), c.clientEndpoint);
        EXPECT_EQ(s.segments.size(), c.packets.size());
        std::vector<std::int64_t> ids;
        std::int64_t covered = 0;
        for (const auto& span : s.clientByteIndex.spans) {
            ASSERT_EQ(span.packetIds.size(), 1u);
            ids.push_back(span.packetIds[0]);
            EXPECT_EQ(span.range.lowerBound, covered);  // contiguous from 0
            covered = span.range.upperBound;
        }
        EXPECT_EQ(covered, static_cast<std::int64_t>(s.clientToServerData.size()));
        EXPECT_EQ(ids, c.clientSpanPackets);
    }
}

/// Every conversation of `snapshots` built as a stream and summarised: the summary has the
/// stream's figures, in the same order.
void expectSummariesOfTheStreams(const std::vector<PacketSnapshot>& snapshots) {
    std::vector<TCPStream> streams;
    TCPStreamReassembler::forEachStreamOffMain(TCPSegmentGroups(TCPStreamReassembler::extractSegments(snapshots)),
                                               [&](TCPStream&& s) {
                                                   streams.push_back(std::move(s));
                                                   return true;
                                               });
    std::vector<TCPStreamSummary> summaries;
    TCPStreamReassembler::forEachSummaryOffMain(TCPSegmentGroups(TCPStreamReassembler::extractSegments(snapshots)),
                                                [&](TCPStreamSummary&& s) {
                                                    summaries.push_back(std::move(s));
                                                    return true;
                                                });
    ASSERT_EQ(summaries.size(), streams.size());
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const TCPStream& stream = streams[i];
        const TCPStreamSummary& summary = summaries[i];
        SCOPED_TRACE(stream.title());
        EXPECT_EQ(summary.key, stream.key);
        EXPECT_EQ(summary.title(), stream.title());
        EXPECT_EQ(summary.startTime, stream.startTime);
        EXPECT_EQ(summary.endTime, stream.endTime);
        EXPECT_EQ(summary.segmentCount, static_cast<std::int64_t>(stream.segments.size()));
        EXPECT_EQ(summary.clientToServerBytes, static_cast<std::int64_t>(stream.clientToServerData.size()));
        EXPECT_EQ(summary.serverToClientBytes, static_cast<std::int64_t>(stream.serverToClientData.size()));
    }
}

TEST(TCPStreamSummaries, HaveTheFiguresOfTheStreamsBuiltFromTheSameSegments) {
    for (const auto& c : kAssemblyCases) {
        SCOPED_TRACE(c.name);
        expectSummariesOfTheStreams(test::snapshotsOf(c.packets));
    }
    for (const char* capture : {"get-gzip.pcap", "pipelined-requests.pcap", "tls_nss_example.pcap", "pppoe-session-http.pcap",
                                "smtp-attachment-msg.pcap", "ipv6_http.pcap"}) {
        SCOPED_TRACE(capture);
        expectSummariesOfTheStreams(test::snapshotsOf(std::string(capture)));
    }
}

TEST(TCPStreamKeys, ClientPortsSeparateConversationsAndDirectionsShareOne) {
    auto snapshots = test::snapshotsOf({{true, 100, SYN, "", 1, 51000}, {false, 900, SYNACK, "", 2, 51000},
                                        {true, 300, SYN, "", 3, 51001}, {true, 101, PSHACK, "a", 4, 51000}});
    auto found = TCPStreamReassembler::reassembleOffMain(snapshots, std::int64_t{2});
    ASSERT_EQ(found.availableStreams.size(), 2u);
    EXPECT_EQ(found.availableStreams[0].key.shortLabel(), ":51000 \u2194 :80");  // "10.0.0.1" < "10.0.0.2"
    EXPECT_EQ(found.availableStreams[0].packetCount, 3);
    EXPECT_EQ(found.availableStreams[1].key.endpointA.port, 51001);
    EXPECT_EQ(found.availableStreams[1].packetCount, 1);
    ASSERT_TRUE(found.stream);
    EXPECT_EQ(found.stream->key, found.availableStreams[0].key);
    auto byKey = TCPStreamReassembler::reassembleOffMain(snapshots, found.availableStreams[1].key);
    ASSERT_TRUE(byKey);
    EXPECT_EQ(byKey->segments.size(), 1u);
    EXPECT_FALSE(TCPStreamReassembler::reassembleOffMain(snapshots, std::int64_t{99}).stream);
}

TEST(TCPStreamKeys, ManyHostsKeepTheirOwnAddressesAndKeysFollowTheTextOrder) {
    // 3,000 clients, each talking twice in two rounds: more addresses than the extraction keeps
    // rendered, so texts are rendered, remembered, replaced and rendered again.
    std::vector<WirePacket> packets;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3000; ++i) {
            WirePacket p{round == 0, static_cast<std::uint32_t>(100 + round), PSHACK, "x", 1 + round * 10 + i * 0.001};
            p.clientAddress = {10, 1, static_cast<std::uint8_t>(i / 250), static_cast<std::uint8_t>(i % 250)};
            p.serverAddress = {192, 168, static_cast<std::uint8_t>(i % 7), 1};
            packets.push_back(p);
        }
    }
    // "10.0.0.10" sorts before "10.0.0.2" as text: the server's endpoint is endpoint A.
    WirePacket there{true, 1, PSHACK, "a", 30}, back{false, 1, PSHACK, "b", 31};
    there.clientAddress = back.clientAddress = {10, 0, 0, 2};
    there.serverAddress = back.serverAddress = {10, 0, 0, 10};
    packets.push_back(there);
    packets.push_back(back);

    auto streams = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(packets));
    ASSERT_EQ(streams.size(), 3001u);
    for (int i = 0; i < 3000; ++i) {
        const TCPStream& s = streams[static_cast<std::size_t>(i)];
        ASSERT_EQ(s.segments.size(), 2u) << i;
        EXPECT_EQ(s.clientEndpoint.ip, "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250));
        EXPECT_EQ(s.serverEndpoint.ip, "192.168." + std::to_string(i % 7) + ".1");
        EXPECT_EQ(s.key.endpointA, s.clientEndpoint);  // "10.1..." < "192.168..."
    }
    const TCPStream& last = streams.back();
    EXPECT_EQ(last.segments.size(), 2u);
    EXPECT_EQ(last.key.endpointA, (TCPStreamKey::Endpoint{"10.0.0.10", 80}));
    EXPECT_EQ(last.title(), "10.0.0.2:51000 \u2192 10.0.0.10:80");
    EXPECT_EQ(last.clientToServerData.toString(), "a");
    EXPECT_EQ(last.serverToClientData.toString(), "b");
}

TEST(TCPStreamProgress, ReportsEveryHalfPercentAndOnceAtTheEnd) {
    std::vector<WirePacket> packets;
    for (int i = 0; i < 1000; ++i) packets.push_back({true, static_cast<std::uint32_t>(1 + i), PSHACK, "x", 1 + i * 0.001});
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
    TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(packets),
                                               [&](std::int64_t done, std::int64_t total) { calls.emplace_back(done, total); });
    ASSERT_FALSE(calls.empty());
    EXPECT_LE(calls.size(), 201u);
    EXPECT_EQ(calls.back(), std::make_pair(std::int64_t{1000}, std::int64_t{1000}));
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
}

WirePacket fromClient(std::string payload, double time) { return {true, 0, 0, std::move(payload), time, 40000, 9999, true}; }
WirePacket fromServer(std::string payload, double time) { return {false, 0, 0, std::move(payload), time, 40000, 9999, true}; }

UDPFlow onlyFlow(const std::vector<WirePacket>& packets) {
    auto flows = UDPFlowReassembler::reassembleAllOffMain(test::snapshotsOf(packets));
    EXPECT_EQ(flows.size(), 1u);
    return flows.empty() ? UDPFlow{} : flows[0];
}

TEST(UDPFlows, RepliesMatchRequestsFirstInFirstOut) {
    // packets; per message 'q' (request) or 'r' (reply); per pairing "request>reply status summary"
    const std::vector<std::tuple<std::vector<WirePacket>, std::string, std::vector<std::string>>> cases = {
        {{fromClient("a", 1), fromClient("bb", 2), fromServer("ccc", 3), fromServer("dddd", 4)},
         "qqrr",
         {"0>2 matched UDP 1B \u2192 3B", "1>3 matched UDP 2B \u2192 4B"}},
        // The capture began mid-exchange: the first sender is the client, so its reply reads as a request.
        {{fromServer("late", 1), fromClient("next", 2)}, "qr", {"0>1 matched UDP 4B \u2192 4B"}},
        {{fromClient("1", 1), fromClient("2", 2), fromClient("3", 3), fromServer("r", 4)},
         "qqqr",
         {"0>3 matched UDP 1B \u2192 1B", "1>- unmatched UDP request (no reply)", "2>- unmatched UDP request (no reply)"}},
    };
    for (const auto& [packets, expectedKinds, expectedPairings] : cases) {
        UDPFlow flow = onlyFlow(packets);
        std::string kinds;
        for (const auto& m : UDPFlowReassembler::messages(flow)) kinds += m.kind == StreamMessageKind::request ? 'q' : 'r';
        EXPECT_EQ(kinds, expectedKinds);
        std::vector<std::string> pairings;
        for (const auto& p : UDPFlowReassembler::pairings(flow).value_or(std::vector<Pairing>{}))
            pairings.push_back(std::to_string(p.requestIndex) + ">" + (p.replyIndex ? std::to_string(*p.replyIndex) : "-") +
                               (p.status == PairingStatus::matched     ? " matched "
                                : p.status == PairingStatus::unmatched ? " unmatched "
                                                                       : " other ") + p.summary);
        EXPECT_EQ(pairings, expectedPairings) << expectedKinds;
    }
    UDPFlow repliesOnly;
    repliesOnly.datagrams.push_back(UDPDatagram{1, TCPSegment::Direction::serverToClient, Data::fromString("r"), 1, "UDP", std::nullopt});
    EXPECT_FALSE(UDPFlowReassembler::pairings(repliesOnly));
}

TEST(UDPFlows, PaddingStaysInThePayloadAndTheLabelFallsBackToUDP) {
    WirePacket padded = fromClient("hi", 1);
    padded.padding = 60 - (14 + 20 + 8 + 2);
    UDPFlow flow = onlyFlow({padded});
    ASSERT_EQ(flow.datagrams.size(), 1u);
    EXPECT_EQ(flow.datagrams[0].payload.size(), 2u + padded.padding);
    EXPECT_EQ(flow.protocolLabel(), "UDP");
    EXPECT_EQ(UDPFlowReassembler::messages(flow)[0].summary, "UDP 18 bytes");
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
    EXPECT_EQ(byKey->totalBytes(), found.flow->totalBytes());
}

}  // namespace
}  // namespace qor
