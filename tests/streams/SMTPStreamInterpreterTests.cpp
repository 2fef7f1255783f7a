// The SMTP stream interpreter of the standard plug-in on streams built segment by segment.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StreamInterpreterSupport.hpp"

namespace qor::test {
namespace {

using Direction = TCPSegment::Direction;

const QORStreamInterpreting& smtp() {
    static auto interpreter = streamInterpreter("SMTP");
    return *interpreter;
}

const std::string kMail =
    "From: a@example.com\r\n"
    "Subject: report\r\n"
    "Content-Type: multipart/mixed; boundary=\"B\"\r\n"
    "\r\n"
    "--B\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "..dotted line\r\n"
    "--B\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAEC/w==\r\n"
    "--B--\r\n";

TEST(SMTPStreamInterpreter, SessionWithMailAndAttachment) {
    auto stream = streamOf(
        {
            {Direction::serverToClient, "220 mx ESMTP\r\n", 1, 1},
            {Direction::clientToServer, "EHLO me\r\n", 2, 2},
            {Direction::serverToClient, "250-mx\r\n250-SIZE 1000\r\n250 8BITMIME\r\n", 3, 3},
            {Direction::clientToServer, "MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.com>\r\nDATA\r\n", 4, 4},
            {Direction::serverToClient, "250 ok\r\n250 ok\r\n354 go ahead\r\n", 5, 5},
            {Direction::clientToServer, kMail + ".\r\n", 6, 6},
            {Direction::serverToClient, "250 queued\r\n", 7, 7},
            {Direction::clientToServer, "QUIT\r\n", 8, 8},
        },
        25);
    ASSERT_TRUE(smtp().canInterpret(stream));
    auto result = smtp().interpret(stream);
    std::vector<std::pair<StreamMessageKind, std::string>> shown;
    for (const auto& m : result.messages) shown.emplace_back(m.kind, m.summary);
    const std::vector<std::pair<StreamMessageKind, std::string>> expected = {
        {StreamMessageKind::reply, "220 mx ESMTP"},
        {StreamMessageKind::request, "EHLO me"},
        {StreamMessageKind::reply, "250 mx SIZE 1000 8BITMIME"},
        {StreamMessageKind::request, "MAIL FROM:<a@example.com>"},
        {StreamMessageKind::request, "RCPT TO:<b@example.com>"},
        {StreamMessageKind::request, "DATA"},
        {StreamMessageKind::reply, "250 ok"},
        {StreamMessageKind::reply, "250 ok"},
        {StreamMessageKind::reply, "354 go ahead"},
        {StreamMessageKind::request, "message data, " + std::to_string(kMail.size() - 1) + " bytes"},
        {StreamMessageKind::data, "text/plain"},
        {StreamMessageKind::data, "data.bin"},
        {StreamMessageKind::reply, "250 queued"},
        {StreamMessageKind::request, "QUIT"},
    };
    EXPECT_EQ(shown, expected);
    const auto& mail = result.messages[9];
    EXPECT_EQ(mail.body->toString().substr(0, 21), "From: a@example.com\r\n");
    EXPECT_NE(mail.body->toString().find("\r\n.dotted line"), std::string::npos);
    EXPECT_EQ(result.messages[10].body->toString(), ".dotted line");
    EXPECT_EQ(result.messages[11].filename, "data.bin");
    EXPECT_EQ(result.messages[11].body, bytes({0, 1, 2, 255}));
    EXPECT_EQ(result.messages[11].packetIds, (std::vector<std::int64_t>{6}));

    ASSERT_TRUE(result.pairings);
    std::vector<std::tuple<std::int64_t, std::optional<std::int64_t>, PairingStatus>> pairs;
    for (const auto& p : *result.pairings) pairs.emplace_back(p.requestIndex, p.replyIndex, p.status);
    const std::vector<std::tuple<std::int64_t, std::optional<std::int64_t>, PairingStatus>> expectedPairs = {
        {1, 2, PairingStatus::matched},  {3, 6, PairingStatus::matched},  {4, 7, PairingStatus::matched},
        {5, 8, PairingStatus::matched},  {9, 12, PairingStatus::matched}, {13, std::nullopt, PairingStatus::awaitingReply},
    };
    EXPECT_EQ(pairs, expectedPairs);
    EXPECT_EQ((*result.pairings)[4].summary, "message data → 250 queued");
}

TEST(SMTPStreamInterpreter, RefusedDataKeepsReadingCommandsAndStartTLSEndsTheText) {
    auto refused = smtp().interpret(streamOf({
        {Direction::serverToClient, "220 mx\r\n", 1, 1},
        {Direction::clientToServer, "HELO me\r\nDATA\r\nQUIT\r\n", 2, 2},
        {Direction::serverToClient, "250 hi\r\n554 no valid recipients\r\n221 bye\r\n", 3, 3},
    }));
    ASSERT_EQ(refused.messages.size(), 7u);
    EXPECT_EQ(refused.messages[3].summary, "QUIT");
    EXPECT_EQ(refused.pairings->back().summary, "QUIT → 221 bye");

    auto tls = smtp().interpret(streamOf({
        {Direction::serverToClient, "220 mx\r\n", 1, 1},
        {Direction::clientToServer, "STARTTLS\r\n", 2, 2},
        {Direction::serverToClient, "220 ready\r\n", 3, 3},
        {Direction::clientToServer, std::string("\x16\x03\x01\x00\x05hello", 10), 4, 4},
        {Direction::serverToClient, std::string("\x16\x03\x03\x00\x02hi", 7), 5, 5},
    }));
    ASSERT_EQ(tls.messages.size(), 5u);
    EXPECT_EQ(tls.messages[3].kind, StreamMessageKind::data);
    EXPECT_EQ(tls.messages[3].body->size(), 10u);
    EXPECT_EQ(tls.messages[4].kind, StreamMessageKind::data);
}

TEST(SMTPStreamInterpreter, UnendedMailAndOrphanRepliesAreShown) {
    auto result = smtp().interpret(streamOf("EHLO me\r\nDATA\r\nSubject: x\r\n\r\ncut here", "250 a\r\n354 b\r\n221 c\r\n250 d\r\n999 e"));
    // no greeting: the client spoke first
    ASSERT_TRUE(result.pairings);
    std::vector<PairingStatus> statuses;
    for (const auto& p : *result.pairings) statuses.push_back(p.status);
    EXPECT_EQ(statuses, (std::vector<PairingStatus>{PairingStatus::matched, PairingStatus::matched, PairingStatus::matched,
                                                    PairingStatus::unmatched}));
    bool warned = false;
    for (const auto& m : result.messages)
        for (const auto& row : m.detail) warned = warned || row.name == "Warning";
    EXPECT_TRUE(warned);
    EXPECT_EQ(result.messages.back().kind, StreamMessageKind::data);  // "999 e" has no line end
}

TEST(SMTPStreamInterpreter, CanInterpret) {
    struct Case {
        const char* client;
        const char* server;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"", "220 mx ESMTP\r\n", true},
        {"", "220-mx\r\n220 more\r\n", true},
        {"ehlo me\r\n", "", true},
        {"HELO\r\n", "", true},
        {"", "250 ok\r\n", false},
        {"GET / HTTP/1.1\r\n", "", false},
        {"EHLOX me\r\n", "", false},
        {"", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(smtp().canInterpret(streamOf(c.client, c.server, 25)), c.expected) << c.client << c.server;
}

}  // namespace
}  // namespace qor::test
