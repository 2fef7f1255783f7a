// qor streams and qor follow end to end, against tshark's numbering and its raw follow view
// (tests/fixtures/expected/record-streams.sh recorded the tshark side).

#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using Run = test::QorRun;
Run qor(const std::string& args) { return test::runQor(args); }

std::string fixture(const char* name) { return test::capturePath(name).string(); }

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) out.push_back(nlohmann::json::parse(line));
    return out;
}

TEST(QorStreams, NumbersConversationsByFirstPacketAsTsharkDoes) {
    auto r = qor("streams --json " + fixture("tls_nss_example.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = jsonLines(r.out);
    ASSERT_EQ(rows.size(), 2u);
    // tshark 4.0.17 -z conv,tcp: :41386 starts at 0.000000, 18 frames; :41402 at 4.665778, 19 frames.
    EXPECT_EQ(rows[0]["index"], 0);
    EXPECT_EQ(rows[0]["client"], "127.0.0.1:41386");
    EXPECT_EQ(rows[0]["server"], "127.0.0.1:443");
    EXPECT_EQ(rows[0]["packets"], 18);
    EXPECT_EQ(rows[1]["client"], "127.0.0.1:41402");
    EXPECT_EQ(rows[1]["packets"], 19);
    EXPECT_NEAR(rows[1]["startTime"].get<double>() - rows[0]["startTime"].get<double>(), 4.665778, 1e-6);
    for (const char* key : {"key", "title", "clientBytes", "serverBytes", "duration"}) EXPECT_TRUE(rows[0].contains(key)) << key;
    EXPECT_FALSE(rows[0].contains("protocolLabel"));
}

TEST(QorStreams, UdpFlowsCarryTheirProtocolLabel) {
    auto r = qor("streams --udp --json " + fixture("udp_dns_request_response.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = jsonLines(r.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["protocolLabel"], "DNS");
    EXPECT_EQ(rows[0]["client"], "192.168.1.4:39449");
    EXPECT_EQ(rows[0]["packets"], 2);
    auto text = qor("streams --udp " + fixture("udp_dns_request_response.pcap"));
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("192.168.1.4:39449 \u2192 192.168.1.1:53"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("DNS"), std::string::npos);
}

TEST(QorFollow, RawLayoutIsTsharksLineForLine) {
    for (const auto& [capture, number] : {std::pair{"one_http_stream_fin.pcap", "0"}, std::pair{"tls_nss_example.pcap", "1"}}) {
        auto r = qor(std::string("follow --format raw ") + fixture(capture) + " " + number);
        ASSERT_EQ(r.status, 0) << r.err;
        auto expected = test::readFile(test::fixturePath(std::string("expected/streams.follow-raw.") + capture + "." + number + ".txt"));
        EXPECT_EQ(r.out, expected.toString()) << capture;
    }
}

TEST(QorFollow, ByPacketDirectionAndFormats) {
    // Packet 4 of the file is in conversation 0; only the client's bytes: the HTTP request.
    auto r = qor("follow --packet 4 --direction client " + fixture("one_http_stream_fin.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Filter: tcp.stream eq 0"), std::string::npos);
    EXPECT_NE(r.out.find("GET /softw/90/update/avg9infoavi.ctf HTTP/1.1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\tHTTP/1.1 200"), std::string::npos);
    auto hex = qor("follow --udp --format hex " + fixture("udp_dns_request_response.pcap") + " 0");
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_NE(hex.out.find("00000000  7b 14 01 00 00 01 00 00  00 00 00 00 04 6d 61 69  {....... .....mai\n"), std::string::npos) << hex.out;
    EXPECT_NE(hex.out.find("\t00000000  7b 14 81 80"), std::string::npos);
}

TEST(QorFollow, MissingConversationIsOneLineAndStatus2) {
    for (const char* args : {"follow CAP 7", "follow --udp CAP 3", "follow --packet 999 CAP"}) {
        std::string line = args;
        line.replace(line.find("CAP"), 3, fixture("one_http_stream_fin.pcap"));
        auto r = qor(line);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("qor: ", 0), 0u) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

}  // namespace
}  // namespace qor
