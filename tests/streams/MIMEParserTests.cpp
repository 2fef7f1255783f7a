// MIME leaves, header fields, parameters, body hints, mail lines and dot-unstuffing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORModels/streams/MIMEParser.hpp"
#include "QORModels/streams/MailTransport.hpp"
#include "QORModels/streams/StreamMessage.hpp"

namespace qor {
namespace {

Data text(std::string_view s) { return Data::fromString(s); }

const std::string kMixed =
    "From: a@example.com\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"XYZ\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--XYZ\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "\r\n"
    "Hello\r\n"
    "--XYZ\r\n"
    "Content-Type: application/octet-stream; name=\"fallback.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "aGVs\r\nbG8=\r\n"
    "--XYZ--\r\n"
    "epilogue\r\n";

TEST(MIMEParser, MultipartMixedGivesOneLeafPerPartWithFileNameAndDecodedBody) {
    auto parts = MIMEParser::parseLeafParts(text(kMixed));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].contentType, "text/plain");
    EXPECT_EQ(parts[0].body.toString(), "Hello");
    EXPECT_EQ(parts[0].streamBodyHint(), StreamBodyHint::text(StringEncoding::isoLatin1));
    EXPECT_FALSE(parts[0].filename);
    EXPECT_EQ(parts[1].filename, "report.pdf");
    EXPECT_EQ(parts[1].body.toString(), "hello");
    EXPECT_EQ(parts[1].streamBodyHint(), StreamBodyHint::binary());

    auto messages = StreamMessage::dataMessages(text(kMixed), TCPSegment::Direction::clientToServer,
                                                ByteRange{10, 20}, {4, 5}, 1.5);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].summary, "text/plain");
    EXPECT_EQ(messages[1].summary, "report.pdf");
    EXPECT_EQ(messages[1].filename, "report.pdf");
    for (const auto& m : messages) {
        EXPECT_EQ(m.kind, StreamMessageKind::data);
        EXPECT_TRUE(m.detail.empty());
        EXPECT_EQ(m.byteRange, (ByteRange{10, 20}));
        EXPECT_EQ(m.packetIds, (std::vector<std::int64_t>{4, 5}));
        EXPECT_FALSE(m.isDecrypted);
    }
}

TEST(MIMEParser, NestedMultipartGivesOnlyLeavesInDocumentOrder) {
    const std::string nested =
        "Content-Type: multipart/mixed; boundary=outer\n\n"
        "--outer\n"
        "Content-Type: multipart/alternative; boundary=inner\n\n"
        "--inner\nContent-Type: text/plain\n\nplain\n"
        "--inner\nContent-Type: text/html\n\n<p>html</p>\n"
        "--inner--\n"
        "--outer\nContent-Type: image/png\nContent-Disposition: inline; filename=a.png\n\nPNG\n"
        "--outer--\n";
    auto parts = MIMEParser::parseLeafParts(text(nested));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].body.toString(), "plain");
    EXPECT_EQ(parts[1].streamBodyHint(), StreamBodyHint::html());
    EXPECT_EQ(parts[2].streamBodyHint(), StreamBodyHint::image("png"));
    EXPECT_EQ(parts[2].filename, "a.png");
}

TEST(MIMEParser, MalformedMessagesDegradeToOneLeaf) {
    struct Case {
        const char* name;
        std::string input;
        std::string body;
        std::string contentType;
    };
    const std::vector<Case> cases = {
        {"no header separator", "just a body", "just a body", "text/plain"},
        {"multipart without boundary", "Content-Type: multipart/mixed\n\n--x\n\nA\n--x--", "--x\n\nA\n--x--",
         "multipart/mixed"},
        {"one delimiter only", "Content-Type: multipart/mixed; boundary=x\n\n--x\n\nA\n", "--x\n\nA\n",
         "multipart/mixed"},
        {"delimiter line never ends", "Content-Type: multipart/mixed; boundary=x\n\n--x--x", "--x--x",
         "multipart/mixed"},
        {"failed base64 keeps the raw body", "Content-Transfer-Encoding: BASE64\n\nQ", "Q", "text/plain"},
        {"base64 skips foreign characters", "Content-Transfer-Encoding: base64\n\nS*G*k=\n", "Hi", "text/plain"},
        {"quoted-printable", "Content-Transfer-Encoding:  Quoted-Printable \n\na=3Db=3d=\r\nc=\nd =ZZ=4", "a=b=cd =ZZ=4",
         "text/plain"},
        {"unknown transfer coding", "Content-Transfer-Encoding: x-uue\n\n=3D", "=3D", "text/plain"},
    };
    for (const auto& c : cases) {
        auto parts = MIMEParser::parseLeafParts(text(c.input));
        ASSERT_EQ(parts.size(), 1u) << c.name;
        EXPECT_EQ(parts[0].body.toString(), c.body) << c.name;
        EXPECT_EQ(parts[0].contentType, c.contentType) << c.name;
    }
    EXPECT_TRUE(MIMEParser::parseLeafParts(Data()).empty());
}

TEST(MIMEParser, HeadersFoldMatchIgnoringCaseAndSkipLinesWithoutColon) {
    auto headers = MIMEParser::parseHeaders(text("Subject: one\r\n  two \r\nbroken line\r\nX-A:\tv \r\n"));
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers[0], (std::pair<std::string, std::string>{"Subject", "one two"}));
    EXPECT_EQ(MIMEParser::headerValue("SUBJECT", headers), "one two");
    EXPECT_EQ(MIMEParser::headerValue("x-a", headers), "v");
    EXPECT_FALSE(MIMEParser::headerValue("X-B", headers));
    // A Latin-1 byte in a header reads as that character.
    auto latin = MIMEParser::parseHeaders(text("Name: caf\xE9"));
    EXPECT_EQ(latin[0].second, "caf\xC3\xA9");
}

TEST(MIMEParser, MediaTypesAndParameters) {
    EXPECT_EQ(MIMEParser::mediaType(" Text/HTML ; charset=x"), "text/html");
    EXPECT_EQ(MIMEParser::mediaType("IMAGE/png"), "image/png");
    struct Case {
        const char* value;
        const char* name;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"attachment; filename=\"a b.txt\"", "filename", "a b.txt"},
        {"attachment; FileName = plain.txt ", "filename", "plain.txt"},
        {"attachment;; name; filename=\"", "filename", "\""},
        {"attachment; filename=\"\"", "filename", ""},
        {"text/plain; charset=utf-8", "filename", std::nullopt},
        {"text/plain; x=1=2", "x", "1=2"},
    };
    for (const auto& c : cases) EXPECT_EQ(MIMEParser::parameter(c.name, std::string(c.value)), c.expected) << c.value;
    EXPECT_FALSE(MIMEParser::parameter("charset", std::nullopt));
}

TEST(MIMEPart, BodyHintsAndCharsets) {
    struct Case {
        std::string contentType;
        StreamBodyHint hint;
    };
    const std::vector<Case> cases = {
        {"image/png", StreamBodyHint::image("png")},
        {"application/json", StreamBodyHint::json()},
        {"application/vnd.api+json", StreamBodyHint::json()},
        {"text/html", StreamBodyHint::html()},
        {"text/xml", StreamBodyHint::xml()},
        {"application/atom+xml", StreamBodyHint::xml()},
        {"text/csv", StreamBodyHint::text(StringEncoding::utf8)},
        {"application/pdf", StreamBodyHint::binary()},
    };
    for (const auto& c : cases) {
        MIMEPart part;
        part.contentType = c.contentType;
        EXPECT_EQ(part.streamBodyHint(), c.hint) << c.contentType;
    }
    const std::vector<std::pair<std::string, StringEncoding>> charsets = {
        {"text/plain; charset=UTF8", StringEncoding::utf8},     {"text/plain; charset=\"us-ascii\"", StringEncoding::ascii},
        {"text/plain; charset=Latin-1", StringEncoding::isoLatin1}, {"text/plain; charset=utf-16", StringEncoding::utf16},
        {"text/plain; charset=koi8-r", StringEncoding::utf8},   {"text/plain", StringEncoding::utf8},
    };
    for (const auto& [value, encoding] : charsets) {
        MIMEPart part;
        part.headers = {{"Content-Type", value}};
        EXPECT_EQ(part.charset(), encoding) << value;
    }
}

TEST(MIMEParser, FileNameFallsBackToTheContentTypeName) {
    auto parts = MIMEParser::parseLeafParts(text("Content-Type: application/zip; name=\"x.zip\"\n\nPK"));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].filename, "x.zip");
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

TEST(StreamMessage, EmptyMIMEGivesOneBinaryMessage) {
    auto messages = StreamMessage::dataMessages(Data(), TCPSegment::Direction::serverToClient, std::nullopt, {7}, 2.0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].summary, "message");
    EXPECT_EQ(messages[0].body, Data());
    EXPECT_EQ(messages[0].bodyHint, StreamBodyHint::binary());
    EXPECT_EQ(messages[0].direction, TCPSegment::Direction::serverToClient);
    EXPECT_FALSE(messages[0].filename);
}

TEST(MailTransport, DotUnstuffingAndLines) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"..\r\n", ".\r\n"},      {".x\r\n", "x\r\n"},     {"a\r\n..b\r\n.", "a\r\n.b\r\n."},
        {"a.b\n.", "a.b\n."},     {".", "."},              {"", ""},
        {"x\n...\n", "x\n..\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(MailTransport::dotUnstuff(text(c.in)).toString(), c.out) << c.in;

    auto data = text("EHLO x\r\nbare\nno end");
    auto first = MailTransport::line(data, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->length, 8u);
    EXPECT_EQ(first->text, "EHLO x");
    auto second = MailTransport::line(data, 8);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->length, 5u);
    EXPECT_EQ(second->text, "bare");
    EXPECT_FALSE(MailTransport::line(data, 13));
    EXPECT_FALSE(MailTransport::line(data, 100));
}

}  // namespace
}  // namespace qor
