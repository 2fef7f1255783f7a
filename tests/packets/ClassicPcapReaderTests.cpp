// Reading classic pcap: layout, truncation, progress, refusals.

#include <gtest/gtest.h>

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

Read readClassic(const Data& file) {
    FileDataToPacketsAsyncStream reader;
    auto cache = std::make_shared<QORDataCache>();
    auto stream = reader.startStream({}, cache, file, "/tmp/capture.pcap");
    Read r;
    while (auto u = stream.next()) {
        if (auto* p = u->payload()) r.packets = *p;
        else r.progress.push_back(*ProgressUpdateTranslation::bytesReadValue(*u));
    }
    r.issue = reader.lastReadIssue();
    return r;
}

Data frame(std::size_t n) { return Data(std::vector<std::byte>(n, std::byte{0xAB})); }

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

TEST(ClassicPcapReader, RecordsFollowTheHeadersAndProgressComesEvery64thRecord) {
    PcapBuilder b;
    for (std::uint32_t i = 0; i < 130; ++i) b.record(i + 5, 0, frame(10));
    auto r = readClassic(b.data());
    ASSERT_EQ(r.packets.size(), 130u);
    EXPECT_EQ(r.packets.back()->packetId(), 130);
    EXPECT_EQ(r.packets[0]->dataLocation(), 40u);  // after the global and the record header
    EXPECT_EQ(r.packets[1]->dataLocation(), 40u + 10 + 16);
    EXPECT_DOUBLE_EQ(r.packets[2]->dateReference(), 5.0);
    EXPECT_DOUBLE_EQ(r.packets[2]->packetTime(), 2.0);
    EXPECT_EQ(r.packets[0]->filePath(), std::optional<std::filesystem::path>("/tmp/capture.pcap"));
    ASSERT_EQ(r.progress.size(), 2u);
    EXPECT_DOUBLE_EQ(r.progress[0], (24.0 + 64 * 26) / 1024.0);
    EXPECT_DOUBLE_EQ(r.progress[1], (24.0 + 128 * 26) / 1024.0);
}

TEST(ClassicPcapReader, NeedsItsFileURLAndAStreamEndsWithTheReadError) {  // junk input: CaptureFileReaderTests
    FileDataToPacketsAsyncStream reader;
    auto cache = std::make_shared<QORDataCache>();
    try {
        reader.parsePackets(PcapBuilder().record(1, 0, frame(4)).data(), cache, std::nullopt, nullptr);
        ADD_FAILURE() << "accepted";
    } catch (const APIErrorException& e) {
        EXPECT_EQ(e.code(), APIError::invalidData);
    }
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

}  // namespace
}  // namespace qor
