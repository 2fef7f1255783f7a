// The HTTP and SMTP interpreters against tshark on the fixture captures, read through the real
// reader, the standard plug-in loaded by the controller and the TCP reassembler: as many HTTP
// requests and responses as tshark counts, the same decoded bodies as tshark exports, and the
// mail attachment byte for byte. Expected values were recorded by
// tests/fixtures/expected/record-http-smtp-messages.sh.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "AnalyzerHarness.hpp"
#include "QORModels/streams/QORStreamInterpreter.hpp"
#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "StreamCaptures.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

/// Every stream of a capture with the interpretation of the interpreter the registry picks.
struct Interpreted {
    std::string interpreter;  ///< its display name, empty when none takes the stream
    StreamInterpretation result;
};

std::vector<Interpreted> interpretCapture(const std::string& capture) {
    auto snapshots = test::snapshotsOf(capture);
    auto types = QORStreamInterpreterRegistry::shared().snapshot();
    std::vector<Interpreted> out;
    for (const auto& stream : TCPStreamReassembler::reassembleAllOffMain(snapshots)) {
        auto interpreter = QORStreamInterpreter::firstInterpreter(stream, types);
        if (!interpreter) {
            out.push_back({});
            continue;
        }
        out.push_back({interpreter->streamDisplayName(), interpreter->interpret(stream)});
    }
    return out;
}

TEST(MessageAgreement, HTTPRequestAndResponseCountsEqualTshark) {
    auto rows = test::readExpectedRows("http-messages.tshark.tsv", 3);
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        std::size_t requests = 0, responses = 0;
        for (const auto& stream : interpretCapture(row[0])) {
            if (stream.interpreter != "HTTP") continue;
            for (const auto& m : stream.result.messages) {
                requests += m.kind == StreamMessageKind::request;
                responses += m.kind == StreamMessageKind::reply;
            }
        }
        EXPECT_EQ(std::to_string(requests), row[1]) << row[0];
        EXPECT_EQ(std::to_string(responses), row[2]) << row[0];
    }
}

TEST(MessageAgreement, DecodedResponseBodiesEqualTsharksExportedObjects) {
    const auto folder = test::fixturePath("expected/http-bodies");
    std::size_t captures = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto capture = entry.path().filename().string();
        std::vector<std::string> expected, ours;
        for (const auto& file : std::filesystem::directory_iterator(entry.path()))
            expected.push_back(test::readFile(file.path()).toString());
        for (const auto& stream : interpretCapture(capture))
            for (const auto& m : stream.result.messages)
                if (stream.interpreter == "HTTP" && m.kind == StreamMessageKind::reply && m.body && !m.body->empty())
                    ours.push_back(m.body->toString());
        std::sort(expected.begin(), expected.end());
        std::sort(ours.begin(), ours.end());
        EXPECT_EQ(ours.size(), expected.size()) << capture;
        EXPECT_TRUE(ours == expected) << capture;
        ++captures;
    }
    EXPECT_EQ(captures, 4u);
}

TEST(MessageAgreement, GzipAndPipelinedExchangesArePairedInOrder) {
    auto gzip = interpretCapture("get-gzip.pcap");
    ASSERT_EQ(gzip.size(), 1u);
    ASSERT_TRUE(gzip[0].result.pairings);
    ASSERT_EQ(gzip[0].result.pairings->size(), 1u);
    const auto& reply = gzip[0].result.messages[*(*gzip[0].result.pairings)[0].replyIndex];
    EXPECT_EQ(reply.bodyHint, StreamBodyHint::json());
    EXPECT_NE(reply.body->toString().find("\"gzipped\": true"), std::string::npos);

    auto pipelined = interpretCapture("pipelined-requests.pcap");
    ASSERT_EQ(pipelined.size(), 1u);
    const auto& result = pipelined[0].result;
    ASSERT_TRUE(result.pairings);
    std::vector<std::string> summaries;
    for (const auto& p : *result.pairings) {
        EXPECT_EQ(p.status, PairingStatus::matched);
        summaries.push_back(p.summary);
    }
    EXPECT_EQ(summaries, (std::vector<std::string>{
                             "GET /style/enhanced.css → 200 OK",
                             "GET /script/urchin.js → 200 OK",
                             "GET /images/template/screen/bullet_utility.png → 200 OK",
                             "GET /images/template/screen/key-point-top.png → 200 OK",
                             "GET /projects/calendar/images/header-sunbird.png → 200 OK",
                         }));
}

TEST(MessageAgreement, ChunkSizeOverflowAndMIMEBombStayBounded) {
    auto overflow = interpretCapture("http-chunk-2pow64-overflow.pcap");
    ASSERT_EQ(overflow.size(), 1u);
    ASSERT_EQ(overflow[0].interpreter, "HTTP");
    const auto& request = overflow[0].result.messages.front();
    bool warned = false;
    for (const auto& row : request.detail) warned = warned || row.value == "chunked body: chunk size does not fit in 64 bits";
    EXPECT_TRUE(warned);
    EXPECT_EQ((*overflow[0].result.pairings)[0].status, PairingStatus::awaitingReply);

    auto bomb = interpretCapture("deeply-nested-mime.pcap");
    ASSERT_EQ(bomb.size(), 1u);
    EXPECT_EQ(bomb[0].interpreter, "HTTP");
    EXPECT_FALSE(bomb[0].result.messages.empty());
}

TEST(MessageAgreement, SMTPAttachmentComesOutByteForByte) {
    auto expected = test::readFile(test::fixturePath("expected/smtp-attachment-msg.test.msg"));
    auto streams = interpretCapture("smtp-attachment-msg.pcap");
    ASSERT_EQ(streams.size(), 1u);
    ASSERT_EQ(streams[0].interpreter, "SMTP");
    std::vector<const StreamMessage*> attachments;
    for (const auto& m : streams[0].result.messages)
        if (m.kind == StreamMessageKind::data && m.filename == "test.msg") attachments.push_back(&m);
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0]->summary, "test.msg");
    EXPECT_EQ(*attachments[0]->body, expected);
    EXPECT_FALSE(attachments[0]->packetIds.empty());
    // The capture holds the client's side only: every command and the mail wait for a reply.
    ASSERT_EQ(streams[0].result.pairings->size(), 5u);
    for (const auto& p : *streams[0].result.pairings) EXPECT_EQ(p.status, PairingStatus::awaitingReply) << p.summary;
}

}  // namespace
}  // namespace qor
