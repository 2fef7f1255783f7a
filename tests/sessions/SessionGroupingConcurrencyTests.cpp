// Grouping assembles sessions and merges their RADIUS exchanges on all cores: the sessions must
// come out the same, in the same order, as on one core.

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cstdio>
#include <string>
#include <vector>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"

namespace qor::test::sessions {
namespace {

std::string mac(unsigned n) {
    char text[18];
    std::snprintf(text, sizeof text, "02:00:%02x:%02x:%02x:01", (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
    return text;
}

RawSessionEvent event(std::int64_t id, double time, std::string src, std::string dst, std::string protocol, SessionPhase phase) {
    RawSessionEvent e;
    e.packetId = id, e.timestamp = time, e.srcMAC = std::move(src), e.dstMAC = std::move(dst);
    e.label = protocol, e.protocolName = std::move(protocol), e.phase = phase, e.byteCount = 60;
    return e;
}

/// Several thousand PPPoE sessions with a user each, a few hundred L2TP tunnels carrying two
/// sessions each, and a RADIUS request and accounting start per PPPoE user, interleaved in time.
std::vector<RawSessionEvent> accessTrace() {
    const std::string ac = "02:aa:00:00:00:01", nas = "02:bb:00:00:00:01", aaa = "02:bb:00:00:00:02";
    std::vector<RawSessionEvent> events;
    std::int64_t id = 0;
    constexpr unsigned kPPPoE = 3000, kTunnels = 300;
    for (unsigned s = 0; s < kPPPoE; ++s) {
        const double t = s * 0.01;
        const std::string client = mac(s), user = "user" + std::to_string(s);
        events.push_back(event(++id, t, client, ac, "PPPoED", SessionPhase::discovery));
        events.back().sessionID = static_cast<std::uint16_t>(s % 65535 + 1);
        events.push_back(event(++id, t + 0.001, client, ac, "PAP", SessionPhase::auth));
        events.back().username = user;
        events.push_back(event(++id, t + 0.002, nas, aaa, "RADIUS", SessionPhase::auth));
        events.back().radiusUserName = user, events.back().radiusCode = 1, events.back().radiusIdentifier = s % 256;
        events.back().ipPair = "192.0.2.1|192.0.2.2";
        events.push_back(event(++id, t + 0.003, ac, client, "PAP", SessionPhase::auth));
        events.back().authResult = s % 7 == 0 ? AuthResult::failure : AuthResult::success;
        events.push_back(event(++id, t + 0.004, nas, aaa, "RADIUS", SessionPhase::network));
        events.back().radiusUserName = user, events.back().radiusCode = 4, events.back().acctStatus = AcctStatus::start;
        events.back().acctSessionID = "acct-" + std::to_string(s);
        events.push_back(event(++id, t + 0.005, client, ac, "IP", SessionPhase::data));
    }
    for (unsigned tunnel = 1; tunnel <= kTunnels; ++tunnel) {
        const double t = tunnel * 0.05;
        const std::string lac = mac(100000 + tunnel), lns = mac(200000 + tunnel);
        const std::string pair = "198.51.100." + std::to_string(tunnel % 250) + "|203.0.113." + std::to_string(tunnel / 250);
        auto l2tp = [&](double at, bool fromLAC, std::uint16_t session, std::uint16_t type, std::uint16_t assigned) {
            events.push_back(event(++id, at, fromLAC ? lac : lns, fromLAC ? lns : lac, "L2TP", SessionPhase::discovery));
            auto& e = events.back();
            e.transport = SessionTransport::l2tp, e.ipPair = pair, e.l2tpTunnelID = static_cast<std::uint16_t>(tunnel);
            e.l2tpSessionID = session, e.l2tpMsgType = type, e.l2tpAssignedSessionID = assigned, e.sessionID = session;
        };
        l2tp(t, true, 0, 1, 0);  // SCCRQ
        for (std::uint16_t k = 0; k < 2; ++k) {
            const auto lacSession = static_cast<std::uint16_t>(10 + 2 * k), lnsSession = static_cast<std::uint16_t>(11 + 2 * k);
            l2tp(t + 0.001 + k * 0.01, true, 0, 10, lacSession);              // ICRQ
            l2tp(t + 0.002 + k * 0.01, false, lacSession, 11, lnsSession);    // ICRP
        }
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });
    for (std::size_t i = 0; i < events.size(); ++i) events[i].packetId = static_cast<std::int64_t>(i + 1);
    return events;
}

/// What a listing of the sessions shows: ids, summaries and each ladder's packets in order.
std::string listing(const std::vector<SubscriberSession>& sessions) {
    std::string out;
    for (const auto& s : sessions) {
        out += s.id() + " " + s.title() + " " + std::string(rawValue(s.summary.authResult)) + " " +
               s.summary.acctSessionID.value_or("-") + " " + s.summary.tunnelIDs.value_or("-") + ":";
        for (const auto& e : s.events) out += " " + std::to_string(e.id) + std::string(rawValue(e.direction));
        out += "\n";
    }
    return out;
}

TEST(SessionGroupingConcurrency, SessionsOnAllCoresAreTheSessionsOfOneCore) {
    const auto events = accessTrace();
    std::string oneCore;
    {
        tbb::global_control serial(tbb::global_control::max_allowed_parallelism, 1);
        oneCore = listing(SubscriberSessionBuilder::group(events));
    }
    const auto sessions = SubscriberSessionBuilder::group(events);
    EXPECT_EQ(sessions.size(), 3000u + 600u);
    EXPECT_EQ(listing(sessions), oneCore);
}

}  // namespace
}  // namespace qor::test::sessions
