// Reading classic pcap: byte orders, resolutions, truncation, progress, cancellation.

#include <gtest/gtest.h>

#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using test::PcapBuilder;

struct Read {
    PacketList packets;
    std::vector<double> progress;
    std::optional<std::string> issue;
};

Read readClassic(const Data& file, std::filesystem::path url = "/tmp/capture.pcap") {
    FileDataToPacketsAsyncStream reader;
    auto cache = std::make_shared<QORDataCache>();
    auto stream = reader.startStream({}, cache, file, url);
    Read r;
    while (auto u = stream.next()) {
        if (auto* p = u->payload()) r.packets = *p;
        else r.progress.push_back(*ProgressUpdateTranslation::bytesReadValue(*u));
    }
    r.issue = reader.lastReadIssue();
    return r;
}

Data frame(std::size_t n, int fill = 0xAB) {
    std::vector<std::byte> v(n, std::byte(fill));
    return Data(std::move(v));
}

TEST(ClassicPcapReader, BigAndLittleEndianTwinsGiveTheSamePackets) {
    PcapBuilder le(1, false), be(1, true);
    for (std::uint32_t i = 0; i < 3; ++i)
        for (auto* b : {&le, &be}) b->record(1000 + i, 250000, frame(60 + i), 1514);
    auto a = readClassic(le.data()).packets, b = readClassic(be.data()).packets;
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(a[i]->captureLength(), b[i]->captureLength());
        EXPECT_EQ(a[i]->realLength(), 1514u);
        EXPECT_EQ(b[i]->realLength(), 1514u);
        EXPECT_DOUBLE_EQ(a[i]->dateReceived(), b[i]->dateReceived());
        EXPECT_EQ(*a[i]->data(), *b[i]->data());
    }
    EXPECT_DOUBLE_EQ(a[1]->dateReceived(), 1001.25);
    // Nanosecond files count the fraction in billionths.
    PcapBuilder ns(1, false, true);
    ns.record(10, 500000000, frame(20));
    auto packets = readClassic(ns.data()).packets;
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_DOUBLE_EQ(packets[0]->dateReceived(), 10.5);
}

TEST(ClassicPcapReader, FirstRecordSitsAfterBothHeadersAndSetsTheReference) {
    PcapBuilder b;
    b.record(5, 0, frame(10)).record(7, 0, frame(12));
    auto packets = readClassic(b.data()).packets;
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0]->dataLocation(), 40u);
    EXPECT_EQ(packets[1]->dataLocation(), 40u + 10 + 16);
    EXPECT_DOUBLE_EQ(packets[0]->dateReference(), packets[0]->dateReceived());
    EXPECT_DOUBLE_EQ(packets[1]->dateReference(), 5.0);
    EXPECT_DOUBLE_EQ(packets[0]->packetTime(), 0.0);
    EXPECT_DOUBLE_EQ(packets[1]->packetTime(), 2.0);
    EXPECT_EQ(packets[0]->packetProtocol(), std::optional<std::string>("ETH"));
    EXPECT_EQ(packets[0]->packetProtocolHistory(), std::optional<std::string>("ETH"));
    EXPECT_EQ(packets[1]->packetId(), 2);
    EXPECT_EQ(packets[0]->filePath(), std::optional<std::filesystem::path>("/tmp/capture.pcap"));
}

TEST(ClassicPcapReader, TruncatedOrHugeLastRecordIsDroppedAndReported) {
    auto header = readClassic(PcapBuilder().data());
    EXPECT_TRUE(header.packets.empty());
    EXPECT_FALSE(header.issue);  // the header alone is a valid, empty capture
    PcapBuilder b;
    b.record(1, 0, frame(30)).record(2, 0, frame(30));
    PcapBuilder huge;  // a record claiming 4 GiB must allocate nothing
    huge.record(1, 0, frame(30)).record(2, 0, frame(8), 0xFFFFFFFF, 0xFFFFFFFF);
    for (auto [file, reason] : {std::pair{b.data().slice(0, b.data().size() - 5), "record 2"}, std::pair{huge.data(), "4294967295"}}) {
        auto r = readClassic(file);
        EXPECT_EQ(r.packets.size(), 1u) << reason;
        ASSERT_TRUE(r.issue) << reason;
        EXPECT_NE(r.issue->find(reason), std::string::npos) << *r.issue;
    }
}

TEST(ClassicPcapReader, ProgressAfterEvery64thRecordThenFinished) {
    PcapBuilder b;
    for (std::uint32_t i = 0; i < 130; ++i) b.record(i, 0, frame(10));
    auto r = readClassic(b.data());
    ASSERT_EQ(r.packets.size(), 130u);
    EXPECT_EQ(r.packets.front()->packetId(), 1);
    EXPECT_EQ(r.packets.back()->packetId(), 130);
    ASSERT_EQ(r.progress.size(), 2u);
    EXPECT_DOUBLE_EQ(r.progress[0], (24.0 + 64 * 26) / 1024.0);
    EXPECT_DOUBLE_EQ(r.progress[1], (24.0 + 128 * 26) / 1024.0);
}

TEST(ClassicPcapReader, RejectsWhatIsNotAClassicCapture) {
    FileDataToPacketsAsyncStream reader;
    auto cache = std::make_shared<QORDataCache>();
    auto expectInvalid = [&](const Data& d, std::optional<std::filesystem::path> url) {
        try {
            reader.parsePackets(d, cache, url, nullptr);
            ADD_FAILURE() << "accepted";
        } catch (const APIErrorException& e) {
            EXPECT_EQ(e.code(), APIError::invalidData);
        }
    };
    expectInvalid(Data::fromString("this is not a capture file at all, really"), "/tmp/x");
    expectInvalid(PcapBuilder().data().slice(0, 12), "/tmp/x");                 // header cut short
    expectInvalid(Data(), "/tmp/x");                                             // empty file
    expectInvalid(PcapBuilder().record(1, 0, frame(4)).data(), std::nullopt);  // no URL
    // A stream over an unknown magic finishes with the error.
    auto stream = reader.startStream({}, cache, Data::fromString(std::string(64, 'x')), "/tmp/x");
    EXPECT_THROW(while (stream.next()){}, APIErrorException);
}

TEST(ClassicPcapReader, ModifiedPcapMagicIsAccepted) {
    test::Bytes b;
    b.u32(0xA1B2CD34).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(1);
    b.u32(1).u32(0).u32(4).u32(4).raw({1, 2, 3, 4});
    auto packets = readClassic(b.data()).packets;
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0]->captureLength(), 4u);
}

TEST(CaptureContainerFormat, FromExtensions) {
    EXPECT_EQ(captureContainerFormatFromExtension("PCAPNG"), CaptureContainerFormat::pcapng);
    EXPECT_EQ(captureContainerFormatFromExtension("ntar"), CaptureContainerFormat::pcapng);
    EXPECT_EQ(captureContainerFormatFromExtension("cap"), CaptureContainerFormat::pcap);
    EXPECT_EQ(captureContainerFormatFromExtension("dmp"), CaptureContainerFormat::pcap);
    EXPECT_EQ(captureContainerFormatFromExtension(""), CaptureContainerFormat::pcap);
    EXPECT_EQ(captureContainerFormatFromURL("/x/trace.PcapNg"), CaptureContainerFormat::pcapng);
}

TEST(ProgressThreshold, ReportsOncePerStep) {
    ProgressThreshold t(1000, 0.1);
    EXPECT_FALSE(t.shouldReport(50));
    EXPECT_TRUE(t.shouldReport(100));
    EXPECT_TRUE(t.shouldReport(950));   // jumps advance one step only
    EXPECT_TRUE(t.shouldReport(960));
    ProgressThreshold zero(-5, 0.1);
    EXPECT_EQ(zero.step, 0.0);
    EXPECT_TRUE(zero.shouldReport(0));
}

}  // namespace
}  // namespace qor
