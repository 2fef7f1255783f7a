// DHCP, NTP, TLS, HTTP and SMTP analyzers, on real captures and on bytes built in the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "accessanalyzers/AccessTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

TEST(DHCPAnalyzer, ReadsTheFourMessagesOfTheRFC3004Capture) {
    auto packets = readCapture("dhcp-rfc3004.pcap").packets;
    ASSERT_EQ(packets.size(), 4u);
    const char* types[] = {"Discover", "Offer", "Request", "ACK"};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        auto chain = layersOf(*packets[i]);
        auto dhcp = layerOf(chain, "DHCP");
        ASSERT_TRUE(dhcp) << chainHistory(*packets[i]);
        auto info = dhcp->analyzer->protocolInfo(dhcp->bytes).value_or("<none>");
        EXPECT_TRUE(info.starts_with(std::string("DHCP ") + types[i])) << info;
        auto nodes = dhcp->analyzer->protocolNodes(dhcp->bytes);
        EXPECT_EQ(topLevelValue(nodes, "Option (53) DHCP Message Type"), std::string(types[i]) + " (" + std::to_string(i == 3 ? 5 : i + 1) + ")");
        // The client's messages carry the RFC 3004 user class.
        EXPECT_EQ(topLevelValue(nodes, "Option (77) User Class Information").has_value(), i % 2 == 0) << info;
    }
}

TEST(DHCPAnalyzer, StopsAtAnOptionThatRunsPastThePacket) {
    Bytes b(true);
    b.u8(1).u8(1).u8(6).u8(0).u32(0x01020304).zeros(228).u32(0x63825363);
    b.raw({53, 1, 3, 12, 200, 'h'});
    auto a = make("DHCPAnalyzer", b.data());
    auto nodes = a->protocolNodes(b.data());
    EXPECT_EQ(topLevelValue(nodes, "Option (53) DHCP Message Type"), "Request (3)");
    EXPECT_TRUE(topLevelValue(nodes, "Malformed Option"));
    EXPECT_EQ(a->value("dhcpMessageType", b.data()).asUInt(), 3u);
    EXPECT_FALSE(makeAnalyzer("DHCPAnalyzer", b.data().slice(0, 235)));
}

TEST(NTPAnalyzer, ReadsAClientRequest) {
    Bytes b(true);
    b.u8(0x23).u8(0).u8(6).u8(0xec).u32(0).u32(0).u32(0).zeros(24);
    b.u32(0xE9A2B6F0).u32(0x80000000);  // transmit timestamp
    auto a = make("NTPAnalyzer", b.data());
    EXPECT_EQ(a->protocolInfo(), "NTP Version 4, client");
    EXPECT_EQ(a->protocolSize(), 48);
    expectTopLevel(a->protocolNodes(b.data()),
                   {{"Transmit Timestamp", "2024-03-18 12:49:52.500000 UTC"}, {"Origin Timestamp", "not set"}});
    EXPECT_FALSE(makeAnalyzer("NTPAnalyzer", b.data().slice(0, 47)));
    EXPECT_TRUE(makeAnalyzer("NTPAnalyzer", bytes({0x16, 0x02, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})));  // control
}

TEST(TLSAnalyzer, NamesTheServerOfEachClientHello) {
    std::vector<std::string> infos;
    for (const auto& p : readCapture("tls1_3.pcap").packets) {
        auto chain = layersOf(*p);
        if (auto tls = layerOf(chain, "TLS")) infos.push_back(tls->analyzer->protocolInfo(tls->bytes).value_or(""));
    }
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[0], "Client Hello (SNI dogfish)");
    EXPECT_EQ(infos[2], "Client Hello (SNI www.google.com)");
    for (auto i : {1u, 3u}) EXPECT_TRUE(infos[i].starts_with("Server Hello")) << infos[i];
}

TEST(TLSAnalyzer, ReadsRecordsAndSurvivesLyingLengths) {
    // A ClientHello whose extensions vector claims more than the record holds, then an alert.
    Bytes hello(true);
    hello.u16(0x0303).zeros(32).u8(0).u16(2).u16(0x1301).u8(1).u8(0).u16(0x4000).u16(0).u16(20);
    Bytes record(true);
    record.u8(22).u16(0x0301).u16(static_cast<std::uint16_t>(4 + hello.size()));
    record.u8(1).u8(0).u16(static_cast<std::uint16_t>(hello.size())).raw(hello.data());
    record.u8(21).u16(0x0303).u16(2).u8(2).u8(40);
    auto a = make("TLSAnalyzer", record.data());
    EXPECT_EQ(a->protocolInfo(), "Client Hello, Alert");
    EXPECT_EQ(a->protocolSize(), record.size());
    EXPECT_FALSE(a->value("tlsServerName", record.data()).asString());
    // Encrypted handshake after Change Cipher Spec, and a segment in the middle of a record.
    EXPECT_EQ(make("TLSAnalyzer", bytes({20, 3, 3, 0, 1, 1, 22, 3, 3, 0, 4, 0x9a, 0x11, 0x22, 0x33}))->protocolInfo(),
              "Change Cipher Spec, Encrypted Handshake Message");
    EXPECT_EQ(make("TLSAnalyzer", bytes({0x9a, 0x11, 0x22}))->protocolInfo(), "Continuation Data");
}

TEST(HTTPAnalyzer, SplitsHeadFromBody) {
    auto response = Data::fromString("HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\nServer: x\r\n\r\nnope!");
    auto a = make("HTTPAnalyzer", response);
    EXPECT_EQ(a->protocolInfo(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(a->protocolSize(), response.size() - 5);
    EXPECT_TRUE(a->hasPayload());
    EXPECT_EQ(a->value("payloadSize", response).asUInt(), 5u);
    EXPECT_EQ(a->value("httpStatusCode", response).asUInt(), 404u);
    expectTopLevel(a->protocolNodes(response), {{"Content-Length", "5"}, {"Response Phrase", "Not Found"}});

    auto request = Data::fromString("GET /a?b=c HTTP/1.1\r\nHost: example.org\r\n");  // head continues
    a = make("HTTPAnalyzer", request);
    EXPECT_EQ(a->protocolInfo(), "GET /a?b=c HTTP/1.1");
    EXPECT_EQ(a->protocolSize(), request.size());
    EXPECT_FALSE(a->hasPayload());
    EXPECT_EQ(a->value("httpRequestURI", request).asString(), "/a?b=c");

    auto body = Data::fromString("<html>more of the body</html>");
    a = make("HTTPAnalyzer", body);
    EXPECT_EQ(a->protocolInfo(), "Continuation");
    EXPECT_EQ(a->protocolSize(), 0);
    EXPECT_EQ(a->value("payloadSize", body).asUInt(), body.size());
}

TEST(SMTPAnalyzer, TellsCommandsRepliesAndMessageData) {
    auto reply = Data::fromString("250-mail.example.com\r\n250-SIZE 1000\r\n250 OK\r\n");
    auto a = make("SMTPAnalyzer", reply);
    EXPECT_EQ(a->protocolInfo(), "S: 250-mail.example.com");
    EXPECT_EQ(a->value("smtpReplyCode", reply).asUInt(), 250u);
    auto flat = flatten(a->protocolNodes(reply));
    EXPECT_EQ(std::count(flat.begin(), flat.end(), "Response code: 250"), 3);

    auto command = Data::fromString("mail FROM:<a@example.com>\r\n");
    a = make("SMTPAnalyzer", command);
    EXPECT_EQ(a->protocolInfo(), "C: mail FROM:<a@example.com>");
    EXPECT_EQ(a->value("smtpCommand", command).asString(), "MAIL");

    auto data = Data::fromString("Subject: hi\r\n\r\nhello\r\n.\r\n");
    EXPECT_EQ(make("SMTPAnalyzer", data)->protocolInfo(), "C: DATA fragment, " + std::to_string(data.size()) + " bytes");
}

}  // namespace
}  // namespace qor::test::access
