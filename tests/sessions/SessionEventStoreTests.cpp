// Raw session events packed between classification and grouping come back field for field:
// every optional value present or absent, texts whose lengths take several bytes, detail rows,
// events that fill several blocks and one larger than a block, and the events of runs appended
// in turn.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "SessionEventStore.hpp"

namespace qor::test::sessions {
namespace {

/// An event with every field set, its texts `textLength` long; `n` varies the values.
RawSessionEvent fullEvent(int n, std::size_t textLength = 20) {
    auto text = [&](char c) { return std::string(textLength, c) + std::to_string(n); };
    RawSessionEvent e;
    e.direction = SessionDirection::acToClient;
    e.phase = SessionPhase::teardown;
    e.label = text('l');
    e.annotation = text('a');
    e.timestamp = 1700000000.25 + n;
    e.detail = {{0, "Code", "Terminate-Request (5)"}, {1, text('n'), ""}, {8, "", text('v')}};
    e.packetId = 1000 + n;
    e.srcMAC = "00:11:22:33:44:55";
    e.dstMAC = "ff:ff:ff:ff:ff:ff";
    e.sessionID = static_cast<std::uint16_t>(0xFFFF - n);
    e.protocolName = "LCP";
    e.byteCount = 1514 + n;
    e.username = text('u');
    e.authResult = AuthResult::failure;
    e.assignedIP = "10.0.0." + std::to_string(n % 250);
    e.acName = text('c');
    e.serviceName = "";  // present and empty is not absent
    e.mru = 1492;
    e.transport = SessionTransport::l2tp;
    e.ipPair = "192.0.2.1|198.51.100.2";
    e.l2tpTunnelID = 1, e.l2tpSessionID = 2, e.l2tpMsgType = 0, e.l2tpMsgCode = 4, e.l2tpAssignedSessionID = 65535,
    e.l2tpAssignedTunnelID = 6;
    e.hostName = text('h');
    e.radiusUserName = text('r');
    e.aaaPeer = "203.0.113.9";
    e.nasIP = "203.0.113.1";
    e.acctSessionID = text('s');
    e.acctStatus = AcctStatus::stop;
    e.radiusCode = 255;
    e.radiusIdentifier = 0;
    return e;
}

TEST(SessionEventStore, EveryFieldComesBackPresentOrAbsent) {
    SessionEventStore store;
    const RawSessionEvent bare;  // every optional absent, every text empty
    const RawSessionEvent full = fullEvent(1);
    const RawSessionEvent longTexts = fullEvent(2, 70000);  // lengths of three bytes
    RawSessionEvent some = fullEvent(3, 127);                // a length just below two bytes
    some.annotation.reset(), some.mru.reset(), some.l2tpMsgType.reset(), some.acctSessionID.reset();
    some.radiusIdentifier.reset(), some.detail.clear(), some.label = std::string(128, 'x');

    for (const RawSessionEvent* e : {&bare, &full, &longTexts, const_cast<const RawSessionEvent*>(&some)}) store.append(*e);
    ASSERT_EQ(store.size(), 4u);
    EXPECT_EQ(store.unpack(0), bare);
    EXPECT_EQ(store.unpack(1), full);
    EXPECT_EQ(store.unpack(2), longTexts);
    EXPECT_EQ(store.unpack(3), some);
    EXPECT_EQ(store.timestamp(1), full.timestamp);

    // Read in place, an optional text is found past the present ones packed before it, and an
    // absent one is absent.
    const PackedSessionEvent packed = store.event(3);
    EXPECT_EQ(packed.label, some.label);
    EXPECT_EQ(packed.annotation(), std::nullopt);
    EXPECT_EQ(packed.serviceName(), std::optional<std::string_view>(""));
    EXPECT_EQ(packed.nasIP(), std::optional<std::string_view>(*some.nasIP));
    EXPECT_EQ(packed.acctSessionID(), std::nullopt);
    EXPECT_EQ(packed.l2tpMsgType, std::nullopt);
    EXPECT_EQ(packed.l2tpMsgCode, some.l2tpMsgCode);
    EXPECT_EQ(store.event(1).detail(), full.detail);
}

TEST(SessionEventStore, EventsFillSeveralBlocksAndALargeOneGetsItsOwn) {
    SessionEventStore store;
    constexpr int kEvents = 30000;  // about 400 bytes each: three blocks
    // Indices count the appends: the large event takes the one after event kEvents / 2.
    auto indexOf = [](int n) { return static_cast<std::size_t>(n > kEvents / 2 ? n + 1 : n); };
    for (int n = 0; n < kEvents; ++n) {
        ASSERT_EQ(store.append(fullEvent(n)), indexOf(n));
        if (n == kEvents / 2) store.append(fullEvent(n, std::size_t{5} << 20));  // larger than a block
    }
    EXPECT_GT(store.packedBytes(), std::size_t{12} << 20);
    EXPECT_EQ(store.unpack(kEvents / 2 + 1), fullEvent(kEvents / 2, std::size_t{5} << 20));
    for (int n = 0; n < kEvents; ++n) {
        ASSERT_EQ(store.unpack(indexOf(n)), fullEvent(n)) << n;
        ASSERT_EQ(store.timestamp(indexOf(n)), fullEvent(n).timestamp);
    }
}

TEST(SessionEventStore, InterleavedRunsKeepEachEventAndTheIndicesOfTheAppends) {
    // Many small runs (sessions) and one that grows past the largest chunk (a tunnel), appended
    // in turn, with an event larger than any chunk in the middle of a small run: every event
    // comes back at the index of its append, and each run's events lie one after another.
    SessionEventStore store;
    constexpr int kSmallRuns = 500, kRounds = 60;
    std::vector<SessionEventStore::Run> small(kSmallRuns);
    SessionEventStore::Run large;
    std::vector<std::pair<std::size_t, RawSessionEvent>> appended;
    std::vector<std::size_t> largeRun;
    for (int round = 0; round < kRounds; ++round) {
        for (int r = 0; r < kSmallRuns; r += 7) {
            RawSessionEvent e = fullEvent(round * kSmallRuns + r, round == kRounds / 2 && r == 0 ? 300000 : 5);
            appended.emplace_back(store.append(e, small[static_cast<std::size_t>(r)]), std::move(e));
        }
        for (int k = 0; k < 20; ++k) {
            RawSessionEvent e = fullEvent(-round * 20 - k);
            largeRun.push_back(store.append(e, large));
            appended.emplace_back(largeRun.back(), std::move(e));
        }
    }
    ASSERT_EQ(store.size(), appended.size());
    for (std::size_t i = 0; i < appended.size(); ++i) {
        ASSERT_EQ(appended[i].first, i);
        ASSERT_EQ(store.unpack(i), appended[i].second) << i;
    }
    // Within a chunk, the next event of a run starts where the last one ended (an event of
    // these takes a few hundred bytes): only a new chunk breaks the run.
    std::size_t adjacent = 0;
    for (std::size_t k = 1; k < largeRun.size(); ++k) {
        const char* before = store.event(largeRun[k - 1]).srcMAC.data();
        const char* after = store.event(largeRun[k]).srcMAC.data();
        adjacent += after > before && after - before < 1024;
    }
    EXPECT_GT(adjacent, largeRun.size() * 9 / 10);
}

}  // namespace
}  // namespace qor::test::sessions
