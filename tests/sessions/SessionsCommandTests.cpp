// qor sessions end to end: the sessions that tools/gencap.py says it wrote into access-network
// captures are exactly the ones `qor sessions --json` finds, with those summaries; and the text
// ladder of a real capture.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::sessions {
namespace {

using Ids = std::set<std::int64_t>;

struct Generated { int seed; const char* format; int packets; };

class SessionsOfGeneratedCaptures : public ::testing::TestWithParam<Generated> {};

TEST_P(SessionsOfGeneratedCaptures, AreExactlyTheOnesTheGeneratorWrote) {
    const auto [seed, format, packets] = GetParam();
    TempDir dir;
    const auto capture = (dir.path / (std::string("access.") + format)).string();
    ASSERT_EQ(std::system(("python3 " + std::string(QOR_SOURCE_DIR) + "/tools/gencap.py --mix access --packets " +
                           std::to_string(packets) + " --seed " + std::to_string(seed) + " --format " + format + " --out " +
                           capture + " 2>/dev/null").c_str()), 0);
    const auto truth = nlohmann::json::parse(readFile(capture + ".sessions.json").toString());
    auto run = runQor("sessions --json " + capture);
    ASSERT_EQ(run.status, 0);
    const auto found = nlohmann::json::parse(run.out)["sessions"];
    ASSERT_FALSE(found.empty());
    EXPECT_FALSE(found[0]["events"][0].contains("detail"));  // no rows without --details

    // Every session qor found, by the packets of its ladder.
    std::map<Ids, const nlohmann::json*> byEvents;
    for (const auto& session : found) {
        Ids ids;
        for (const auto& e : session["events"]) ids.insert(e["id"].get<std::int64_t>());
        byEvents[ids] = &session;
    }
    std::set<std::string> l2tpTunnelsWithSessions;
    for (const auto& rec : truth["sessions"])
        if (rec["transport"] == "l2tp" && !rec["frames"].empty()) l2tpTunnelsWithSessions.insert(rec["tunnelIDs"]);

    std::size_t expected = 0;
    int complete = 0, chap = 0, papRetried = 0, twoSessionTunnels = 0, padt = 0;
    std::map<std::string, int> sessionsPerTunnel;
    for (const auto& rec : truth["sessions"]) {
        const std::string transport = rec["transport"];
        Ids ids;
        if (transport == "l2tp-tunnel") {
            // A tunnel whose sessions never started is one session of its own.
            if (l2tpTunnelsWithSessions.contains(rec["tunnelIDs"]) || rec["tunnelFrames"].empty()) continue;
            ids = rec["tunnelFrames"].get<Ids>();
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
        ids = rec["frames"].get<Ids>();  // with the PADIs (PPPoE), RADIUS and tunnel (L2TP) frames
        for (const char* more : {"padiFrames", "radiusFrames", "tunnelFrames"})
            if (rec.contains(more)) ids.merge(rec[more].get<Ids>());
        SCOPED_TRACE(rec["username"].get<std::string>());
        auto match = byEvents.find(ids);
        ASSERT_NE(match, byEvents.end()) << "no session with the generated packets";
        const auto& s = (*match->second)["summary"];
        EXPECT_EQ(s["transport"], transport);
        if (!rec["complete"]) continue;
        ++complete;
        // Summary fields and the generator's record fields of the same value.
        std::vector<std::pair<const char*, const char*>> same = {
            {"sessionID", "sessionID"},         {"username", "username"},
            {"authProtocol", "authProtocol"},   {"authResult", "authResult"},
            {"acctSessionID", "acctSessionID"}, {"dataPacketCount", "dataPacketCount"},
            {"dataByteCount", "dataByteCount"}, {"assignedIP", "assignedIP"}};
        if (transport == "pppoe") {
            same.insert(same.end(), {{"clientMAC", "cpeMAC"}, {"acMAC", "acMAC"}, {"acName", "acName"}, {"mru", "mru"}});
            const auto& events = (*match->second)["events"];
            if (std::any_of(events.begin(), events.end(), [](const auto& e) { return e["phase"] == "teardown"; })) ++padt;
        } else {
            same.insert(same.end(), {{"clientMAC", "lacMAC"}, {"acMAC", "lnsMAC"}, {"lacHost", "lacHost"},
                                     {"lnsHost", "lnsHost"}, {"tunnelIDs", "tunnelIDs"}});
            if (++sessionsPerTunnel[rec["tunnelIDs"]] == 2) ++twoSessionTunnels;
        }
        for (const auto& [field, recorded] : same) EXPECT_EQ(s[field], rec[recorded]) << field;
        chap += rec["authProtocol"] == "CHAP";
        papRetried += rec["papRetried"].get<bool>();
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
}

INSTANTIATE_TEST_SUITE_P(Seeds, SessionsOfGeneratedCaptures,
                         // 40,000 packets hold about a thousand sessions: more than the generator's first
                         // round of subscribers, so later rounds and many L2TP tunnels between the same
                         // two hosts are in.
                         ::testing::Values(Generated{3, "pcap", 3000}, Generated{11, "pcapng", 3000}, Generated{29, "pcap", 5000},
                                           Generated{101, "pcap", 40000}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

TEST(SessionsCommand, TextLadderOfARealCapture) {
    auto run = runQor("sessions --details " + capturePath("suricata-pppoe.pcap").string());
    ASSERT_EQ(run.status, 0);
    // tshark: frame 1 is a PADI from 00:00:cd:38:13:43 to the broadcast address at
    // 1753133227.642544, frame 4 the PADS of session 0x0001 from ee:86:e2:f9:70:57 at
    // 1753133227.643142; the two PPPoE sessions are both between those two MAC addresses.
    EXPECT_NE(run.out.find("00:00:cd:38:13:43 \u00b7 0x0002  [pppoe]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    0.000598  \u2190  discovery  PADS (Active Discovery Session-confirmation), session 0x0001, "
                           "Service-Name: test  [ses 0x0001]\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("start 2025-07-21 21:27:07.642544 UTC"), std::string::npos);
    EXPECT_NE(run.out.find("        0.000000  \u2192  discovery  PADI (Active Discovery Initiation)\n"), std::string::npos);
    // The PADI's empty Service-Name is none; the PADO names both.
    EXPECT_NE(run.out.find("  AC-Name test  Service-Name test\n"), std::string::npos);
    EXPECT_NE(run.out.find("\n1 session\n"), std::string::npos);
    // Detail rows: a tag's row, its type and length one level down.
    EXPECT_NE(run.out.find("\n                  AC-Name: test\n                    Tag Type: 0x0102\n"), std::string::npos);
    EXPECT_NE(run.out.find("Code: PADS (0x65)"), std::string::npos);
}

TEST(SessionsCommand, AMissingFileFailsWithOneLine) {
    auto run = runQor("sessions /nonexistent/file.pcap");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("/nonexistent/file.pcap"), std::string::npos);
}

}  // namespace
}  // namespace qor::test::sessions
