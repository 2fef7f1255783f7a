// Every fixture capture, read with the library's reader, written as pcapng and as classic pcap,
// and read back: the same packets (bytes, lengths, times to the microsecond, link types,
// comments) and, for pcapng, the same key-log lines.

#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"

namespace qor::test {
namespace {

/// Microseconds as the writer of `format` stores them: pcapng rounds; classic truncates, which
/// differs only for times with sub-microsecond digits (nanosecond files).
std::int64_t micros(double t) { return std::llround(t * 1e6); }

void expectSamePackets(const Packets& original, const Packets& back, bool comments, const std::string& what) {
    ASSERT_EQ(back.size(), original.size()) << what;
    for (std::size_t i = 0; i < original.size(); ++i) {
        const auto& a = *original[i];
        const auto& b = *back[i];
        SCOPED_TRACE(what + " packet " + std::to_string(i + 1));
        auto da = a.data();
        auto db = b.data();
        EXPECT_EQ(db.value_or(Data()), da.value_or(Data()));
        EXPECT_EQ(b.captureLength(), da ? a.captureLength() : 0u);
        EXPECT_EQ(b.realLength(), a.realLength());
        // pcapng interface blocks hold the low 16 bits (a classic header's upper bits carry FCS
        // details, as in l2tp-avp-overflow.pcap's 0x30000001).
        EXPECT_EQ(b.linkType(), comments ? a.linkType() & 0xFFFF : a.linkType());
        EXPECT_NEAR(static_cast<double>(micros(b.dateReceived())), static_cast<double>(micros(a.dateReceived())), 1.0);
        EXPECT_EQ(b.packetId(), a.packetId());
        if (comments) {
            EXPECT_EQ(b.packetComment(), a.packetComment());
        }
    }
}

class CaptureRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureRoundTrip, PcapngKeepsPacketsCommentsAndSecrets) {
    Packets original = readCapture(capturePath(GetParam()));
    const auto secrets = PcapngReader::read(readFile(capturePath(GetParam()))).secrets;

    const Data out = PcapngWriter::write(original, secrets, "round trip");
    EXPECT_EQ(static_cast<double>(out.size()), PcapngWriter::totalByteCount(original, secrets, "round trip"));
    auto result = PcapngReader::read(out);
    ASSERT_TRUE(result.isPcapng);
    EXPECT_EQ(result.sectionComment, "round trip");
    EXPECT_EQ(PcapngWriter::keyLogText(result.secrets), PcapngWriter::keyLogText(secrets));
    auto again = readCapture(out, "/nonexistent/roundtrip.pcapng");
    expectSamePackets(original, again, true, GetParam());
    // Writing what was read back gives the same bytes again.
    EXPECT_EQ(PcapngWriter::write(again, result.secrets, result.sectionComment), out);
}

class ClassicRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(ClassicRoundTrip, KeepsPacketsOfOneLinkType) {
    Packets original = readCapture(capturePath(GetParam()));
    const Data out = classicBytes(original, original.empty() ? 1 : original.front()->linkType());
    EXPECT_EQ(out.size(), PacketsToFileDataAsyncStream::expectedByteCount(original));
    expectSamePackets(original, readCapture(out, "/nonexistent/roundtrip.pcap"), false, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CaptureRoundTrip, ::testing::ValuesIn(fixtureCaptures(true)), testName);
// Classic pcap holds one link type: the captures whose packets have at most one.
INSTANTIATE_TEST_SUITE_P(Fixtures, ClassicRoundTrip, ::testing::ValuesIn(classicCapableCaptures(false)), testName);

TEST(CaptureRoundTripComments, WhatTheReaderKeepsTheWriterKeeps) {
    // Reader and writer judge text alike: a surrogate encoded in UTF-8 (U+D800 as ED A0 80) is
    // not text to either, and a four-byte character survives read, write and read again.
    const std::string surrogate = "before \xED\xA0\x80 after";
    const std::string astral = "smile \xF0\x9F\x98\x80 done";
    PcapngBuilder b;
    b.section({PcapngBuilder::text(1, astral)}).interface(1);
    b.packet(0, 1'000'000, bytes({1, 2, 3}), -1, {PcapngBuilder::text(1, surrogate)});
    b.packet(0, 2'000'000, bytes({4, 5}), -1, {PcapngBuilder::text(1, astral)});
    auto first = PcapngReader::read(b.data());
    auto packets = readCapture(b.data(), "/tmp/comments.pcapng");
    for (const auto& r : {first, PcapngReader::read(PcapngWriter::write(packets, {}, first.sectionComment))}) {
        ASSERT_EQ(r.packets.size(), 2u);
        EXPECT_FALSE(r.packets[0]->packetComment());
        EXPECT_EQ(r.packets[1]->packetComment(), astral);
        EXPECT_EQ(r.sectionComment, astral);
    }
}

}  // namespace
}  // namespace qor::test
