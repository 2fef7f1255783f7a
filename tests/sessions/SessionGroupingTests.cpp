// Grouping raw events into sessions: PPPoE by MAC pair, L2TP by IP pair and ICRP-joined ids,
// RADIUS merged by user name; and the grouping's cost at scale.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sessions/SessionTestSupport.hpp"

namespace qor::test::sessions {
namespace {

/// A PPPoE event from `src` to `dst`.
RawSessionEvent pppoeEvent(std::int64_t id, double time, std::string src, std::string dst, std::string protocol,
                           SessionPhase phase, std::uint16_t session = 0) {
    RawSessionEvent e;
    e.packetId = id, e.timestamp = time, e.srcMAC = std::move(src), e.dstMAC = std::move(dst);
    e.label = protocol, e.protocolName = std::move(protocol), e.phase = phase, e.sessionID = session;
    e.transport = SessionTransport::pppoe, e.byteCount = 60;
    return e;
}

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
    auto event = [](std::int64_t id, bool fromClient, const char* protocol, SessionPhase phase, std::uint16_t session = 0x0042) {
        return pppoeEvent(id, 10.0 + (id - 1) * 0.1, fromClient ? kClient : kAC, fromClient ? kAC : kClient, protocol, phase,
                          session);
    };
    // Given out of time order: the client is the sender of the earliest packet.
    std::vector<RawSessionEvent> events = {event(2, false, "PPPoED", SessionPhase::discovery),
                                           event(1, true, "PPPoED", SessionPhase::discovery, 0)};
    for (std::int64_t id : {3, 4}) {
        events.push_back(event(id, true, "LCP", SessionPhase::link));
        events.back().mru = id == 3 ? 1492 : 1480;
    }
    for (auto result : {AuthResult::failure, AuthResult::success}) {
        events.push_back(event(result == AuthResult::failure ? 7 : 8, false, "CHAP", SessionPhase::auth));
        events.back().authResult = result;
    }
    events.back().username = "alice";
    events.push_back(event(11, false, "PPPoED", SessionPhase::teardown));
    // The RADIUS events of the user, whatever the case of the name's letters, join the session.
    for (std::int64_t id : {9, 12}) {
        events.push_back(event(id, true, "RADIUS", SessionPhase::auth));
        events.back().radiusUserName = id == 9 ? "ALICE" : "bob";
    }

    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 1u);
    const auto& s = sessions[0].summary;
    EXPECT_EQ(s.clientMAC, kClient);
    EXPECT_EQ(s.acMAC, kAC);
    EXPECT_EQ(s.sessionID, 0x0042);
    EXPECT_EQ(s.authResult, AuthResult::success);  // the last result counts
    EXPECT_EQ(s.mru, 1492);                        // the first MRU counts
    EXPECT_DOUBLE_EQ(s.startTime, 10.0);
    EXPECT_DOUBLE_EQ(s.duration(), 1.0);
    std::vector<std::int64_t> ids;
    for (const auto& e : sessions[0].events) ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3, 4, 7, 8, 9, 11}));
    EXPECT_EQ(sessions[0].events[1].direction, SessionDirection::acToClient);
    EXPECT_EQ(sessions[0].events[2].direction, SessionDirection::clientToAC);
    EXPECT_EQ(sessions[0].id(), std::string(kClient) + "-" + kAC + "-66");
    EXPECT_EQ(sessions[0].title(), "alice \u00b7 0x0042");
}

TEST(SessionGrouping, SessionsComeInTheOrderOfTheirStartAndAreTitledByTheClientWithoutAUser) {
    std::vector<RawSessionEvent> events = {pppoeEvent(1, 5.0, "02:00:00:00:00:0a", kAC, "LCP", SessionPhase::link, 1),
                                           pppoeEvent(2, 3.0, "02:00:00:00:00:0b", kAC, "LCP", SessionPhase::link, 7)};
    // L2TP events without an IP pair are grouped by their MAC pair.
    for (bool fromLAC : {true, false}) {
        events.push_back(l2tpEvent(fromLAC ? 3 : 4, fromLAC ? 4.0 : 4.5, fromLAC, fromLAC ? 0 : 5, 0, fromLAC ? 1 : 2));
        events.back().l2tpAssignedTunnelID = fromLAC ? 5 : 9;  // SCCRQ assigning tunnel 5, SCCRP to it assigning 9
        events.back().ipPair.reset();
    }
    auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0].title(), "02:00:00:00:00:0b \u00b7 0x0007");
    EXPECT_EQ(sessions[1].events.size(), 2u);
    EXPECT_EQ(sessions[1].summary.transport, SessionTransport::l2tp);
}

TEST(SessionGrouping, ASubscriberWhoDialsAgainOnTheSameMACPairIsOneSession) {
    std::vector<RawSessionEvent> events;
    std::int64_t id = 0;
    for (std::uint16_t session : {0x0010, 0x0011}) {
        const double start = session == 0x0010 ? 1.0 : 100.0;
        events.push_back(pppoeEvent(++id, start, kClient, kAC, "PPPoED", SessionPhase::discovery));
        events.push_back(pppoeEvent(++id, start + 0.1, kAC, kClient, "PPPoED", SessionPhase::discovery, session));
        events.push_back(pppoeEvent(++id, start + 0.2, kClient, kAC, "IPv4", SessionPhase::data, session));
        events.push_back(pppoeEvent(++id, start + 0.3, kAC, kClient, "PPPoED", SessionPhase::teardown, session));
    }
    const auto sessions = SubscriberSessionBuilder::group(events);
    ASSERT_EQ(sessions.size(), 1u);
    const SessionSummary& s = sessions[0].summary;
    EXPECT_EQ(s.sessionID, 0x0011);  // the last one
    EXPECT_EQ(s.clientMAC, kClient);
    EXPECT_EQ(s.dataPacketCount, 2);
    EXPECT_DOUBLE_EQ(s.startTime, 1.0);
    EXPECT_DOUBLE_EQ(s.endTime, 100.3);
    EXPECT_EQ(std::count_if(sessions[0].events.begin(), sessions[0].events.end(),
                            [](const SessionEvent& e) { return e.phase == SessionPhase::teardown; }),
              2);
}

TEST(SessionGrouping, EventsGivenInPartsGroupAsTheyDoInOneList) {
    // A capture read window by window hands its events over in parts; where the parts split the
    // list must not matter, even inside a session or between a RADIUS request and its reply.
    auto same = [](const std::vector<SubscriberSession>& a, const std::vector<SubscriberSession>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const SessionSummary &x = a[i].summary, &y = b[i].summary;
            if (a[i].key != b[i].key || a[i].id() != b[i].id() || a[i].events.size() != b[i].events.size()) return false;
            if (x.username != y.username || x.authResult != y.authResult || x.assignedIP != y.assignedIP ||
                x.acctSessionID != y.acctSessionID || x.tunnelIDs != y.tunnelIDs || x.startTime != y.startTime ||
                x.dataByteCount != y.dataByteCount)
                return false;
            for (std::size_t k = 0; k < a[i].events.size(); ++k) {
                const SessionEvent &e = a[i].events[k], &f = b[i].events[k];
                if (e.id != f.id || static_cast<const SessionEventContent&>(e) != static_cast<const SessionEventContent&>(f))
                    return false;
            }
        }
        return true;
    };
    // One grouping serves every capture in turn: finishing leaves it empty for the next, and
    // adding after an outline starts the next.
    SubscriberSessionBuilder::Grouping reused, outlined;
    for (const char* capture : {"suricata-pppoe.pcap", "RADIUS.pcap", "l2tp-avp-overflow.pcap", "pppoe-session-http.pcap"}) {
        const auto events = eventsOf(capture);
        ASSERT_FALSE(events.empty()) << capture;
        const auto whole = SubscriberSessionBuilder::group(events);
        for (std::size_t i = 0; i < events.size(); i += 3)
            reused.add({events.begin() + static_cast<std::ptrdiff_t>(i),
                        events.begin() + static_cast<std::ptrdiff_t>(std::min(events.size(), i + 3))});
        EXPECT_TRUE(same(whole, reused.finish())) << capture << ", added three at a time";
        outlined.add(events);
        const std::size_t count = outlined.outline();
        EXPECT_EQ(outlined.outline(), count);
        std::vector<SubscriberSession> built;
        for (std::size_t i = 0; i < count; ++i) built.push_back(outlined.session(i));
        EXPECT_TRUE(same(whole, built)) << capture << ", outlined, then built one by one";
        for (std::size_t partSize : {std::size_t{1}, std::size_t{2}, std::size_t{7}, events.size()}) {
            std::vector<std::vector<RawSessionEvent>> parts;
            for (std::size_t i = 0; i < events.size(); i += partSize)
                parts.emplace_back(events.begin() + static_cast<std::ptrdiff_t>(i),
                                   events.begin() + static_cast<std::ptrdiff_t>(std::min(events.size(), i + partSize)));
            parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(parts.size() / 2), std::vector<RawSessionEvent>());
            EXPECT_TRUE(same(whole, SubscriberSessionBuilder::group(std::move(parts)))) << capture << ", parts of " << partSize;
        }
    }
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
        EXPECT_EQ(built.empty() ? 0 : built[0].events.size(), ids - 1);
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
