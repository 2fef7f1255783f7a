// Sessions of real captures, checked against tshark's view of the same frames
// (tests/fixtures/expected/<capture>.sessions.tshark.tsv, recorded by record-sessions.sh there).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "analyzers/AnalyzerHarness.hpp"
#include "sessions/SessionTestSupport.hpp"

namespace qor::test::sessions {
namespace {

/// One frame as tshark saw it.
struct Frame {
    std::int64_t number = 0;
    double time = 0;
    std::string ethSrc, ethDst, ipSrc, ipDst, pppoeCode, pppoeSession, l2tpType, l2tpTunnel, l2tpSession, l2tpMessageType,
        radiusCode, radiusUser, protocols;
};

std::vector<Frame> framesOf(const std::string& capture) {
    std::vector<Frame> frames;
    for (const auto& c : readExpectedRows(capture + ".sessions.tshark.tsv", 16))
        frames.push_back({std::stoll(c[0]), std::stod(c[1]), c[2], c[3], c[4], c[5], c[6], c[7], c[9], c[10], c[11], c[12],
                          c[13], c[14], c[15]});
    return frames;
}

/// The phase tshark's view implies: the discovery code, the L2TP message type, or the innermost
/// protocol of a PPP frame.
SessionPhase expectedPhase(const Frame& f) {
    if (f.pppoeCode == "0xa7") return SessionPhase::teardown;
    if (!f.pppoeCode.empty() && f.pppoeCode != "0x00") return SessionPhase::discovery;
    if (f.pppoeCode.empty() && f.l2tpType == "1") {
        if (f.l2tpMessageType == "4" || f.l2tpMessageType == "14") return SessionPhase::teardown;
        if (f.l2tpMessageType == "6") return SessionPhase::link;
        return SessionPhase::discovery;
    }
    auto layers = split(f.protocols, ':');
    while (!layers.empty() && layers.back() == "data") layers.pop_back();
    const std::string inner = layers.empty() ? "" : layers.back();
    if (inner == "lcp" || inner == "ppp") return SessionPhase::link;
    if (inner == "pap" || inner == "chap") return SessionPhase::auth;
    if (inner == "ipcp" || inner == "ipv6cp" || inner == "ccp") return SessionPhase::network;
    return SessionPhase::data;
}

/// The grouping key tshark's view implies: the MAC pair for PPPoE, the address pair for L2TP;
/// empty for RADIUS, which joins no session in these captures.
std::string expectedGroup(const Frame& f) {
    if (!f.pppoeCode.empty()) return std::min(f.ethSrc, f.ethDst) + "|" + std::max(f.ethSrc, f.ethDst);
    if (!f.l2tpType.empty()) return std::min(f.ipSrc, f.ipDst) + "|" + std::max(f.ipSrc, f.ipDst);
    return "";
}

class SessionCapture : public ::testing::TestWithParam<const char*> {};

TEST_P(SessionCapture, EveryAccessFrameIsAnEventOfItsSession) {
    const std::string capture = GetParam();
    const auto frames = framesOf(capture);
    const auto events = eventsOf(capture);
    // Classification: one event per frame tshark shows, with the phase its protocols imply.
    std::map<std::int64_t, const RawSessionEvent*> byPacket;
    for (const auto& e : events) byPacket[e.packetId] = &e;
    ASSERT_EQ(events.size(), frames.size());
    for (const auto& f : frames) {
        SCOPED_TRACE("frame " + std::to_string(f.number));
        auto found = byPacket.find(f.number);
        ASSERT_NE(found, byPacket.end());
        const RawSessionEvent& e = *found->second;
        EXPECT_EQ(e.srcMAC, f.ethSrc);
        EXPECT_EQ(e.dstMAC, f.ethDst);
        EXPECT_NEAR(e.timestamp, f.time, 1e-6);
        if (!f.pppoeSession.empty()) {
            EXPECT_EQ(e.sessionID, std::stoul(f.pppoeSession, nullptr, 16));
        }
        if (!f.radiusCode.empty()) {
            EXPECT_EQ(e.protocolName, "RADIUS");
            EXPECT_EQ(e.radiusUserName, f.radiusUser.empty() ? std::nullopt : std::optional(f.radiusUser));
            const bool request = f.radiusCode == "1" || f.radiusCode == "4";
            EXPECT_EQ(e.direction, request ? SessionDirection::clientToAC : SessionDirection::acToClient);
            EXPECT_EQ(e.annotation, "AAA " + (request ? f.ipDst : f.ipSrc));
            continue;
        }
        EXPECT_EQ(e.transport, f.pppoeCode.empty() ? SessionTransport::l2tp : SessionTransport::pppoe);
        EXPECT_EQ(e.phase, expectedPhase(f)) << f.protocols << " " << e.label;
        if (f.pppoeCode.empty()) {
            EXPECT_EQ(e.l2tpTunnelID, std::stoul(f.l2tpTunnel));
            EXPECT_EQ(e.l2tpSessionID, std::stoul(f.l2tpSession));
        }
    }

    // Grouping: one session per MAC pair (PPPoE) or address pair (L2TP, one session id each in
    // these captures), holding exactly that group's frames.
    struct Group { std::set<std::int64_t> ids; const Frame* first = nullptr; std::uint16_t lastSession = 0; std::int64_t data = 0; };
    // A PADI to the broadcast address joins the MAC pair its sender forms next.
    std::map<std::int64_t, std::string> joined;
    for (const auto& f : frames) {
        if (f.ethDst != "ff:ff:ff:ff:ff:ff" || f.pppoeCode.empty()) continue;
        const Frame* next = nullptr;
        for (const auto& g : frames)
            if (!g.pppoeCode.empty() && g.ethDst != "ff:ff:ff:ff:ff:ff" && (g.ethSrc == f.ethSrc || g.ethDst == f.ethSrc) &&
                g.time >= f.time && (!next || g.time < next->time))
                next = &g;
        if (next) joined[f.number] = expectedGroup(*next);
    }
    auto groupOf = [&](const Frame& f) { return joined.contains(f.number) ? joined[f.number] : expectedGroup(f); };
    // In time order: the first frame, the data frames and the last non-zero session id.
    auto ordered = frames;
    std::stable_sort(ordered.begin(), ordered.end(), [](const Frame& a, const Frame& b) { return a.time < b.time; });
    std::map<std::string, Group> groups;
    for (const auto& f : ordered) {
        const auto key = groupOf(f);
        if (key.empty()) continue;
        Group& g = groups[key];
        g.ids.insert(f.number);
        if (!g.first) g.first = &f;
        if (expectedPhase(f) == SessionPhase::data) ++g.data;
        const auto id = f.pppoeCode.empty() ? std::stoul(f.l2tpSession) : std::stoul(f.pppoeSession, nullptr, 16);
        if (id != 0) g.lastSession = static_cast<std::uint16_t>(id);
    }
    const auto sessions = sessionsOf(capture);
    ASSERT_EQ(sessions.size(), groups.size());
    for (const auto& session : sessions) {
        SCOPED_TRACE(session.id());
        std::set<std::int64_t> ids;
        for (const auto& e : session.events) ids.insert(e.id);
        auto match = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.second.ids == ids; });
        ASSERT_NE(match, groups.end());
        const Group& g = match->second;
        EXPECT_EQ(session.summary.clientMAC, g.first->ethSrc);
        EXPECT_EQ(session.summary.sessionID, g.lastSession);
        EXPECT_EQ(session.summary.dataPacketCount, g.data);
        EXPECT_NEAR(session.summary.startTime, g.first->time, 1e-6);
        EXPECT_TRUE(std::is_sorted(session.events.begin(), session.events.end(),
                                   [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; }));
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, SessionCapture,
                         ::testing::Values("suricata-pppoe.pcap", "pppoe-session-http.pcap", "nb6-http.pcap", "GrePackets.cap",
                                           "RADIUS.pcap", "l2tp-avp-overflow.pcap"),
                         [](const auto& info) { return captureTestName(info.param); });

}  // namespace
}  // namespace qor::test::sessions
