// TCP conversations written byte by byte, read by the real reader, analysed by the real plug-in
// and put together by the reassembler: the cases where ordering, overlap and the handshake matter.

#include <gtest/gtest.h>

#include "QORModels/streams/TCPStreamReassembler.hpp"
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

class Assembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(Assembly, PutsEachDirectionBackInSequenceOrder) {
    const auto& c = GetParam();
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

const std::uint32_t kNearWrap = 0xFFFFFFF8u;

INSTANTIATE_TEST_SUITE_P(
    Cases, Assembly,
    ::testing::Values(
        // The SYN+ACK is first in the file (and earlier in time): the SYN still names the client.
        AssemblyCase{"SynAckBeforeSyn",
                     {{false, 5000, SYNACK, "", 1.0}, {true, 100, SYN, "", 1.1}, {true, 101, PSHACK, "GET /", 1.2},
                      {false, 5001, PSHACK, "200 OK", 1.3}},
                     "GET /", "200 OK", 100, 5000, "10.0.0.1:51000", {3}},
        AssemblyCase{"SameRetransmissionAddsNothing",
                     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcd", 2}, {true, 101, PSHACK, "abcd", 3}, {true, 105, PSHACK, "ef", 4}},
                     "abcdef", "", 100, 0, "10.0.0.1:51000", {2, 4}},
        AssemblyCase{"LongerRetransmissionAddsItsTail",
                     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcd", 2}, {true, 101, PSHACK, "abcdXY", 3}},
                     "abcdXY", "", 100, 0, "10.0.0.1:51000", {3}},
        AssemblyCase{"OutOfOrderArrival",
                     {{true, 100, SYN, "", 1}, {true, 201, PSHACK, std::string(50, 'b'), 2}, {true, 101, PSHACK, std::string(100, 'a'), 3}},
                     std::string(100, 'a') + std::string(50, 'b'), "", 100, 0, "10.0.0.1:51000", {3, 2}},
        AssemblyCase{"OverlapKeepsTheEarlierBytes",
                     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abcdef", 2}, {true, 104, PSHACK, "XYZgh", 3}},
                     "abcdefgh", "", 100, 0, "10.0.0.1:51000", {2, 3}},
        AssemblyCase{"HoleLeavesNoMarker",
                     {{true, 100, SYN, "", 1}, {true, 101, PSHACK, "abc", 2}, {true, 110, PSHACK, "xyz", 3}},
                     "abcxyz", "", 100, 0, "10.0.0.1:51000", {2, 3}},
        AssemblyCase{"SequenceNumbersWrapPast2To32",
                     {{true, kNearWrap, SYN, "", 1}, {true, 3, PSHACK, "later", 2}, {true, kNearWrap + 1, PSHACK, "0123456789", 3}},
                     "0123456789later", "", kNearWrap, 0, "10.0.0.1:51000", {3, 2}},
        AssemblyCase{"PaddingAfterTheDatagramIsDropped",
                     {{true, 100, SYN, "", 1, 51000, 80, false, 6}, {true, 101, PSHACK, "hi", 2, 51000, 80, false, 4}},
                     "hi", "", 100, 0, "10.0.0.1:51000", {2}},
        // Without a SYN the first sender is the client and assembly starts at sequence number 1.
        AssemblyCase{"NoSynFirstSenderIsClient",
                     {{false, 1, PSHACK, "banner", 1}, {true, 1, PSHACK, "hello", 2}, {true, 6, ACK, "", 3}},
                     "banner", "hello", 0, 0, "10.0.0.2:80", {1}},
        // Captured mid-flow, far from sequence number 1: assembly starts at the first segment.
        AssemblyCase{"MidFlowStartsAtTheFirstSegmentInSequence",
                     {{true, 0x90000005u, PSHACK, "world", 1}, {true, 0x90000000u, PSHACK, "hello", 2}},
                     "helloworld", "", 0, 0, "10.0.0.1:51000", {2, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(found.stream->title(), "10.0.0.1:51000 \u2192 10.0.0.2:80");

    auto byKey = TCPStreamReassembler::reassembleOffMain(snapshots, found.availableStreams[1].key);
    ASSERT_TRUE(byKey);
    EXPECT_EQ(byKey->segments.size(), 1u);
    EXPECT_FALSE(TCPStreamReassembler::reassembleOffMain(snapshots, std::int64_t{99}).stream);
}

TEST(TCPStreamKeys, NothingToReassembleGivesNothing) {
    std::vector<PacketSnapshot> none;
    EXPECT_TRUE(TCPStreamReassembler::reassembleAllOffMain(none).empty());
    EXPECT_TRUE(TCPStreamReassembler::reassembleOffMain(none, std::int64_t{1}).availableStreams.empty());
    // UDP carries no TCP segment.
    auto udpOnly = test::snapshotsOf({{true, 0, 0, "query", 1, 5353, 53, true}});
    EXPECT_TRUE(TCPStreamReassembler::reassembleAllOffMain(udpOnly).empty());
}

TEST(TCPStreamProgress, ReportsEveryHalfPercentAndOnceAtTheEnd) {
    std::vector<WirePacket> packets;
    for (int i = 0; i < 1000; ++i) packets.push_back({true, static_cast<std::uint32_t>(1 + i), PSHACK, "x", 1 + i * 0.001});
    auto snapshots = test::snapshotsOf(packets);
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
    auto streams = TCPStreamReassembler::reassembleAllOffMain(snapshots, [&](std::int64_t done, std::int64_t total) {
        calls.emplace_back(done, total);
    });
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].clientToServerData.size(), 1000u);
    ASSERT_FALSE(calls.empty());
    EXPECT_LE(calls.size(), 201u);
    EXPECT_EQ(calls.back(), std::make_pair(std::int64_t{1000}, std::int64_t{1000}));
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i - 1].first, calls[i].first);
}

TEST(TCPStreamLocate, ByteRangesMapBackToTheirPackets) {
    auto streams = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf(
        {{true, 100, SYN, "", 1}, {true, 106, PSHACK, "world", 2}, {true, 101, PSHACK, "hello", 3}}));
    ASSERT_EQ(streams.size(), 1u);
    auto where = streams[0].locate({3, 7}, TCPSegment::Direction::clientToServer);
    EXPECT_EQ(where.packetIds, (std::vector<std::int64_t>{3, 2}));
    ASSERT_TRUE(where.timestamp);
    EXPECT_NEAR(*where.timestamp - 1700000000, 2.0, 1e-6);
    EXPECT_FALSE(streams[0].locate({0, 4}, TCPSegment::Direction::serverToClient).timestamp);
}

}  // namespace
}  // namespace qor
