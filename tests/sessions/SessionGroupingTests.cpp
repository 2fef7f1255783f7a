// Grouping raw events into sessions: PPPoE by MAC pair, L2TP by IP pair and ICRP-joined ids,
// RADIUS merged by user name; and the grouping's cost at scale.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "sessions/SessionTestSupport.hpp"

namespace qor::test::sessions {
namespace {

constexpr const char* kClient = "02:00:00:00:00:01";
constexpr const char* kAC = "02:00:00:00:00:02";

RawSessionEvent l2tpEvent(std::int64_t id, double time, bool fromLAC, std::uint16_t tunnel, std::uint16_t session,
                          std::optional<std::uint16_t> type, std::optional<std::uint16_t> assigned = {}) {
    RawSessionEvent e = pppoeEvent(id, time, fromLAC ? kClient : kAC, fromLAC ? kAC : kClient, type ? "L2TP" : "IP",
                                   type ? SessionPhase::discovery : SessionPhase::data, session);
    e.transport = SessionTransport::l2tp;
    e.ipPair = "192.0.2.20|198.51.100.30";
    e.l2tpTunnelID = tunnel;
    e.l2tpSessionID = session;
    e.l2tpMsgType = type;
    e.l2tpAssignedSessionID = assigned;
    return e;
}

TEST(SessionGrouping, APPPoESessionSummary) {
    std::vector<RawSessionEvent> events;
    events.push_back(pppoeEvent(1, 10.0, kClient, kAC, "PPPoED", SessionPhase::discovery));
    auto pads = pppoeEvent(2, 10.1, kAC, kClient, "PPPoED", SessionPhase::discovery, 0x0042);
    pads.acName = "BRAS-7";
    events.push_back(pads);
    auto lcp = pppoeEvent(3, 10.2, kClient, kAC, "LCP", SessionPhase::link, 0x0042);
    lcp.mru = 1492;
    events.push_back(lcp);
    auto lcp2 = lcp;
    lcp2.packetId = 4;
    lcp2.mru = 1480;
    events.push_back(lcp2);
    auto chapChallenge = pppoeEvent(5, 10.3, kAC, kClient, "CHAP", SessionPhase::auth, 0x0042);
    chapChallenge.username = "bras-7";  // the authenticator's name
    events.push_back(chapChallenge);
    auto chapResponse = pppoeEvent(6, 10.4, kClient, kAC, "CHAP", SessionPhase::auth, 0x0042);
    chapResponse.username = "alice";
    events.push_back(chapResponse);
    auto failure = pppoeEvent(7, 10.5, kAC, kClient, "CHAP", SessionPhase::auth, 0x0042);
    failure.authResult = AuthResult::failure;
    events.push_back(failure);
    auto success = pppoeEvent(8, 10.6, kAC, kClient, "CHAP", SessionPhase::auth, 0x0042);
    success.authResult = AuthResult::success;
    events.push_back(success);
    auto ipcp = pppoeEvent(9, 10.7, kAC, kClient, "IPCP", SessionPhase::network, 0x0042);
    ipcp.assignedIP = "100.64.0.9";
    events.push_back(ipcp);
    events.push_back(pppoeEvent(10, 11.0, kAC, kClient, "PPPoED", SessionPhase::teardown, 0x0042));

    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 1u);
    const auto& s = sessions[0].summary;
    EXPECT_EQ(s.clientMAC, kClient);
    EXPECT_EQ(s.acMAC, kAC);
    EXPECT_EQ(s.sessionID, 0x0042);
    EXPECT_EQ(s.acName, "BRAS-7");
    EXPECT_EQ(s.username, "alice");  // the client's name, not the authenticator's
    EXPECT_EQ(s.authProtocol, "CHAP");
    EXPECT_EQ(s.authResult, AuthResult::success);  // the last result counts
    EXPECT_EQ(s.mru, 1492);                        // the first MRU counts
    EXPECT_EQ(s.assignedIP, "100.64.0.9");
    EXPECT_EQ(s.dataPacketCount, 0);
    EXPECT_EQ(s.dataByteCount, 0);
    EXPECT_DOUBLE_EQ(s.startTime, 10.0);
    EXPECT_DOUBLE_EQ(s.duration(), 1.0);
    EXPECT_EQ(sessions[0].events[1].direction, SessionDirection::acToClient);
    EXPECT_EQ(sessions[0].events[2].direction, SessionDirection::clientToAC);
    EXPECT_EQ(sessions[0].id(), std::string(kClient) + "-" + kAC + "-66");
    EXPECT_EQ(sessions[0].title(), "alice \u00b7 0x0042");
}

TEST(SessionGrouping, BothDirectionsShareASessionAndEventsAreSortedByTime) {
    // Given out of time order, the AC's packet first: the client is the sender of the earliest.
    std::vector<RawSessionEvent> events = {pppoeEvent(2, 5.0, kAC, kClient, "LCP", SessionPhase::link, 7),
                                           pppoeEvent(1, 4.0, kClient, kAC, "LCP", SessionPhase::link, 7)};
    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].summary.clientMAC, kClient);
    EXPECT_EQ(sessions[0].events[0].id, 1);
    EXPECT_EQ(sessions[0].title(), std::string(kClient) + " \u00b7 0x0007");  // no user name
}

TEST(SessionGrouping, AnL2TPEventWithoutAnIPPairIsGroupedByItsMACs) {
    auto a = l2tpEvent(1, 1.0, true, 0, 0, 1);  // SCCRQ assigning tunnel 5
    a.l2tpAssignedTunnelID = 5;
    auto b = l2tpEvent(2, 2.0, false, 5, 0, 2);  // SCCRP to tunnel 5, assigning 9
    b.l2tpAssignedTunnelID = 9;
    a.ipPair.reset();
    b.ipPair.reset();
    auto sessions = SubscriberSessionBuilder::group({a, b});
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].events.size(), 2u);
}

TEST(SessionGrouping, AnL2TPTunnelCarryingTwoSessions) {
    std::vector<RawSessionEvent> events;
    auto sccrq = l2tpEvent(1, 1.0, true, 0, 0, 1);
    sccrq.hostName = "lac-1";
    sccrq.l2tpAssignedTunnelID = 5;
    events.push_back(sccrq);
    auto sccrp = l2tpEvent(2, 1.1, false, 5, 0, 2);
    sccrp.hostName = "lns-1";
    sccrp.l2tpAssignedTunnelID = 9;
    events.push_back(sccrp);
    events.push_back(l2tpEvent(3, 1.2, true, 9, 0, 3));
    // First session: the LAC's id 100, the LNS's 200.
    events.push_back(l2tpEvent(4, 2.0, true, 9, 0, 10, 100));
    events.push_back(l2tpEvent(5, 2.1, false, 5, 100, 11, 200));
    events.push_back(l2tpEvent(6, 2.2, true, 9, 200, 12));
    events.push_back(l2tpEvent(7, 2.3, true, 9, 200, std::nullopt));   // data to the LNS
    events.push_back(l2tpEvent(8, 2.4, false, 5, 100, std::nullopt));  // data to the LAC
    // Second session: ids 300 and 40 (the smaller becomes the set's representative).
    events.push_back(l2tpEvent(9, 3.0, true, 9, 0, 10, 300));
    events.push_back(l2tpEvent(10, 3.1, false, 5, 300, 11, 40));
    events.push_back(l2tpEvent(11, 3.2, false, 5, 300, 14));
    events.push_back(l2tpEvent(12, 4.0, true, 9, 0, 4));

    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 2u);
    for (const auto& s : sessions) {
        EXPECT_EQ(s.summary.transport, SessionTransport::l2tp);
        EXPECT_EQ(s.summary.clientMAC, kClient);  // the LAC
        EXPECT_EQ(s.summary.lacHost, "lac-1");
        EXPECT_EQ(s.summary.lnsHost, "lns-1");
        EXPECT_EQ(s.summary.tunnelIDs, "5, 9");
        // The tunnel's own messages are in both ladders.
        EXPECT_TRUE(std::any_of(s.events.begin(), s.events.end(), [](const auto& e) { return e.id == 1; }));
        EXPECT_TRUE(std::any_of(s.events.begin(), s.events.end(), [](const auto& e) { return e.id == 12; }));
    }
    EXPECT_EQ(sessions[0].summary.sessionID, 100);
    EXPECT_EQ(sessions[0].summary.dataPacketCount, 2);
    EXPECT_DOUBLE_EQ(sessions[0].summary.startTime, 2.0);
    EXPECT_DOUBLE_EQ(sessions[0].summary.endTime, 2.4);
    EXPECT_EQ(sessions[1].summary.sessionID, 300);
    EXPECT_EQ(sessions[1].events.size(), 3u + 3u + 1u);  // SCCRQ, SCCRP, SCCCN, its three, StopCCN
    EXPECT_EQ(sessions[0].events[3].direction, SessionDirection::clientToAC);
}

TEST(SessionGrouping, RADIUSEventsJoinTheSessionsOfTheirUser) {
    std::vector<RawSessionEvent> events;
    auto pap = pppoeEvent(1, 1.0, kClient, kAC, "PAP", SessionPhase::auth, 3);
    pap.username = "Alice@ISP";
    events.push_back(pap);
    events.push_back(pppoeEvent(4, 9.0, kAC, kClient, "PPPoED", SessionPhase::teardown, 3));
    auto radius = [](std::int64_t id, double time, const char* user, std::optional<std::string> acct, SessionDirection d) {
        RawSessionEvent e;
        e.packetId = id;
        e.timestamp = time;
        e.protocolName = "RADIUS";
        e.phase = SessionPhase::auth;
        e.radiusUserName = user;
        e.acctSessionID = std::move(acct);
        e.direction = d;
        e.aaaPeer = "198.51.100.10";
        e.annotation = "AAA 198.51.100.10";
        e.label = "RADIUS";
        return e;
    };
    events.push_back(radius(2, 1.1, "alice@isp", std::nullopt, SessionDirection::clientToAC));
    auto accept = radius(3, 1.2, "ALICE@isp", std::string("0000002A"), SessionDirection::acToClient);
    accept.authResult = AuthResult::success;
    events.push_back(accept);
    events.push_back(radius(5, 9.5, "alice@isp", std::string("0000002B"), SessionDirection::clientToAC));
    events.push_back(radius(6, 1.5, "bob@isp", std::string("00000099"), SessionDirection::clientToAC));

    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 1u);
    const auto& s = sessions[0];
    ASSERT_EQ(s.events.size(), 5u);
    std::vector<std::int64_t> ids;
    for (const auto& e : s.events) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3, 4, 5}));  // merged in time order
    EXPECT_EQ(s.events[1].annotation, "AAA 198.51.100.10");
    EXPECT_EQ(s.events[2].direction, SessionDirection::acToClient);
    EXPECT_EQ(s.summary.acctSessionID, "0000002A");  // the one within the session's time
    EXPECT_EQ(s.summary.authResult, AuthResult::success);
}

TEST(SessionGrouping, SessionsComeInTheOrderOfTheirStart) {
    std::vector<RawSessionEvent> events = {pppoeEvent(1, 5.0, "02:00:00:00:00:0a", kAC, "LCP", SessionPhase::link, 1),
                                           pppoeEvent(2, 3.0, "02:00:00:00:00:0b", kAC, "LCP", SessionPhase::link, 2)};
    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].summary.sessionID, 2);
}

TEST(SessionGrouping, AHundredThousandPPPoESessionsAndEverySessionIdStayLinear) {
    using Clock = std::chrono::steady_clock;
    auto pppoeRun = [](std::size_t sessions) {
        std::vector<RawSessionEvent> events;
        events.reserve(sessions * 3);
        for (std::size_t i = 0; i < sessions; ++i) {
            char client[18];
            std::snprintf(client, sizeof client, "02:%02zx:%02zx:%02zx:00:01", (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
            const auto sid = static_cast<std::uint16_t>(i % 65535 + 1);
            for (int k = 0; k < 3; ++k)
                events.push_back(pppoeEvent(static_cast<std::int64_t>(i * 3 + k), static_cast<double>(i) + k * 0.1,
                                            k == 1 ? kAC : client, k == 1 ? client : kAC, "LCP", SessionPhase::link, sid));
        }
        auto start = Clock::now();
        auto built = SubscriberSessionBuilder::group(std::move(events));
        EXPECT_EQ(built.size(), sessions);
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    // A chain of ICRP joins over every session id: 1-2, 2-3, ... 65534-65535, one set.
    auto l2tpRun = [](std::uint32_t ids) {
        std::vector<RawSessionEvent> events;
        for (std::uint32_t id = 1; id < ids; ++id)
            events.push_back(l2tpEvent(id, id, false, 5, static_cast<std::uint16_t>(id), 11, static_cast<std::uint16_t>(id + 1)));
        auto start = Clock::now();
        auto built = SubscriberSessionBuilder::group(std::move(events));
        EXPECT_EQ(built.size(), 1u);
        if (!built.empty()) {
            EXPECT_EQ(built[0].events.size(), ids - 1);
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const double small = pppoeRun(25000), large = pppoeRun(100000);
    const double fewIds = l2tpRun(16384), allIds = l2tpRun(65536);
    // Four times the input takes about four times as long; a quadratic grouping takes sixteen.
    // The bound leaves room for a shared, noisy machine.
    EXPECT_LT(large, 10.0 * small + 0.5);
    EXPECT_LT(allIds, 10.0 * fewIds + 0.5);
}

}  // namespace
}  // namespace qor::test::sessions
