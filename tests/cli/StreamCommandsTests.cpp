// qor streams and qor follow end to end, against tshark's numbering and raw follow view (recorded
// by tests/fixtures/expected/record-streams.sh), and the failures of follow and messages.

#include <algorithm>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;
using test::runQor;

/// An Ethernet/IPv4/TCP frame (ACK and PSH set) from 10.0.0.1:`clientPort` to 10.0.0.2:80.
Data clientSegment(std::uint16_t clientPort, std::uint32_t sequence, std::string_view payload) {
    test::Bytes b(/*bigEndian=*/true);
    b.raw({0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1}).u16(0x0800);
    b.u8(0x45).u8(0).u16(static_cast<std::uint16_t>(40 + payload.size())).u16(0).u16(0x4000).u8(64).u8(6).u16(0);
    b.raw({10, 0, 0, 1, 10, 0, 0, 2});
    b.u16(clientPort).u16(80).u32(sequence).u32(1).u8(0x50).u8(0x18).u16(65535).u16(0).u16(0);
    b.raw(payload);
    return b.data();
}

/// A capture many read windows long whose conversations all run from its start to its end:
/// `conversations` of them, each `segments` client segments, interleaved round-robin.
Data interleavedConversations(std::uint16_t conversations, std::uint32_t segments) {
    test::PcapBuilder pcap;
    std::uint32_t packet = 0;
    for (std::uint32_t j = 0; j < segments; ++j) {
        for (std::uint16_t i = 0; i < conversations; ++i, ++packet) {
            const std::string text = fmt::format("c{}p{};", i, j);
            pcap.record(1000 + packet / 1000, packet % 1000 * 1000,
                        clientSegment(static_cast<std::uint16_t>(10000 + i), 1 + j * static_cast<std::uint32_t>(text.size()), text));
        }
    }
    return pcap.data();
}

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

TEST(QorStreams, ConversationsSpanningManyReadWindowsAreWhole) {
    // 20,000 packets: the file is read in several windows, and every conversation has segments in
    // each of them.
    test::TempDir dir;
    const auto file = dir.write("interleaved.pcap", interleavedConversations(2000, 10)).string();
    auto r = runQor("streams --json " + file);
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = test::jsonLines(r.out);
    ASSERT_EQ(rows.size(), 2000u);
    for (std::size_t i : {0u, 1u, 999u, 1999u}) {
        EXPECT_EQ(rows[i]["client"], fmt::format("10.0.0.1:{}", 10000 + i)) << i;
        EXPECT_EQ(rows[i]["packets"], 10) << i;
        EXPECT_EQ(rows[i]["clientBytes"], 10 * fmt::format("c{}p0;", i).size()) << i;
    }
    // The conversation followed by number holds its own segments, all of them, in order.
    r = runQor("follow --direction client " + file + " 1500");
    ASSERT_EQ(r.status, 0) << r.err;
    // tshark's ascii view: each chunk's length on a line of its own, then its bytes.
    std::string expected = "Node 1: 10.0.0.2:80\n";
    for (int j = 0; j < 10; ++j) expected += fmt::format("8\nc1500p{};\n", j);
    EXPECT_NE(r.out.find(expected + "====="), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("c1499p"), std::string::npos);
    EXPECT_EQ(r.out.find("c1501p"), std::string::npos);
    EXPECT_NE(r.out.find("Node 0: 10.0.0.1:11500"), std::string::npos) << r.out;
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
