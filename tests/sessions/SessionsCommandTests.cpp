// qor sessions end to end: the sessions that tools/gencap.py says it wrote into access-network
// captures are exactly the ones `qor sessions --json` finds, with those summaries; and the text
// ladder of a real capture.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/wait.h>

#include "support/Fixtures.hpp"

namespace qor::test::sessions {
namespace {

struct Run {
    int status = -1;
    std::string out;
};

Run shell(const std::string& command) {
    Run r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    std::array<char, 65536> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

std::string qor() { return std::string(QOR_BINARY_DIR) + "/bin/qor"; }

std::set<std::int64_t> idsOf(const nlohmann::json& list) {
    std::set<std::int64_t> ids;
    for (const auto& id : list) ids.insert(id.get<std::int64_t>());
    return ids;
}

std::optional<std::string> textOrNothing(const nlohmann::json& value) {
    if (value.is_null()) return std::nullopt;
    return value.get<std::string>();
}

struct Generated {
    int seed;
    const char* format;
    int packets;
};

class SessionsOfGeneratedCaptures : public ::testing::TestWithParam<Generated> {};

TEST_P(SessionsOfGeneratedCaptures, AreExactlyTheOnesTheGeneratorWrote) {
    const auto [seed, format, packets] = GetParam();
    TempDir dir;
    const auto capture = (dir.path / (std::string("access.") + format)).string();
    auto generated = shell("python3 " + std::string(QOR_SOURCE_DIR) + "/tools/gencap.py --mix access --packets " +
                           std::to_string(packets) + " --seed " + std::to_string(seed) + " --format " + format + " --out " +
                           capture + " 2>/dev/null");
    ASSERT_EQ(generated.status, 0);
    const auto truth = nlohmann::json::parse(readFile(capture + ".sessions.json").toString());
    auto run = shell(qor() + " sessions --json " + capture + " 2>/dev/null");
    ASSERT_EQ(run.status, 0);
    const auto found = nlohmann::json::parse(run.out)["sessions"];

    // Every session qor found, by the packets of its ladder.
    std::map<std::set<std::int64_t>, const nlohmann::json*> byEvents;
    for (const auto& session : found) {
        std::set<std::int64_t> ids;
        for (const auto& e : session["events"]) ids.insert(e["id"].get<std::int64_t>());
        byEvents[ids] = &session;
    }
    std::set<std::string> l2tpTunnelsWithSessions;
    for (const auto& rec : truth["sessions"])
        if (rec["transport"] == "l2tp" && !rec["frames"].empty()) l2tpTunnelsWithSessions.insert(rec["tunnelIDs"]);

    std::size_t expected = 0;
    int complete = 0, chap = 0, papRetried = 0, failures = 0, twoSessionTunnels = 0, padt = 0;
    std::map<std::string, int> sessionsPerTunnel;
    for (const auto& rec : truth["sessions"]) {
        const std::string transport = rec["transport"];
        std::set<std::int64_t> ids;
        if (transport == "l2tp-tunnel") {
            // A tunnel whose sessions never started is one session of its own.
            if (l2tpTunnelsWithSessions.contains(rec["tunnelIDs"]) || rec["tunnelFrames"].empty()) continue;
            ids = idsOf(rec["tunnelFrames"]);
            ++expected;
            ASSERT_TRUE(byEvents.contains(ids)) << "tunnel " << rec["tunnelIDs"];
            EXPECT_EQ((*byEvents[ids])["summary"]["sessionID"], 0);
            continue;
        }
        if (rec["frames"].empty()) {
            // Only the PADI was written: its sender talked to no one.
            if (transport == "pppoe" && !rec["padiFrames"].empty()) ++expected;
            continue;
        }
        ++expected;
        ids = idsOf(rec["frames"]);
        if (transport == "pppoe")
            for (auto id : idsOf(rec["padiFrames"])) ids.insert(id);
        for (auto id : idsOf(rec["radiusFrames"])) ids.insert(id);
        if (transport == "l2tp")
            for (auto id : idsOf(rec["tunnelFrames"])) ids.insert(id);
        SCOPED_TRACE(rec["username"].get<std::string>());
        auto match = byEvents.find(ids);
        ASSERT_NE(match, byEvents.end()) << "no session with the generated packets";
        const auto& s = (*match->second)["summary"];
        EXPECT_EQ(s["transport"], transport);
        if (!rec["complete"]) continue;
        ++complete;
        EXPECT_EQ(s["sessionID"], rec["sessionID"]);
        EXPECT_EQ(s["username"], rec["username"]);
        EXPECT_EQ(s["authProtocol"], rec["authProtocol"]);
        EXPECT_EQ(s["authResult"], rec["authResult"]);
        EXPECT_EQ(textOrNothing(s["assignedIP"]), textOrNothing(rec["assignedIP"]));
        EXPECT_EQ(s["acctSessionID"], rec["acctSessionID"]);
        EXPECT_EQ(s["dataPacketCount"], rec["dataPacketCount"]);
        EXPECT_EQ(s["dataByteCount"], rec["dataByteCount"]);
        if (transport == "pppoe") {
            EXPECT_EQ(s["clientMAC"], rec["cpeMAC"]);
            EXPECT_EQ(s["acMAC"], rec["acMAC"]);
            EXPECT_EQ(s["acName"], rec["acName"]);
            EXPECT_EQ(s["mru"], rec["mru"]);
            const auto& events = (*match->second)["events"];
            if (std::any_of(events.begin(), events.end(), [](const auto& e) { return e["phase"] == "teardown"; })) ++padt;
        } else {
            EXPECT_EQ(s["clientMAC"], rec["lacMAC"]);
            EXPECT_EQ(s["acMAC"], rec["lnsMAC"]);
            EXPECT_EQ(s["lacHost"], rec["lacHost"]);
            EXPECT_EQ(s["lnsHost"], rec["lnsHost"]);
            EXPECT_EQ(s["tunnelIDs"], rec["tunnelIDs"]);
            if (++sessionsPerTunnel[rec["tunnelIDs"]] == 2) ++twoSessionTunnels;
        }
        chap += rec["authProtocol"] == "CHAP";
        papRetried += rec["papRetried"].get<bool>();
        failures += rec["authResult"] == "failure";
        if (rec["acctStart"].get<bool>()) {
            // Accounting Start and Stop are on the ladder.
            int accounting = 0;
            for (const auto& e : (*match->second)["events"])
                accounting += e["label"].get<std::string>().starts_with("Accounting-Request");
            EXPECT_EQ(accounting, rec["acctStop"].get<bool>() ? 2 : 1);
        }
    }
    EXPECT_EQ(found.size(), expected);
    // The seeds cover what the sessions are made of.
    EXPECT_GT(complete, 20);
    EXPECT_GT(chap, 0);
    EXPECT_GT(papRetried, 0);
    EXPECT_GT(padt, 0);
    EXPECT_GT(twoSessionTunnels, 0);
    (void)failures;
}

INSTANTIATE_TEST_SUITE_P(Seeds, SessionsOfGeneratedCaptures,
                         ::testing::Values(Generated{3, "pcap", 3000}, Generated{11, "pcapng", 3000}, Generated{29, "pcap", 5000}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

TEST(SessionsCommand, TextLadderOfARealCapture) {
    auto run = shell(qor() + " sessions --details " + capturePath("suricata-pppoe.pcap").string() + " 2>/dev/null");
    ASSERT_EQ(run.status, 0);
    // tshark: frame 1 is a PADI from 00:00:cd:38:13:43 to the broadcast address at
    // 1753133227.642544, frame 4 the PADS of session 0x0001 from ee:86:e2:f9:70:57 at
    // 1753133227.643142; the two PPPoE sessions are both between those two MAC addresses.
    EXPECT_NE(run.out.find("00:00:cd:38:13:43 \u00b7 0x0002  [pppoe]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    0.000598  \u2190  discovery  PADS (Active Discovery Session-confirmation), session 0x0001, "
                           "Service-Name: test  [ses 0x0001]\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("start 2025-07-21 21:27:07.642544 UTC"), std::string::npos);
    EXPECT_NE(run.out.find("AC-Name test"), std::string::npos);
    EXPECT_NE(run.out.find("\n1 session\n"), std::string::npos);
    EXPECT_NE(run.out.find("Code: PADS (0x65)"), std::string::npos);  // a detail row
}

TEST(SessionsCommand, AMissingFileFailsWithOneLine) {
    auto run = shell(qor() + " sessions /nonexistent/file.pcap 2>&1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("/nonexistent/file.pcap"), std::string::npos);
}

}  // namespace
}  // namespace qor::test::sessions
