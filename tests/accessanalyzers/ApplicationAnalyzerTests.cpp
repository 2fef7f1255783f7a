// DHCP, NTP, TLS, HTTP and SMTP analyzers on bytes built in the test (on real captures: CaptureAgreement).

#include <algorithm>

#include "accessanalyzers/AccessTestSupport.hpp"

namespace qor::test::access {
namespace {

TEST(ApplicationAnalyzers, ReadMessagesBuiltByteByByteAndSurviveLyingLengths) {
    Bytes dhcp(true);
    dhcp.u8(1).u8(1).u8(6).u8(0).u32(0x01020304).zeros(228).u32(0x63825363);
    dhcp.raw({53, 1, 3, 12, 200, 'h'});  // the host name option runs past the packet
    Bytes ntp(true);
    ntp.u8(0x23).u8(0).u8(6).u8(0xec).u32(0).u32(0).u32(0).zeros(24);
    ntp.u32(0xE9A2B6F0).u32(0x80000000);  // transmit timestamp
    // A TLS ClientHello whose extensions vector claims more than the record holds, then an alert.
    Bytes hello(true);
    hello.u16(0x0303).zeros(32).u8(0).u16(2).u16(0x1301).u8(1).u8(0).u16(0x4000).u16(0).u16(20);
    Bytes record(true);
    record.u8(22).u16(0x0301).u16(static_cast<std::uint16_t>(4 + hello.size()));
    record.u8(1).u8(0).u16(static_cast<std::uint16_t>(hello.size())).raw(hello.data());
    record.u8(21).u16(0x0303).u16(2).u8(2).u8(40);
    auto response = Data::fromString("HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\nServer: x\r\n\r\nnope!");
    auto request = Data::fromString("GET /a?b=c HTTP/1.1\r\nHost: example.org\r\n");  // head continues
    auto body = Data::fromString("<html>more of the body</html>");
    auto reply = Data::fromString("250-mail.example.com\r\n250-SIZE 1000\r\n250 OK\r\n");
    auto data = Data::fromString("Subject: hi\r\n\r\nhello\r\n.\r\n");
    auto dataInfo = "C: DATA fragment, " + std::to_string(data.size()) + " bytes";
    expectAccessRows({
        {"DHCPAnalyzer", dhcp.data(), nullptr, {{"Option (53) DHCP Message Type", "Request (3)"}, {"Malformed Option", nullptr}}, {},
         -1, nullptr, {{"dhcpMessageType", "3"}}},
        {"NTPAnalyzer", ntp.data(), "NTP Version 4, client",
         {{"Transmit Timestamp", "2024-03-18 12:49:52.500000 UTC"}, {"Origin Timestamp", "not set"}}, {}, 48},
        {"TLSAnalyzer", record.data(), "Client Hello, Alert", {}, {}, static_cast<long>(record.size()), nullptr, {{"tlsServerName", "<none>"}}},
        // Encrypted handshake after Change Cipher Spec, and a segment in the middle of a record.
        {"TLSAnalyzer", bytes({20, 3, 3, 0, 1, 1, 22, 3, 3, 0, 4, 0x9a, 0x11, 0x22, 0x33}), "Change Cipher Spec, Encrypted Handshake Message"},
        {"TLSAnalyzer", bytes({0x9a, 0x11, 0x22}), "Continuation Data"},
        {"HTTPAnalyzer", response, "HTTP/1.1 404 Not Found", {{"Content-Length", "5"}, {"Response Phrase", "Not Found"}}, {},
         static_cast<long>(response.size() - 5), nullptr, {{"payloadSize", "5"}, {"httpStatusCode", "404"}}},
        {"HTTPAnalyzer", request, "GET /a?b=c HTTP/1.1", {}, {}, static_cast<long>(request.size()), nullptr, {{"httpRequestURI", "/a?b=c"}}},
        {"HTTPAnalyzer", body, "Continuation", {}, {}, 0, nullptr, {{"payloadSize", std::to_string(body.size())}}},
        {"SMTPAnalyzer", reply, "S: 250-mail.example.com", {}, {}, -1, nullptr, {{"smtpReplyCode", "250"}}},
        {"SMTPAnalyzer", Data::fromString("mail FROM:<a@example.com>\r\n"), "C: mail FROM:<a@example.com>", {}, {}, -1, nullptr,
         {{"smtpCommand", "MAIL"}}},
        {"SMTPAnalyzer", data, dataInfo.c_str()},
    });
    expectRefused("DHCPAnalyzer", {dhcp.data().slice(0, 235)});
    expectRefused("NTPAnalyzer", {ntp.data().slice(0, 47)});
    EXPECT_TRUE(make("HTTPAnalyzer", response)->hasPayload());
    EXPECT_FALSE(make("HTTPAnalyzer", request)->hasPayload());
    auto flat = flatten(make("SMTPAnalyzer", reply)->protocolNodes(reply));
    EXPECT_EQ(std::count(flat.begin(), flat.end(), "Response code: 250"), 3);
}

}  // namespace
}  // namespace qor::test::access
