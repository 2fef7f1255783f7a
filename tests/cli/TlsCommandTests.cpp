// qor tls end to end: key material from the capture's own key log and from --keylog files, and
// what a bad or missing key log gives; decryption through the probe the standard plug-in
// registers: qor tls --decrypt, qor follow --decrypt against tshark's follow,tls,raw
// (tests/fixtures/expected/tls-follow/) and qor messages over TLS.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;
using test::runQor;

/// Points the per-trace key store at a fresh folder for the life of a test, so that a capture's
/// own key lines neither come from nor go to the user's store.
struct KeyStoreFolder {
    test::TempDir dir;
    KeyStoreFolder() { setenv("QOR_KEYLOG_DIR", dir.path.c_str(), 1); }
    ~KeyStoreFolder() { unsetenv("QOR_KEYLOG_DIR"); }
};

nlohmann::json tlsJSON(const std::string& args) {
    auto r = runQor("tls --json " + args);
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, separator)) out.push_back(item);
    if (!text.empty() && text.back() == separator) out.emplace_back();
    return out;
}

TEST(QorTls, KeyMaterialFromTheCaptureAndFromKeyLogs) {
    KeyStoreFolder store;
    // The TLS 1.2 capture carries its key line in a Decryption Secrets Block.
    auto doc = tlsJSON(fixture("illustrated-tls12-dsb.pcapng"));
    ASSERT_EQ(doc["sessions"].size(), 1u);
    EXPECT_EQ(doc["sessions"][0]["status"], "keysComplete");
    EXPECT_EQ(doc["sessions"][0]["serverAddress"], "::1:8443");
    EXPECT_EQ(doc["sessions"][0]["serverName"], "example.ulfheim.net");  // tls-clienthellos.txt (tshark)
    EXPECT_EQ(doc["summary"], (nlohmann::json{{"total", 1}, {"keyed", 1}, {"complete", 1}, {"incomplete", 0}, {"noKey", 0}}));

    // Without its key log, tls_nss_example has no keys; with it, both sessions are complete.
    doc = tlsJSON(fixture("tls_nss_example.pcap"));
    EXPECT_EQ(doc["summary"]["noKey"], 2);
    doc = tlsJSON("--keylog " + fixture("tls_nss_example.keys.txt") + " " + fixture("tls_nss_example.pcap"));
    EXPECT_EQ(doc["summary"], (nlohmann::json{{"total", 2}, {"keyed", 2}, {"complete", 2}, {"incomplete", 0}, {"noKey", 0}}));

    // Only the TLS 1.3 handshake secrets: the two traffic secrets are missing, in that order.
    test::TempDir dir;
    std::string keys = test::readFile(test::capturePath("tls_nss_example.keys.txt")).toString();
    std::string partial;
    for (const auto& l : split(keys, '\n'))
        if (l.starts_with("CLIENT_HANDSHAKE") || l.starts_with("SERVER_HANDSHAKE")) partial += l + "\n";
    auto file = dir.write("partial.txt", Data::fromString(partial));
    doc = tlsJSON("--keylog " + file.string() + " " + fixture("tls_nss_example.pcap"));
    for (const auto& session : doc["sessions"]) {
        if (session["offeredVersions"] != nlohmann::json::array({0x0304})) continue;
        EXPECT_EQ(session["status"], "keysIncomplete");
        EXPECT_EQ(session["missingLabels"], nlohmann::json::array({"CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"}));
    }
    EXPECT_EQ(doc["summary"]["incomplete"], 1);
}

TEST(QorTls, BadKeyLogLinesAreReportedAndSkippedAnUnreadableFileIsOneError) {
    KeyStoreFolder store;
    test::TempDir dir;
    std::string keys = test::readFile(test::capturePath("tls_nss_example.keys.txt")).toString();
    auto file = dir.write("keys.txt", Data::fromString("CLIENT_RANDOM not-hex\n" + keys));
    auto r = runQor("tls --json --keylog " + file.string() + " " + fixture("tls_nss_example.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(file.string() + ":1: "), std::string::npos) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["summary"]["complete"], 2);

    r = runQor("tls --keylog " + (dir.path / "missing.txt").string() + " " + fixture("tls_nss_example.pcap"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("2 TLS sessions: 0 with keys"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("missing.txt"), std::string::npos) << r.err;
}

/// The hex lines of a raw follow view, each direction's in order, without the header, the
/// direction's indent or the frame: the bytes tshark's and qor's views must agree on.
std::map<bool, std::string> followedBytes(const std::string& view) {
    std::map<bool, std::string> bytes;
    for (const auto& line : split(view, '\n')) {
        if (line.empty() || line[0] == '#' || line.find(':') != std::string::npos || line[0] == '=') continue;
        const bool indented = line[0] == '\t';
        bytes[indented] += indented ? line.substr(1) : line;
    }
    return bytes;
}

TEST(QorTlsDecryption, FollowShowsTheApplicationDataTsharkDecrypts) {
    KeyStoreFolder store;
    struct Case {
        const char* capture;
        const char* keylog;  ///< nothing: the capture's own Decryption Secrets Block
        const char* stream;
        const char* expected;
    };
    for (const Case& c : {Case{"tls_nss_example.pcap", "tls_nss_example.keys.txt", "0", "tls_nss_example-0.txt"},
                          Case{"tls_nss_example.pcap", "tls_nss_example.keys.txt", "1", "tls_nss_example-1.txt"},
                          Case{"illustrated-tls12-dsb.pcapng", nullptr, "0", "illustrated-tls12-dsb-0.txt"}}) {
        std::string args = std::string("follow --decrypt --format raw ") + fixture(c.capture) + " " + c.stream;
        if (c.keylog) args += std::string(" --keylog ") + fixture(c.keylog);
        auto r = runQor(args);
        ASSERT_EQ(r.status, 0) << c.capture << ": " << r.err;
        EXPECT_NE(r.out.find("Follow: tls,raw\nFilter: tcp.stream eq " + std::string(c.stream)), std::string::npos) << r.out;
        auto tshark = followedBytes(test::readFile(test::fixturePath(std::string("expected/tls-follow/") + c.expected)).toString());
        auto qor = followedBytes(r.out);
        // tshark 4.0's TLS follow view names its nodes by the first record it decrypted, so
        // which direction it indents varies; each direction's bytes must agree.
        ASSERT_EQ(qor.size(), 2u) << r.out;
        std::set<std::string> ours{qor[false], qor[true]}, theirs{tshark[false], tshark[true]};
        EXPECT_EQ(ours, theirs) << c.expected;
        EXPECT_EQ(r.out.find("Node 0: 127.0.0.1:443"), std::string::npos) << "the client is node 0";
    }
    // Without keys the conversation does not decrypt, and follow says why.
    auto r = runQor("follow --decrypt " + fixture("tls_nss_example.pcap") + " 0");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("noKeyMaterial"), std::string::npos) << r.err;
}

TEST(QorTlsDecryption, ProbeOutcomesAndMessagesOverTLS) {
    KeyStoreFolder store;
    auto doc = tlsJSON("--decrypt --keylog " + fixture("tls_nss_example.keys.txt") + " " + fixture("tls_nss_example.pcap"));
    for (const auto& session : doc["sessions"]) EXPECT_EQ(session["status"], "decrypted") << session.dump();

    // The TLS 1.3 conversation carries HTTP/1.0: request and reply, both marked decrypted.
    auto r = runQor("messages --json --keylog " + fixture("tls_nss_example.keys.txt") + " " + fixture("tls_nss_example.pcap") + " 1");
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
