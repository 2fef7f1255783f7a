// qor messages end to end: interpreted conversations, raw ones, UDP flows, saved bodies.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::fixture;

nlohmann::json messagesJSON(const std::string& args) {
    auto r = test::runQor("messages --json " + args);
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out);
}

TEST(QorMessages, ConversationsArePairedAndBodiesSavedUnderTheirNamesByteForByte) {
    test::TempDir dir;
    auto doc = messagesJSON(fixture("pipelined-requests.pcap") + " 0 --save-bodies " + dir.path.string());
    EXPECT_EQ(doc["protocol"], "HTTP");
    ASSERT_EQ(doc["messages"].size(), 10u);
    ASSERT_EQ(doc["pairings"].size(), 5u);
    EXPECT_EQ(doc["pairings"][0]["status"], "matched");
    EXPECT_EQ(doc["messages"][0]["kind"], "request");
    EXPECT_FALSE(doc["messages"][0]["packets"].empty());
    std::size_t saved = 0;
    for (const auto& m : doc["messages"])
        if (m.contains("savedAs")) {
            EXPECT_TRUE(std::filesystem::exists(m["savedAs"].get<std::string>()));
            EXPECT_EQ(std::filesystem::path(m["savedAs"].get<std::string>()).parent_path(), dir.path);
            ++saved;
        }
    EXPECT_EQ(saved, 5u);
    // An SMTP attachment is saved under its file name, byte for byte.
    doc = messagesJSON(fixture("smtp-attachment-msg.pcap") + " 0 --save-bodies " + dir.path.string());
    EXPECT_EQ(doc["protocol"], "SMTP");
    EXPECT_EQ(test::readFile(dir.path / "test.msg"), test::readFile(test::fixturePath("expected/smtp-attachment-msg.test.msg")));
}

TEST(QorMessages, UninterpretedStreamsAndUDPFlows) {
    auto tls = messagesJSON(fixture("tls_nss_example.pcap") + " 0");
    EXPECT_TRUE(tls["protocol"].is_null());
    ASSERT_FALSE(tls["messages"].empty());
    // one data message per change of direction
    for (std::size_t i = 1; i < tls["messages"].size(); ++i) {
        EXPECT_EQ(tls["messages"][i]["kind"], "data");
        EXPECT_NE(tls["messages"][i]["direction"], tls["messages"][i - 1]["direction"]);
    }
    auto dns = messagesJSON(fixture("udp_dns_request_response.pcap") + " --udp 0");
    ASSERT_EQ(dns["messages"].size(), 2u);
    EXPECT_EQ(dns["messages"][0]["kind"], "request");
    ASSERT_EQ(dns["pairings"].size(), 1u);
    EXPECT_EQ(dns["pairings"][0]["status"], "matched");

    auto text = test::runQor("messages --packet 8 " + fixture("get-gzip.pcap"));
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("#0 → #1 matched: GET /gzip → 200 OK"), std::string::npos) << text.out;
}

/// An Ethernet/IPv4/TCP frame from 10.0.0.1:50000 to 10.0.0.2:80 (or back) with PSH ACK.
Data frame(bool fromClient, std::uint32_t seq, const std::string& payload) {
    test::Bytes tcp(true);
    tcp.u16(fromClient ? 50000 : 80).u16(fromClient ? 80 : 50000).u32(seq).u32(0).u8(0x50).u8(0x18).u16(65535).u16(0).u16(0).raw(payload);
    test::Bytes f(true);
    f.raw({0, 1, 2, 3, 4, 5, 0, 6, 7, 8, 9, 10}).u16(0x0800);
    f.u8(0x45).u8(0).u16(static_cast<std::uint16_t>(20 + tcp.size())).u16(1).u16(0x4000).u8(64).u8(6).u16(0);
    f.raw({10, 0, 0, fromClient ? 1 : 2}).raw({10, 0, 0, fromClient ? 2 : 1}).raw(tcp.data());
    return f.data();
}

TEST(QorMessages, SavedNamesNeverLeaveTheFolder) {
    test::TempDir dir;
    std::string responses;
    for (const char* name : {"../../escape.txt", "/etc/passwd", "..", "a\\b.txt", "same.txt", "same.txt"})
        responses += std::string("HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"") + name +
                     "\"\r\nContent-Length: 1\r\n\r\nx";
    std::string requests;
    for (int i = 0; i < 6; ++i) requests += "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    test::PcapBuilder pcap;
    pcap.record(1, 0, frame(true, 1, requests)).record(2, 0, frame(false, 1, responses));
    auto capture = dir.write("names.pcap", pcap.data());
    auto out = dir.path / "out";
    auto doc = messagesJSON(capture.string() + " 0 --save-bodies " + out.string());
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"escape.txt", "passwd", "message-8.bin", "b.txt", "same.txt", "same-1.txt"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path / "escape.txt"));
}

}  // namespace
}  // namespace qor
