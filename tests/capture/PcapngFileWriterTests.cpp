// The incremental pcapng writer of live captures: the same block encoding as the whole-file
// writer, a file readable after every packet, and write failures that leave whole blocks.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/PcapngFileWriter.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "writing/WritingSupport.hpp"

namespace qor::test {
namespace {

const PcapngFileWriter::Header kHeader{1, 262144, "lo", "sample capture"};

/// Two packets of the sample: an ARP-sized frame and a frame whose length is not a multiple of 4.
std::vector<PacketSpec> sampleSpecs() {
    std::vector<std::byte> a(42), b(61);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::byte>(i);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::byte>(0xF0 ^ i);
    return {PacketSpec(Data(a), 1'700'000'000.25, 1, 60u), PacketSpec(Data(b), 1'700'000'001.000123)};
}

void writeSample(const std::filesystem::path& file, const PcapngFileWriter::Header& header = kHeader) {
    PcapngFileWriter writer(file, header);
    for (const auto& spec : sampleSpecs()) {
        writer.writePacket(static_cast<std::uint64_t>(std::llround(spec.time * 1e6)), {spec.bytes.data(), spec.bytes.size()},
                           spec.realLength.value_or(static_cast<std::uint32_t>(spec.bytes.size())));
    }
    writer.close();
}

TEST(PcapngFileWriter, WritesTheFileThatTsharkReadsAsRecorded) {
    // tests/fixtures/capture/file-writer-sample.pcapng is this writer's output for the sample;
    // file-writer-sample.tshark.txt is what tshark 4.0 (Debian 12) printed for it with
    //   tshark -r file-writer-sample.pcapng -T fields -e frame.number -e frame.time_epoch
    //          -e frame.len -e frame.cap_len -e frame.interface_name -e frame.encap_type
    // and the library's reader must find the same in the file written now.
    TempDir dir;
    const auto file = dir.path / "sample.pcapng";
    writeSample(file);
    EXPECT_EQ(readFile(file).toString(), readFile(fixturePath("capture/file-writer-sample.pcapng")).toString());

    FileDataToPacketsAsyncStream reader;
    const auto packets = reader.parsePackets(readFile(file), std::make_shared<QORDataCache>(), file, nullptr);
    std::istringstream recorded(readFile(fixturePath("capture/file-writer-sample.tshark.txt")).toString());
    std::size_t index = 0;
    for (std::string line; std::getline(recorded, line); ++index) {
        ASSERT_LT(index, packets.size());
        std::istringstream fields(line);
        std::size_t number, length, captured;
        double epoch;
        std::string interface;
        int encapsulation;
        fields >> number >> epoch >> length >> captured >> interface >> encapsulation;
        EXPECT_EQ(number, index + 1);
        EXPECT_NEAR(packets[index]->dateReceived(), epoch, 1e-6);
        EXPECT_EQ(packets[index]->realLength(), length);
        EXPECT_EQ(packets[index]->captureLength(), captured);
        EXPECT_EQ(encapsulation, 1);  // Ethernet
        EXPECT_EQ(interface, "lo");
        EXPECT_EQ(*packets[index]->data(), sampleSpecs()[index].bytes);
    }
    EXPECT_EQ(index, packets.size());
    const auto metadata = reader.lastPcapngMetadata();
    ASSERT_TRUE(metadata);
    ASSERT_EQ(metadata->interfaces.size(), 1u);
    EXPECT_EQ(metadata->interfaces[0].name, "lo");
    EXPECT_EQ(reader.lastSectionComment(), "sample capture");
}

TEST(PcapngFileWriter, PacketBlocksAreTheWholeFileWritersBlocks) {
    // With no interface name, the file is byte for byte what the whole-file writer gives for the
    // same packets and section comment: the two share their block encoding.
    TempDir dir;
    const auto file = dir.path / "plain.pcapng";
    writeSample(file, {1, PcapngWriter::kInterfaceSnapLength, "", "x"});
    const auto packets = makePackets(sampleSpecs());
    const Data whole = PcapngWriter::write(packets, {}, std::string("x"));
    EXPECT_EQ(readFile(file).toString(), whole.toString());
}

TEST(PcapngFileWriter, EveryPacketIsOnDiskWhenWritePacketReturns) {
    TempDir dir;
    const auto file = dir.path / "growing.pcapng";
    PcapngFileWriter writer(file, kHeader);
    EXPECT_TRUE(readCapture(file).empty());
    const auto specs = uniformSpecs(5, 33);
    for (std::size_t i = 0; i < specs.size(); ++i) {
        writer.writePacket(1'000'000 * (i + 1), {specs[i].bytes.data(), specs[i].bytes.size()}, 33);
        const auto packets = readCapture(file);  // read while the writer is still open
        ASSERT_EQ(packets.size(), i + 1);
        EXPECT_EQ(*packets.back()->data(), specs[i].bytes);
        EXPECT_EQ(writer.bytesWritten(), std::filesystem::file_size(file));
    }
}

TEST(PcapngFileWriter, FailuresThrowTheWritersErrors) {
    try {
        PcapngFileWriter("/nonexistent-folder/x.pcapng", kHeader);
        ADD_FAILURE() << "created a file in a missing folder";
    } catch (const APIErrorException& e) {
        EXPECT_EQ(e.code(), APIError::pcapDumpOpen);
        EXPECT_NE(e.detail().find("/nonexistent-folder/x.pcapng"), std::string::npos);
    }
    // /dev/full takes the open and refuses every write.
    try {
        PcapngFileWriter("/dev/full", kHeader);
        ADD_FAILURE() << "wrote to /dev/full";
    } catch (const APIErrorException& e) {
        EXPECT_EQ(e.code(), APIError::pcapDumpOpen);
        EXPECT_NE(e.detail().find("No space left"), std::string::npos) << e.detail();
    }
    TempDir dir;
    PcapngFileWriter writer(dir.path / "closed.pcapng", kHeader);
    writer.close();
    const std::byte one{1};
    try {
        writer.writePacket(0, {&one, 1}, 1);
        ADD_FAILURE() << "wrote after close";
    } catch (const APIErrorException& e) {
        EXPECT_EQ(e.code(), APIError::pcapDump);
    }
}

}  // namespace
}  // namespace qor::test
