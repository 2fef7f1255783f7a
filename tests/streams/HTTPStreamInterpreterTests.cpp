// The HTTP/1.x stream interpreter of the standard plug-in on streams built segment by segment.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "StreamInterpreterSupport.hpp"

namespace qor::test {
namespace {

using Direction = TCPSegment::Direction;

const QORStreamInterpreting& http() {
    static auto interpreter = streamInterpreter("HTTP");
    return *interpreter;
}

std::string rowValue(const StreamMessage& m, std::string_view name) {
    for (const auto& row : m.detail)
        if (row.name == name) return row.value;
    return "<none>";
}

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

TEST(HTTPStreamInterpreter, CanInterpretOnlyRequestOrStatusLines) {
    struct Case {
        const char* client;
        const char* server;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n", "", true},
        {"OPTIONS * HTTP/1.0\r\n\r\n", "", true},
        {"", "HTTP/1.1 200 OK\r\n\r\n", true},
        {"\x16\x03\x01", "HTTP/1.0 404\r\n", true},
        {"get / HTTP/1.1\r\n", "", false},
        {"FETCH / HTTP/1.1\r\n", "", false},
        {"GET / HTTP/2.0\r\n", "", false},
        {"GET HTTP/1.1\r\n", "", false},
        {"GET / HTTP/1.1", "", false},  // no line end yet
        {"SSH-2.0-OpenSSH\r\n", "SSH-2.0-OpenSSH\r\n", false},
        {"", "HTTP/1.1 2000 OK\r\n", false},
        {"", "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(http().canInterpret(streamOf(c.client, c.server)), c.expected) << c.client << c.server;
}

TEST(HTTPStreamInterpreter, RequestAndResponseWithHeadersBodyAndPackets) {
    auto stream = streamOf({
        {Direction::clientToServer, "GET /a HTTP/1.1\r\nHost: example\r\n\r\n", 1.0, 4},
        {Direction::serverToClient, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 12\r\n\r\n<p>", 1.5, 6},
        {Direction::serverToClient, "hello</p>", 1.6, 7},
    });
    auto result = http().interpret(stream);
    ASSERT_EQ(result.messages.size(), 2u);
    const auto& request = result.messages[0];
    const auto& reply = result.messages[1];
    EXPECT_EQ(request.kind, StreamMessageKind::request);
    EXPECT_EQ(request.summary, "GET /a HTTP/1.1");
    EXPECT_EQ(rowValue(request, "Host"), "example");
    EXPECT_FALSE(request.body);
    EXPECT_EQ(request.packetIds, (std::vector<std::int64_t>{4}));
    EXPECT_EQ(reply.kind, StreamMessageKind::reply);
    EXPECT_EQ(reply.summary, "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.body->toString(), "<p>hello</p>");
    EXPECT_EQ(reply.bodyHint, StreamBodyHint::html());
    EXPECT_EQ(reply.packetIds, (std::vector<std::int64_t>{6, 7}));
    EXPECT_EQ(reply.timestamp, 1.5);
    EXPECT_EQ(reply.byteRange, (ByteRange{0, static_cast<std::int64_t>(stream.serverToClientData.size())}));
    ASSERT_TRUE(result.pairings);
    ASSERT_EQ(result.pairings->size(), 1u);
    EXPECT_EQ((*result.pairings)[0].status, PairingStatus::matched);
    EXPECT_EQ((*result.pairings)[0].requestIndex, 0);
    EXPECT_EQ((*result.pairings)[0].replyIndex, 1);
    EXPECT_EQ((*result.pairings)[0].summary, "GET /a → 200 OK");
}

TEST(HTTPStreamInterpreter, PipelinedRequestsPairInOrderAndHeadAnswersHaveNoBody) {
    auto stream = streamOf({
        {Direction::clientToServer,
         "HEAD /1 HTTP/1.1\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /3 HTTP/1.1\r\n\r\nGET /4 HTTP/1.1\r\n\r\n",
         1.0, 1},
        {Direction::serverToClient,
         "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n"
         "HTTP/1.1 100 Continue\r\n\r\n"
         "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok"
         "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n",
         2.0, 2},
    });
    auto result = http().interpret(stream);
    // 4 requests, then 4 responses (the interim 100 shown but answering nothing)
    ASSERT_EQ(result.messages.size(), 8u);
    EXPECT_EQ(result.messages[1].body->toString(), "abc");
    EXPECT_FALSE(result.messages[4].body);
    EXPECT_EQ(result.messages[6].body->toString(), "ok");
    ASSERT_TRUE(result.pairings);
    ASSERT_EQ(result.pairings->size(), 4u);
    const std::vector<std::tuple<std::int64_t, std::optional<std::int64_t>, PairingStatus, std::string>> expected = {
        {0, 4, PairingStatus::matched, "HEAD /1 → 200 OK"},
        {1, 6, PairingStatus::matched, "POST /2 → 201 Created"},
        {2, 7, PairingStatus::matched, "GET /3 → 304 Not Modified"},
        {3, std::nullopt, PairingStatus::awaitingReply, "GET /4 (no reply)"},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& p = (*result.pairings)[i];
        EXPECT_EQ(p.requestIndex, std::get<0>(expected[i]));
        EXPECT_EQ(p.replyIndex, std::get<1>(expected[i]));
        EXPECT_EQ(p.status, std::get<2>(expected[i]));
        EXPECT_EQ(p.summary, std::get<3>(expected[i]));
    }
}

TEST(HTTPStreamInterpreter, ResponseWithoutRequestIsUnmatchedAndCloseDelimitsBodies) {
    auto result = http().interpret(streamOf("", "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"x\":1}"));
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0].body->toString(), "{\"x\":1}");
    EXPECT_EQ(result.messages[0].bodyHint, StreamBodyHint::json());
    ASSERT_TRUE(result.pairings);
    EXPECT_EQ((*result.pairings)[0].status, PairingStatus::unmatched);
    EXPECT_EQ((*result.pairings)[0].requestIndex, 0);
    EXPECT_EQ((*result.pairings)[0].replyIndex, 0);
}

TEST(HTTPStreamInterpreter, BodiesAreDecoded) {
    const std::string json = "{\"a\":1}";
    struct Case {
        const char* name;
        std::string head;
        std::string wire;
        std::string body;
        std::string decodedRow;
    };
    const std::string gz = compressed(json, 15 + 16), zl = compressed(json, 15), raw = compressed(json, -15);
    auto sized = [](const std::string& coding, const std::string& bytes) {
        return "Content-Encoding: " + coding + "\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n";
    };
    auto hex = [](std::size_t n) {
        char text[32];
        std::snprintf(text, sizeof text, "%zx", n);
        return std::string(text);
    };
    const std::vector<Case> cases = {
        {"chunked with extension and trailer", "Transfer-Encoding: chunked\r\n", "3;x=y\r\n{\"a\r\n4\r\n\":1}\r\n0\r\nT: 1\r\n\r\n",
         json, "7 bytes (chunked)"},
        {"gzip", sized("gzip", gz), gz, json, "7 bytes (gzip)"},
        {"zlib deflate", sized("deflate", zl), zl, json, "7 bytes (deflate)"},
        {"raw deflate", sized("deflate", raw), raw, json, "7 bytes (deflate)"},
        {"gzip inside chunked", "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
         "5\r\n" + gz.substr(0, 5) + "\r\n" + hex(gz.size() - 5) + "\r\n" + gz.substr(5) + "\r\n0\r\n\r\n", json,
         "7 bytes (chunked, gzip)"},
        {"broken gzip kept as sent", sized("gzip", "notgzip"), "notgzip", "notgzip", "<none>"},
        {"unknown coding kept as sent", sized("br", "xyz"), "xyz", "xyz", "<none>"},
    };
    for (const auto& c : cases) {
        auto result = http().interpret(streamOf("GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n" + c.head + "\r\n" + c.wire +
                                                                               "HTTP/1.1 204 No Content\r\n\r\n"));
        ASSERT_EQ(result.messages.size(), 3u) << c.name;
        EXPECT_EQ(result.messages[1].body->toString(), c.body) << c.name;
        EXPECT_EQ(rowValue(result.messages[1], "Decoded body"), c.decodedRow) << c.name;
        EXPECT_EQ(result.messages[2].summary, "HTTP/1.1 204 No Content") << c.name;
    }
}

TEST(HTTPStreamInterpreter, HostileBodiesAreBoundedAndSaySo) {
    struct Case {
        const char* name;
        std::string response;
        std::size_t bodySize;
        std::string warning;
    };
    // 80 MiB of zeros deflate to about 80 KB: more than the decoded cap of 64 MiB.
    const std::string bomb = compressed(std::string(80u << 20, '\0'), 15 + 16);
    const std::vector<Case> cases = {
        {"2 GB Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\nshort", 5,
         "body incomplete: 5 of 2147483648 bytes captured"},
        {"chunk size past 64 bits", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n10000000000000000\r\nxx",
         4, "chunked body: chunk size does not fit in 64 bits"},
        {"endless chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n1", 2,
         "chunked body: chunk size line incomplete"},
        {"chunk longer than the data", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffff\r\nabc", 3,
         "chunked body: chunk runs past the end of the data"},
        {"invalid Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 1, 2\r\n\r\nabc", 3,
         "invalid Content-Length: the rest of the data is taken as the body"},
        {"decompression bomb", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + bomb, std::size_t{64} << 20,
         "decoded body cut at 67108864 bytes"},
    };
    for (const auto& c : cases) {
        auto result = http().interpret(streamOf("GET / HTTP/1.1\r\n\r\n", c.response));
        ASSERT_EQ(result.messages.size(), 2u) << c.name;
        ASSERT_TRUE(result.messages[1].body) << c.name;
        EXPECT_EQ(result.messages[1].body->size(), c.bodySize) << c.name;
        EXPECT_EQ(rowValue(result.messages[1], "Warning"), c.warning) << c.name;
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

}  // namespace
}  // namespace qor::test
