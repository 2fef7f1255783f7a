// A capture file that shrinks on disk after it was read: every packet gives exactly its bytes or
// nothing, and the process lives.

#include <gtest/gtest.h>
#include <unistd.h>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

Data payload(std::uint32_t index, std::size_t size) {
    std::vector<std::byte> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::byte>((index * 31 + i) & 0xFF);
    return Data(std::move(v));
}

Data classicFile() {
    test::PcapBuilder b;
    for (std::uint32_t i = 0; i < 3000; ++i) b.record(i, 0, payload(i, 40 + (i * 97) % 1460));
    return b.data();
}

Data pcapngFile() {
    test::PcapngBuilder b;
    b.section().interface(1);
    for (std::uint32_t i = 0; i < 3000; ++i) b.packet(0, i * 1000ull, payload(i, 40 + (i * 89) % 1460));
    return b.data();
}

/// Reads `file` from disk through the real mapping, shrinks the file to `keep` bytes, then asks
/// every packet for its bytes.
void readShrinkAndTouch(const Data& file, std::size_t keep, std::string_view name) {
    SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(keep));
    test::TempDir dir;
    auto path = dir.write(std::string(name), file);
    auto mapped = mapFile(path);
    ASSERT_TRUE(mapped);
    FileDataToPacketsAsyncStream reader;
    auto packets = reader.parsePackets(*mapped, std::make_shared<QORDataCache>(path, false), path, nullptr);
    ASSERT_EQ(packets.size(), 3000u);
    // Pages of the first packets are mapped in before the cut, the others are not.
    for (std::size_t i = 0; i < 100; ++i) ASSERT_TRUE(packets[i]->data());
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(keep)), 0);

    std::size_t available = 0;
    for (const auto& p : packets) {
        auto bytes = p->data();
        const bool inFile = std::size_t{p->dataLocation()} + p->captureLength() <= keep;
        EXPECT_EQ(bytes.has_value(), inFile) << "packet " << p->packetId();
        if (!bytes) continue;
        ++available;
        EXPECT_EQ(*bytes, file.slice(p->dataLocation(), p->captureLength())) << "packet " << p->packetId();
    }
    EXPECT_GT(available, 0u);
    EXPECT_LT(available, packets.size());
    // Asking again, in reverse order, gives the same answers.
    for (auto it = packets.rbegin(); it != packets.rend(); ++it) {
        EXPECT_EQ((*it)->data().has_value(), std::size_t{(*it)->dataLocation()} + (*it)->captureLength() <= keep);
    }
}

TEST(TruncatedCaptureFile, PacketsGiveTheirBytesOrNothingAfterTheFileShrinks) {
    for (auto [file, name] : {std::pair{classicFile(), "shrinking.pcap"}, std::pair{pcapngFile(), "shrinking.pcapng"}}) {
        readShrinkAndTouch(file, file.size() / 2, name);              // in the middle of a page
        readShrinkAndTouch(file, (file.size() / 3) & ~std::size_t{4095}, name);  // on a page boundary
        readShrinkAndTouch(file, file.size() - 700, name);            // inside the file's last page
    }
}

TEST(TruncatedCaptureFile, ShrinkingBeforeTheWalkStopsTheReadWhereTheFileNowEnds) {
    for (auto [file, name] : {std::pair{classicFile(), "early.pcap"}, std::pair{pcapngFile(), "early.pcapng"}}) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        auto path = dir.write(name, file);
        auto mapped = mapFile(path);
        ASSERT_TRUE(mapped);
        const std::size_t keep = file.size() / 2 + 123;
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(keep)), 0);
        FileDataToPacketsAsyncStream reader;
        auto packets = reader.parsePackets(*mapped, std::make_shared<QORDataCache>(path, false), path, nullptr);
        ASSERT_FALSE(packets.empty());
        EXPECT_LT(packets.size(), 3000u);
        for (const auto& p : packets) {
            if (std::size_t{p->dataLocation()} + p->captureLength() <= keep) {
                EXPECT_EQ(p->data(), file.slice(p->dataLocation(), p->captureLength())) << "packet " << p->packetId();
            } else {  // only the last record's header can still be in the file while its bytes are not
                EXPECT_EQ(p, packets.back());
                EXPECT_FALSE(p->data());
            }
        }
        ASSERT_TRUE(reader.lastReadIssue());
        EXPECT_NE(reader.lastReadIssue()->find("shrank"), std::string::npos) << *reader.lastReadIssue();
        // Walking the records straight from the mapping stops at the same record.
        for (auto access : {RecordAccess::windowed, RecordAccess::mapped}) {
            std::size_t read = 0;
            auto result = CaptureFileReader::read(*mapped, [&](std::shared_ptr<QORPacket>) { return ++read, true; }, {}, nullptr, access);
            EXPECT_EQ(read, packets.size());
            ASSERT_TRUE(result.issue);
            EXPECT_NE(result.issue->find("shrank"), std::string::npos) << *result.issue;
        }
    }
}

}  // namespace
}  // namespace qor
