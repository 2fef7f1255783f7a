// The incremental pcapng writer of live captures: the file tshark reads as recorded, and the
// errors of a file that cannot be created or written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/PcapngFileWriter.hpp"
#include "writing/WritingSupport.hpp"

namespace qor::test {
namespace {

const PcapngFileWriter::Header kHeader{1, 262144, "lo", "sample capture"};

TEST(PcapngFileWriter, WritesTheFileThatTsharkReadsAsRecorded) {
    // tests/fixtures/capture/file-writer-sample.pcapng is this writer's output for the sample, an
    // ARP-sized frame cut from 60 bytes and a frame whose length is not a multiple of 4;
    // file-writer-sample.tshark.txt is what tshark 4.0 (Debian 12) printed for it with
    //   tshark -r file-writer-sample.pcapng -T fields -e frame.number -e frame.time_epoch
    //          -e frame.len -e frame.cap_len -e frame.interface_name -e frame.encap_type
    // and the library's reader must find the same in the file written now.
    std::vector<std::byte> a(42), b(61);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::byte>(i);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::byte>(0xF0 ^ i);
    TempDir dir;
    const auto file = dir.path / "sample.pcapng";
    PcapngFileWriter writer(file, kHeader);
    writer.writePacket(1'700'000'000'250'000, a, 60);
    writer.writePacket(1'700'000'001'000'123, b, 61);
    writer.close();
    EXPECT_EQ(readFile(file).toString(), readFile(fixturePath("capture/file-writer-sample.pcapng")).toString());

    FileDataToPacketsAsyncStream reader;
    const auto packets = reader.parsePackets(readFile(file), std::make_shared<QORDataCache>(), file, nullptr);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(reader.lastSectionComment(), "sample capture");
    std::istringstream recorded(readFile(fixturePath("capture/file-writer-sample.tshark.txt")).toString());
    std::size_t index = 0;
    for (std::string line; std::getline(recorded, line); ++index) {
        ASSERT_LT(index, packets.size());
        std::size_t number, length, captured;
        double epoch;
        char interface[16];
        int encapsulation;
        ASSERT_EQ(std::sscanf(line.c_str(), "%zu %lf %zu %zu %15s %d", &number, &epoch, &length, &captured, interface,
                              &encapsulation), 6) << line;
        EXPECT_EQ(number, index + 1);
        EXPECT_NEAR(packets[index]->dateReceived(), epoch, 1e-6);
        EXPECT_EQ(packets[index]->realLength(), length);
        EXPECT_EQ(packets[index]->captureLength(), captured);
        EXPECT_EQ(encapsulation, 1);  // Ethernet
        EXPECT_STREQ(interface, "lo");
    }
    EXPECT_EQ(index, packets.size());
}

/// An APIErrorException with `code` whose detail contains `detail`.
auto apiError(APIError code, const std::string& detail = "") {
    using namespace testing;
    return Throws<APIErrorException>(
        AllOf(Property(&APIErrorException::code, code), Property(&APIErrorException::detail, HasSubstr(detail))));
}

TEST(PcapngFileWriter, FailuresThrowTheWritersErrors) {
    EXPECT_THAT([] { PcapngFileWriter("/nonexistent-folder/x.pcapng", kHeader); },
                apiError(APIError::pcapDumpOpen, "/nonexistent-folder/x.pcapng"));
    // /dev/full takes the open and refuses every write.
    EXPECT_THAT([] { PcapngFileWriter("/dev/full", kHeader); }, apiError(APIError::pcapDumpOpen, "No space left"));
    TempDir dir;
    PcapngFileWriter writer(dir.path / "closed.pcapng", kHeader);
    writer.close();
    const std::byte one{1};
    EXPECT_THAT([&] { writer.writePacket(0, {&one, 1}, 1); }, apiError(APIError::pcapDump));
}

}  // namespace
}  // namespace qor::test
