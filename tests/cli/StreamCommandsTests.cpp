// qor streams and qor follow end to end, against tshark's numbering and raw follow view (recorded
// by tests/fixtures/expected/record-streams.sh), and the failures of follow and messages.

#include <algorithm>
#include <gtest/gtest.h>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;
using test::runQor;

TEST(QorStreams, NumbersConversationsByFirstPacketAsTsharkDoesAndLabelsUDPFlows) {
    auto r = runQor("streams --json " + fixture("tls_nss_example.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = test::jsonLines(r.out);
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
    // UDP flows carry their protocol label.
    r = runQor("streams --udp --json " + fixture("udp_dns_request_response.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    rows = test::jsonLines(r.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["protocolLabel"], "DNS");
    EXPECT_EQ(rows[0]["client"], "192.168.1.4:39449");
    EXPECT_EQ(rows[0]["packets"], 2);
    auto text = runQor("streams --udp " + fixture("udp_dns_request_response.pcap"));
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("192.168.1.4:39449 \u2192 192.168.1.1:53"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("DNS"), std::string::npos);
}

TEST(QorFollow, RawLayoutIsTsharksLineForLine) {
    for (const auto& [capture, number] : {std::pair{"one_http_stream_fin.pcap", "0"}, std::pair{"tls_nss_example.pcap", "1"}}) {
        auto r = runQor(std::string("follow --format raw ") + fixture(capture) + " " + number);
        ASSERT_EQ(r.status, 0) << r.err;
        auto expected = test::readFile(test::fixturePath(std::string("expected/streams.follow-raw.") + capture + "." + number + ".txt"));
        EXPECT_EQ(r.out, expected.toString()) << capture;
    }
}

TEST(QorFollow, ByPacketDirectionAndFormats) {
    // Packet 4 of the file is in conversation 0; only the client's bytes: the HTTP request.
    auto r = runQor("follow --packet 4 --direction client " + fixture("one_http_stream_fin.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Filter: tcp.stream eq 0"), std::string::npos);
    EXPECT_NE(r.out.find("GET /softw/90/update/avg9infoavi.ctf HTTP/1.1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\tHTTP/1.1 200"), std::string::npos);
    auto hex = runQor("follow --udp --format hex " + fixture("udp_dns_request_response.pcap") + " 0");
    ASSERT_EQ(hex.status, 0) << hex.err;
    EXPECT_NE(hex.out.find("00000000  7b 14 01 00 00 01 00 00  00 00 00 00 04 6d 61 69  {....... .....mai\n"), std::string::npos) << hex.out;
    EXPECT_NE(hex.out.find("\t00000000  7b 14 81 80"), std::string::npos);
}

TEST(QorConversations, WhatNamesNoConversationIsOneLineAndStatus2) {
    const std::string cap = " " + fixture("one_http_stream_fin.pcap");
    const std::pair<std::string, std::string> cases[] = {
        {"follow" + cap + " 7", "no TCP conversation 7"}, {"follow --udp" + cap + " 3", "no UDP conversation 3"},
        {"follow --packet 999" + cap, "packet 999 belongs to no TCP conversation"},
        {"follow" + cap, "follow: give a conversation number N or --packet P"},
        {"follow --format xml" + cap + " 0", "unknown format \"xml\" (ascii, hex or raw)"},
        {"follow --direction up" + cap + " 0", "unknown direction \"up\" (both, client or server)"},
        {"messages" + cap + " 7", "no TCP conversation 7"}, {"messages --packet 999" + cap, "packet 999 belongs to no TCP conversation"},
        {"messages --udp" + cap + " 0", "no UDP flow 0"}, {"messages --udp --packet 1" + cap, "packet 1 belongs to no UDP flow"},
        {"messages" + cap, "messages: give a conversation number N or --packet P"}};
    for (const auto& [args, message] : cases) {
        auto r = runQor(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, "qor: " + message + "\n") << args;
        EXPECT_TRUE(r.out.empty()) << args;
    }
}

}  // namespace
}  // namespace qor
