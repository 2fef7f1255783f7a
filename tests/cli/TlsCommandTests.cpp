// qor tls, follow --decrypt and messages over TLS end to end, with keys from the capture and
// from --keylog files; follow against tshark's follow,tls,raw (tests/fixtures/expected/tls-follow/).

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <set>

#include "QORCommonTools/TextHelpers.hpp"
#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;
using test::runQor;

/// The per-trace key store in a fresh folder for the test's life, not the user's.
struct KeyStoreFolder {
    test::TempDir dir;
    KeyStoreFolder() { setenv("QOR_KEYLOG_DIR", dir.path.c_str(), 1); }
    ~KeyStoreFolder() { unsetenv("QOR_KEYLOG_DIR"); }
};

TEST(QorTls, KeyMaterialFromKeyLogsAndWhatABadKeyLogGives) {
    KeyStoreFolder store;
    // A bad first line, reported and skipped, then only the TLS 1.3 handshake secrets: the two
    // traffic secrets are missing, in that order, and the TLS 1.2 session has no keys.
    test::TempDir dir;
    std::string partial = "CLIENT_RANDOM not-hex\n";
    const Data keys = test::readFile(test::capturePath("tls_nss_example.keys.txt"));
    for (auto l : splitLines(keys.stringView()))
        if (l.starts_with("CLIENT_HANDSHAKE") || l.starts_with("SERVER_HANDSHAKE")) partial += std::string(l) + "\n";
    auto file = dir.write("partial.txt", Data::fromString(partial));
    auto r = runQor("tls --json --keylog " + file.string() + " " + fixture("tls_nss_example.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(file.string() + ":1: "), std::string::npos) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    for (const auto& session : doc["sessions"]) {
        if (session["offeredVersions"] != nlohmann::json::array({0x0304})) continue;
        EXPECT_EQ(session["status"], "keysIncomplete");
        EXPECT_EQ(session["missingLabels"], nlohmann::json::array({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"}));
    }
    EXPECT_EQ(doc["summary"], (nlohmann::json{{"total", 2}, {"keyed", 1}, {"complete", 0}, {"incomplete", 1}, {"noKey", 1}}));

    // A missing file and a folder: one line each, the sessions still listed, then status 2.
    const std::string missing = (dir.path / "missing.txt").string();
    r = runQor("tls --keylog " + missing + " --keylog " + dir.path.string() + " " + fixture("tls_nss_example.pcap"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("2 TLS sessions: 0 with keys"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("qor: " + missing + ": cannot read the key-log file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("qor: " + dir.path.string() + ": cannot read the key-log file: it is a folder"), std::string::npos) << r.err;

    // The capture's own key store (its Decryption Secrets Block) keys its session without any
    // key-log file, and the session decrypts with it.
    r = runQor("tls --json --decrypt " + fixture("illustrated-tls12-dsb.pcapng"));
    ASSERT_EQ(r.status, 0) << r.err;
    doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["sessions"].size(), 1u);
    EXPECT_EQ(doc["sessions"][0]["status"], "decrypted");
    EXPECT_EQ(doc["summary"], (nlohmann::json{{"total", 1}, {"keyed", 1}, {"complete", 1}, {"incomplete", 0}, {"noKey", 0}}));
}

/// Each direction's hex lines of a raw follow view, without header, indent or frame.
std::map<bool, std::string> followedBytes(const std::string& view) {
    std::map<bool, std::string> bytes;
    for (auto line : splitLines(view)) {
        if (line.empty() || line[0] == '#' || line.find(':') != std::string::npos || line[0] == '=') continue;
        const bool indented = line[0] == '\t';
        bytes[indented] += indented ? line.substr(1) : line;
    }
    return bytes;
}

TEST(QorTlsDecryption, FollowTlsAndMessagesDecryptThroughThePlugInsProbe) {
    KeyStoreFolder store;
    // capture, key log (none: the capture's own Decryption Secrets Block), stream, tshark's view
    for (const auto& [capture, keylog, stream, expected] : std::vector<std::array<const char*, 4>>{
             {"tls_nss_example.pcap", "tls_nss_example.keys.txt", "0", "tls_nss_example-0.txt"},
             {"tls_nss_example.pcap", "tls_nss_example.keys.txt", "1", "tls_nss_example-1.txt"},
             {"illustrated-tls12-dsb.pcapng", nullptr, "0", "illustrated-tls12-dsb-0.txt"}}) {
        std::string args = std::string("follow --decrypt --format raw ") + fixture(capture) + " " + stream;
        if (keylog) args += std::string(" --keylog ") + fixture(keylog);
        auto r = runQor(args);
        ASSERT_EQ(r.status, 0) << capture << ": " << r.err;
        EXPECT_NE(r.out.find("Follow: tls,raw\nFilter: tcp.stream eq " + std::string(stream)), std::string::npos) << r.out;
        auto tshark = followedBytes(test::readFile(test::fixturePath(std::string("expected/tls-follow/") + expected)).toString());
        auto qor = followedBytes(r.out);
        // tshark 4.0's TLS follow view names its nodes by the first record it decrypted, so
        // which direction it indents varies; each direction's bytes must agree.
        ASSERT_EQ(qor.size(), 2u) << r.out;
        std::set<std::string> ours{qor[false], qor[true]}, theirs{tshark[false], tshark[true]};
        EXPECT_EQ(ours, theirs) << expected;
        EXPECT_EQ(r.out.find("Node 0: 127.0.0.1:443"), std::string::npos) << "the client is node 0";
    }
    // Without keys the conversation does not decrypt, and follow says why.
    auto r = runQor("follow --decrypt " + fixture("tls_nss_example.pcap") + " 0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("noKeyMaterial"), std::string::npos) << r.err;

    // qor tls --decrypt asks the probe about every session.
    r = runQor("tls --json --decrypt --keylog " + fixture("tls_nss_example.keys.txt") + " " + fixture("tls_nss_example.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["sessions"].size(), 2u);
    for (const auto& session : doc["sessions"]) EXPECT_EQ(session["status"], "decrypted") << session.dump();

    // The TLS 1.3 conversation carries HTTP/1.0: request and reply, both marked decrypted.
    r = runQor("messages --json --keylog " + fixture("tls_nss_example.keys.txt") + " " + fixture("tls_nss_example.pcap") + " 1");
    ASSERT_EQ(r.status, 0) << r.err;
    auto messages = nlohmann::json::parse(r.out);
    EXPECT_EQ(messages["protocol"], "HTTP over TLS");
    ASSERT_EQ(messages["messages"].size(), 2u);
    EXPECT_EQ(messages["messages"][0]["summary"], "GET /pki/srv_key.pem HTTP/1.0");
    EXPECT_EQ(messages["messages"][0]["packets"], nlohmann::json::array({30}));  // tshark: tls.app_data in frames 30 and 31
    EXPECT_EQ(messages["messages"][1]["packets"], nlohmann::json::array({31}));
    for (const auto& m : messages["messages"]) EXPECT_TRUE(m["decrypted"].get<bool>());
    EXPECT_EQ(messages["pairings"][0]["status"], "matched");
}

}  // namespace
}  // namespace qor
