// The HTTP/1.x and SMTP stream interpreters of the standard plug-in on streams built segment by
// segment, and the MIME parser they share: the edges that the captures of the agreement tests
// lack.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "QORModels/streams/MIMEParser.hpp"
#include "StreamCaptures.hpp"

namespace qor::test {
namespace {

using Direction = TCPSegment::Direction;
using PairingRow = std::tuple<std::int64_t, std::optional<std::int64_t>, PairingStatus>;

const QORStreamInterpreting& http() { static const auto interpreter = streamInterpreter("HTTP"); return *interpreter; }
const QORStreamInterpreting& smtp() { static const auto interpreter = streamInterpreter("SMTP"); return *interpreter; }

std::string rowValue(const StreamMessage& m, std::string_view name) {
    for (const auto& row : m.detail)
        if (row.name == name) return row.value;
    return "<none>";
}

std::vector<PairingRow> pairingRows(const StreamInterpretation& result) {
    std::vector<PairingRow> rows;
    for (const auto& p : result.pairings.value_or(std::vector<Pairing>{})) rows.emplace_back(p.requestIndex, p.replyIndex, p.status);
    return rows;
}

Data text(std::string_view s) { return Data::fromString(s); }

std::string compressed(const std::string& text, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(StreamInterpreters, EachRecognisesOnlyItsOwnOpening) {
    const std::vector<std::tuple<const char*, const char*, const char*, bool>> cases = {
        {"HTTP", "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n", "", true}, {"HTTP", "OPTIONS * HTTP/1.0\r\n\r\n", "", true},
        {"HTTP", "", "HTTP/1.1 200 OK\r\n\r\n", true}, {"HTTP", "\x16\x03\x01", "HTTP/1.0 404\r\n", true},
        {"HTTP", "get / HTTP/1.1\r\n", "", false}, {"HTTP", "FETCH / HTTP/1.1\r\n", "", false}, {"HTTP", "GET / HTTP/2.0\r\n", "", false},
        {"HTTP", "GET HTTP/1.1\r\n", "", false}, {"HTTP", "GET / HTTP/1.1", "", false} /* no line end yet */, {"HTTP", "", "", false},
        {"HTTP", "SSH-2.0-OpenSSH\r\n", "SSH-2.0-OpenSSH\r\n", false}, {"HTTP", "", "HTTP/1.1 2000 OK\r\n", false},
        {"SMTP", "", "220 mx ESMTP\r\n", true}, {"SMTP", "", "220-mx\r\n220 more\r\n", true}, {"SMTP", "ehlo me\r\n", "", true},
        {"SMTP", "HELO\r\n", "", true}, {"SMTP", "", "250 ok\r\n", false}, {"SMTP", "GET / HTTP/1.1\r\n", "", false},
        {"SMTP", "EHLOX me\r\n", "", false}, {"SMTP", "", "", false}};
    for (const auto& [name, client, server, expected] : cases)
        EXPECT_EQ(streamInterpreter(name)->canInterpret(streamOf(client, server)), expected) << name << ": " << client << server;
}

TEST(HTTPStreamInterpreter, PipelinedRequestsPairInOrderAndHeadAnswersHaveNoBody) {
    auto result = http().interpret(streamOf(
        "HEAD /1 HTTP/1.1\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /3 HTTP/1.1\r\n\r\nGET /4 HTTP/1.1\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n"
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n"));
    // 4 requests, then 4 responses (the interim 100 shown but answering nothing)
    ASSERT_EQ(result.messages.size(), 8u);
    EXPECT_EQ(result.messages[1].body->toString(), "abc");
    EXPECT_FALSE(result.messages[4].body);
    EXPECT_EQ(result.messages[6].body->toString(), "ok");
    EXPECT_EQ(pairingRows(result), (std::vector<PairingRow>{{0, 4, PairingStatus::matched},
                                                            {1, 6, PairingStatus::matched},
                                                            {2, 7, PairingStatus::matched},
                                                            {3, std::nullopt, PairingStatus::awaitingReply}}));
    std::vector<std::string> summaries;
    for (const auto& p : *result.pairings) summaries.push_back(p.summary);
    EXPECT_EQ(summaries, (std::vector<std::string>{"HEAD /1 → 200 OK", "POST /2 → 201 Created", "GET /3 → 304 Not Modified",
                                                   "GET /4 (no reply)"}));

    // A response without request pairs with itself; the end of the connection ends its body.
    auto orphan = http().interpret(streamOf("", "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"x\":1}"));
    ASSERT_EQ(orphan.messages.size(), 1u);
    EXPECT_EQ(orphan.messages[0].body->toString(), "{\"x\":1}");
    EXPECT_EQ(orphan.messages[0].bodyHint, StreamBodyHint::json());
    EXPECT_EQ(pairingRows(orphan), (std::vector<PairingRow>{{0, 0, PairingStatus::unmatched}}));
}

TEST(HTTPStreamInterpreter, BodiesAreDecoded) {
    const std::string json = "{\"a\":1}";
    const std::string gz = compressed(json, 15 + 16), zl = compressed(json, 15), raw = compressed(json, -15);
    auto sized = [](const std::string& coding, const std::string& bytes) {
        return "Content-Encoding: " + coding + "\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n";
    };
    char restSize[32];
    std::snprintf(restSize, sizeof restSize, "%zx", gz.size() - 5);
    // name, header fields, body as sent, body as shown, "Decoded body" row
    const std::vector<std::tuple<const char*, std::string, std::string, std::string, std::string>> cases = {
        {"chunked with extension and trailer", "Transfer-Encoding: chunked\r\n", "3;x=y\r\n{\"a\r\n4\r\n\":1}\r\n0\r\nT: 1\r\n\r\n",
         json, "7 bytes (chunked)"},
        {"zlib deflate", sized("deflate", zl), zl, json, "7 bytes (deflate)"},
        {"raw deflate", sized("deflate", raw), raw, json, "7 bytes (deflate)"},
        {"gzip inside chunked", "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
         "5\r\n" + gz.substr(0, 5) + "\r\n" + restSize + "\r\n" + gz.substr(5) + "\r\n0\r\n\r\n", json, "7 bytes (chunked, gzip)"},
        {"broken gzip kept as sent", sized("gzip", "notgzip"), "notgzip", "notgzip", "<none>"},
        {"unknown coding kept as sent", sized("br", "xyz"), "xyz", "xyz", "<none>"},
    };
    for (const auto& [name, head, wire, body, decodedRow] : cases) {
        auto result = http().interpret(
            streamOf("GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n" + head + "\r\n" + wire + "HTTP/1.1 204 No Content\r\n\r\n"));
        ASSERT_EQ(result.messages.size(), 3u) << name;
        EXPECT_EQ(result.messages[1].body->toString(), body) << name;
        EXPECT_EQ(rowValue(result.messages[1], "Decoded body"), decodedRow) << name;
        EXPECT_EQ(result.messages[2].summary, "HTTP/1.1 204 No Content") << name;
    }
}

TEST(HTTPStreamInterpreter, HostileBodiesAreBoundedAndSaySo) {
    // 80 MiB of zeros deflate to about 80 KB: more than the decoded cap of 64 MiB.
    const std::string bomb = compressed(std::string(80u << 20, '\0'), 15 + 16);
    // name, response, body size, warning
    const std::vector<std::tuple<const char*, std::string, std::size_t, std::string>> cases = {
        {"2 GB Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\nshort", 5,
         "body incomplete: 5 of 2147483648 bytes captured"},
        {"endless chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n1", 2,
         "chunked body: chunk size line incomplete"},
        {"chunk longer than the data", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffff\r\nabc", 3,
         "chunked body: chunk runs past the end of the data"},
        {"invalid Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 1, 2\r\n\r\nabc", 3,
         "invalid Content-Length: the rest of the data is taken as the body"},
        {"decompression bomb", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + bomb, std::size_t{64} << 20,
         "decoded body cut at 67108864 bytes"},
    };
    for (const auto& [name, response, bodySize, warning] : cases) {
        auto result = http().interpret(streamOf("GET / HTTP/1.1\r\n\r\n", response));
        ASSERT_EQ(result.messages.size(), 2u) << name;
        ASSERT_TRUE(result.messages[1].body) << name;
        EXPECT_EQ(result.messages[1].body->size(), bodySize) << name;
        EXPECT_EQ(rowValue(result.messages[1], "Warning"), warning) << name;
    }
}

TEST(HTTPStreamInterpreter, MultipartBodiesGiveDataMessagesWithFileNames) {
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"up.txt\"\r\nContent-Type: text/plain\r\n\r\n"
        "file text\r\n--b\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\nvalue\r\n--b--\r\n";
    auto result = http().interpret(streamOf("POST /u HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                                            "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"r.bin\"\r\n"
                                            "Content-Length: 1\r\n\r\nx"));
    ASSERT_EQ(result.messages.size(), 4u);
    EXPECT_EQ(result.messages[1].kind, StreamMessageKind::data);
    EXPECT_EQ(result.messages[1].filename, "up.txt");
    EXPECT_EQ(result.messages[1].body->toString(), "file text");
    EXPECT_EQ(result.messages[2].summary, "text/plain");
    EXPECT_EQ(result.messages[2].body->toString(), "value");
    EXPECT_EQ(result.messages[3].filename, "r.bin");
    EXPECT_EQ(result.messages[3].bodyHint, StreamBodyHint::binary());
    ASSERT_EQ(result.pairings->size(), 1u);
    EXPECT_EQ((*result.pairings)[0].replyIndex, 3);
}

TEST(HTTPStreamInterpreter, ProtocolSwitchAndGarbageBecomeData) {
    auto upgraded = http().interpret(streamOf("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n\x81\x05hello",
                                              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x02hi"));
    ASSERT_EQ(upgraded.messages.size(), 4u);
    EXPECT_EQ(upgraded.messages[1].kind, StreamMessageKind::data);
    EXPECT_EQ(upgraded.messages[1].body->toString(), "\x81\x05hello");
    EXPECT_EQ(upgraded.messages[3].body->toString(), "\x81\x02hi");
    EXPECT_EQ((*upgraded.pairings)[0].status, PairingStatus::matched);

    auto refused = http().interpret(streamOf("GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\nGET /b HTTP/1.1\r\n\r\n",
                                             "HTTP/1.1 400 No\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_EQ(refused.pairings->size(), 2u);
    EXPECT_EQ((*refused.pairings)[1].summary, "GET /b → 200 OK");

    auto garbage = http().interpret(streamOf("GET / HTTP/1.1\r\n\r\n\x01\x02 binary", "HTTP/1.1 204 No Content\r\n\r\n"));
    ASSERT_EQ(garbage.messages.size(), 3u);
    EXPECT_EQ(garbage.messages[1].kind, StreamMessageKind::data);
    EXPECT_EQ(rowValue(garbage.messages[1], "Note"), "not an HTTP request");
}

TEST(SMTPStreamInterpreter, SessionWithRepliesAndADotStuffedMail) {
    // Attachments come out byte for byte in MessageAgreement (a capture of the client's side).
    const std::string mail = "From: a@example.com\r\nSubject: report\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                             "--B\r\nContent-Type: text/plain\r\n\r\n..dotted line\r\n--B--\r\n";
    auto result = smtp().interpret(streamOf(
        {
            {Direction::serverToClient, "220 mx ESMTP\r\n", 1, 1},
            {Direction::clientToServer, "EHLO me\r\n", 2, 2},
            {Direction::serverToClient, "250-mx\r\n250-SIZE 1000\r\n250 8BITMIME\r\n", 3, 3},
            {Direction::clientToServer, "MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.com>\r\nDATA\r\n", 4, 4},
            {Direction::serverToClient, "250 ok\r\n250 ok\r\n354 go ahead\r\n", 5, 5},
            {Direction::clientToServer, mail + ".\r\n", 6, 6},
            {Direction::serverToClient, "250 queued\r\n", 7, 7},
            {Direction::clientToServer, "QUIT\r\n", 8, 8},
        },
        25));
    std::vector<std::pair<StreamMessageKind, std::string>> shown;
    for (const auto& m : result.messages) shown.emplace_back(m.kind, m.summary);
    using enum StreamMessageKind;
    EXPECT_EQ(shown, (std::vector<std::pair<StreamMessageKind, std::string>>{
                         {reply, "220 mx ESMTP"}, {request, "EHLO me"}, {reply, "250 mx SIZE 1000 8BITMIME"},
                         {request, "MAIL FROM:<a@example.com>"}, {request, "RCPT TO:<b@example.com>"}, {request, "DATA"},
                         {reply, "250 ok"}, {reply, "250 ok"}, {reply, "354 go ahead"},
                         {request, "message data, " + std::to_string(mail.size() - 1) + " bytes"}, {data, "text/plain"},
                         {reply, "250 queued"}, {request, "QUIT"}}));
    EXPECT_NE(result.messages[9].body->toString().find("\r\n.dotted line"), std::string::npos);
    EXPECT_EQ(result.messages[10].body->toString(), ".dotted line");
    EXPECT_EQ(result.messages[10].packetIds, (std::vector<std::int64_t>{6}));
    EXPECT_EQ(pairingRows(result),
              (std::vector<PairingRow>{{1, 2, PairingStatus::matched}, {3, 6, PairingStatus::matched}, {4, 7, PairingStatus::matched},
                                       {5, 8, PairingStatus::matched}, {9, 11, PairingStatus::matched},
                                       {12, std::nullopt, PairingStatus::awaitingReply}}));
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
    std::vector<PairingStatus> statuses;
    for (const auto& [request, reply, status] : pairingRows(result)) statuses.push_back(status);
    EXPECT_EQ(statuses, (std::vector<PairingStatus>{PairingStatus::matched, PairingStatus::matched, PairingStatus::matched,
                                                    PairingStatus::unmatched}));
    EXPECT_TRUE(std::any_of(result.messages.begin(), result.messages.end(),
                            [](const StreamMessage& m) { return rowValue(m, "Warning") != "<none>"; }));
    EXPECT_EQ(result.messages.back().kind, StreamMessageKind::data);  // "999 e" has no line end
}

TEST(MIMEParser, NestedMultipartGivesOnlyLeavesInDocumentOrder) {
    const std::string nested =
        "From: a@example.com\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"outer\"\r\n\r\npreamble\r\n"
        "--outer\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n"
        "--inner\nContent-Type: text/plain; charset=ISO-8859-1\n\nplain\n"
        "--inner\nContent-Type: text/html\n\n<p>html</p>\n"
        "--inner--\n"
        "--outer\r\nContent-Type: image/png; name=\"fallback.png\"\r\nContent-Disposition: inline; filename=a.png\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\naGVs\r\nbG8=\r\n"
        "--outer--\r\nepilogue\r\n";
    auto parts = MIMEParser::parseLeafParts(text(nested));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].contentType, "text/plain");
    EXPECT_EQ(parts[0].body.toString(), "plain");
    EXPECT_EQ(parts[0].streamBodyHint(), StreamBodyHint::text(StringEncoding::isoLatin1));
    EXPECT_FALSE(parts[0].filename);
    EXPECT_EQ(parts[1].streamBodyHint(), StreamBodyHint::html());
    EXPECT_EQ(parts[2].streamBodyHint(), StreamBodyHint::image("png"));
    EXPECT_EQ(parts[2].filename, "a.png");
    EXPECT_EQ(parts[2].body.toString(), "hello");
    // Without a Content-Disposition file name, the Content-Type "name" names the file.
    EXPECT_EQ(MIMEParser::parseLeafParts(text("Content-Type: application/zip; name=\"x.zip\"\n\nPK")).at(0).filename, "x.zip");
}

TEST(MIMEParser, MalformedMessagesDegradeToOneLeaf) {
    const std::string multipart = "multipart/mixed", plain = "text/plain";
    // name, message, leaf body, leaf media type
    const std::vector<std::tuple<const char*, std::string, std::string, std::string>> cases = {
        {"no header separator", "just a body", "just a body", plain},
        {"multipart without boundary", "Content-Type: multipart/mixed\n\n--x\n\nA\n--x--", "--x\n\nA\n--x--", multipart},
        {"one delimiter only", "Content-Type: multipart/mixed; boundary=x\n\n--x\n\nA\n", "--x\n\nA\n", multipart},
        {"delimiter line never ends", "Content-Type: multipart/mixed; boundary=x\n\n--x--x", "--x--x", multipart},
        {"failed base64 keeps the raw body", "Content-Transfer-Encoding: BASE64\n\nQ", "Q", plain},
        {"base64 skips foreign characters", "Content-Transfer-Encoding: base64\n\nS*G*k=\n", "Hi", plain},
        {"quoted-printable", "Content-Transfer-Encoding:  Quoted-Printable \n\na=3Db=3d=\r\nc=\nd =ZZ=4", "a=b=cd =ZZ=4", plain},
        {"unknown transfer coding", "Content-Transfer-Encoding: x-uue\n\n=3D", "=3D", plain},
    };
    for (const auto& [name, input, body, contentType] : cases) {
        auto parts = MIMEParser::parseLeafParts(text(input));
        ASSERT_EQ(parts.size(), 1u) << name;
        EXPECT_EQ(parts[0].body.toString(), body) << name;
        EXPECT_EQ(parts[0].contentType, contentType) << name;
    }
    EXPECT_TRUE(MIMEParser::parseLeafParts(Data()).empty());
    // No leaf at all still gives one binary message.
    auto empty = StreamMessage::dataMessages(Data(), TCPSegment::Direction::serverToClient, std::nullopt, {7}, 2.0);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].summary, "message");
    EXPECT_EQ(empty[0].body, Data());
    EXPECT_EQ(empty[0].bodyHint, StreamBodyHint::binary());
}

TEST(MIMEParser, HostileNestingLeavesAndSizesAreCapped) {
    // 200 levels of multiparts, each holding the next: the parser opens 32 and keeps the rest as
    // one leaf, saying so.
    std::string nested = "leaf";
    for (int level = 199; level >= 0; --level) {
        std::string b = "q" + std::to_string(level) + "q";
        nested = "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n" + nested + "\n--" + b + "--\n";
    }
    auto deep = MIMEParser::parse(text(nested));
    ASSERT_EQ(deep.parts.size(), 1u);
    EXPECT_EQ(deep.parts[0].contentType, "multipart/mixed");
    ASSERT_EQ(deep.limitNotes.size(), 1u);
    EXPECT_NE(deep.limitNotes[0].find("nesting"), std::string::npos);
    auto messages = StreamMessage::dataMessages(text(nested), TCPSegment::Direction::clientToServer, std::nullopt, {}, 0);
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].detail.size(), 1u);
    EXPECT_EQ(messages[0].detail[0].name, "MIME limit");

    std::string many = "Content-Type: multipart/mixed; boundary=x\n\n";
    for (int i = 0; i < 5000; ++i) many += "--x\n\np\n";
    many += "--x--\n";
    auto wide = MIMEParser::parse(text(many));
    EXPECT_EQ(wide.parts.size(), MIMELimits{}.maxLeaves);
    EXPECT_EQ(wide.limitNotes.size(), 1u);

    MIMELimits small;
    small.maxDecodedBytes = 4;
    auto cut = MIMEParser::parse(text("Content-Transfer-Encoding: base64\n\naGVsbG8gd29ybGQ="), small);
    ASSERT_EQ(cut.parts.size(), 1u);
    EXPECT_EQ(cut.parts[0].body.toString(), "hell");
    EXPECT_EQ(cut.limitNotes.size(), 1u);
}

}  // namespace
}  // namespace qor::test
