// Writing a capture file in parts: the bytes of every split equal the one-call writers', the
// pcapng layout gathered from the reader's records sizes the file exactly, and a write stops at
// a packet the layout has no interface for or when the sink refuses a chunk.

#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"

namespace qor::test {
namespace {

/// The ways the tests cut a list: everything at once, one packet a call, an empty call between
/// uneven parts.
std::vector<std::vector<std::size_t>> splits(std::size_t n) {
    std::vector<std::size_t> single(n, 1);
    std::vector<std::size_t> uneven;
    for (std::size_t left = n, step = 1; left > 0; step = step * 3 % 7 + 1) {
        const std::size_t take = std::min(left, step);
        uneven.push_back(take);
        uneven.push_back(0);
        left -= take;
    }
    return {{n}, single, uneven};
}

/// `packets` through `append`, cut at `sizes`.
template <class Writer>
void appendInParts(Writer& writer, const Packets& packets, const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        ASSERT_TRUE(writer.append(std::span<const std::shared_ptr<QORPacket>>(packets).subspan(at, size)));
        at += size;
    }
    ASSERT_EQ(at, packets.size());
}

/// The layout the reader's records of `data` give, without making a packet.
PcapngWriter::Layout layoutOfRecords(const Data& data) {
    PcapngWriter::Layout layout;
    CaptureFileReader::readRecords(data, [&](const CaptureRecord& record) {
        layout.add(record.linkType, record.captureLength, record.comment);
        return true;
    });
    return layout;
}

class PartWriterCaptures : public ::testing::TestWithParam<std::string> {};

TEST_P(PartWriterCaptures, EverySplitWritesTheBytesOfTheOneCallWriter) {
    const auto path = capturePath(GetParam());
    const Data file = readFile(path);
    const Packets packets = readCapture(file, path);
    const std::vector<std::string> secrets = {"CLIENT_RANDOM 00 11\n"};

    Collector whole;
    ASSERT_TRUE(PcapngWriter::writeTo(whole.sink(), packets, secrets, "parts", std::nullopt, {},
                                      PcapngWriter::SecretsPlacement::beforePackets));
    const PcapngWriter::Layout layout = layoutOfRecords(file);
    EXPECT_EQ(layout.totalByteCount(secrets, std::string("parts")), static_cast<double>(whole.bytes.size()));
    for (const auto& sizes : splits(packets.size())) {
        Collector parts;
        PcapngWriter::PartWriter writer(parts.sink(), layout, secrets, "parts", std::nullopt, {},
                                        PcapngWriter::SecretsPlacement::beforePackets);
        appendInParts(writer, packets, sizes);
        ASSERT_EQ(writer.finish(), whole.bytes.size());
        EXPECT_TRUE(parts.bytes == whole.bytes) << GetParam() << ", " << sizes.size() << " parts";
    }

    if (layout.linkTypes().size() > 1) return;  // classic pcap holds one link type
    const std::uint32_t linkType = layout.linkTypes().empty() ? 1 : layout.linkTypes().front();
    Collector classic;
    ASSERT_TRUE(PacketsToFileDataAsyncStream::serializeTo(classic.sink(), packets, linkType, 262144, std::nullopt, {}, {}));
    for (const auto& sizes : splits(packets.size())) {
        Collector parts;
        ClassicPcapPartWriter writer(parts.sink(), linkType, 262144, std::nullopt);
        appendInParts(writer, packets, sizes);
        ASSERT_EQ(writer.finish(), classic.bytes.size());
        EXPECT_TRUE(parts.bytes == classic.bytes) << GetParam() << ", " << sizes.size() << " parts";
    }
}

// Classic inputs; pcapng with several link types and comments, big-endian, with a secrets block;
// a pcapng file without packets.
INSTANTIATE_TEST_SUITE_P(Captures, PartWriterCaptures,
                         ::testing::Values("RADIUS.pcap", "GrePackets.cap", "LinuxCookedCapture.pcap",
                                           "many_interfaces-1.pcapng", "pcapng-test102-be.pcapng",
                                           "illustrated-tls12-dsb.pcapng", "pcapng-test200-le.pcapng"),
                         testName);

TEST(PartWriterStops, APacketWithoutAnInterfaceEndsTheWriteBeforeItsBlock) {
    auto packets = makePackets({{Data(std::vector<std::byte>(8)), 1.0, 1}, {Data(std::vector<std::byte>(8)), 2.0, 113}});
    PcapngWriter::Layout layout;
    layout.add(1, 8, std::nullopt);  // the second packet's link type was never seen
    Collector out;
    PcapngWriter::PartWriter writer(out.sink(), layout, {}, std::nullopt);
    EXPECT_TRUE(writer.append(std::span(packets).first(1)));
    EXPECT_FALSE(writer.append(std::span(packets).subspan(1)));
    EXPECT_FALSE(writer.append(std::span(packets).first(1)));  // nothing more after a stop
    EXPECT_TRUE(writer.metUnplannedLinkType());
    EXPECT_FALSE(writer.finish().has_value());
    Collector firstOnly;
    PcapngWriter::writeTo(firstOnly.sink(), std::span(packets).first(1), {}, std::nullopt);
    // What was handed over is the file of the first packet (it has nothing after its packets):
    // no block for the second.
    EXPECT_TRUE(out.bytes == firstOnly.bytes);
}

TEST(PartWriterStops, ARefusedChunkStopsBothFormats) {
    auto packets = makePackets(uniformSpecs(3, 8));
    auto refuse = [](std::span<const std::byte>) { return false; };
    PcapngWriter::Layout layout;
    for (const auto& p : packets) layout.add(p->linkType(), p->captureLength(), std::nullopt);
    PcapngWriter::PartWriter pcapng(refuse, layout, {}, std::nullopt);
    pcapng.append(packets);
    EXPECT_FALSE(pcapng.metUnplannedLinkType());  // the sink stopped it, not a packet
    EXPECT_FALSE(pcapng.finish().has_value());
    ClassicPcapPartWriter classic(refuse, 1, 262144, std::nullopt);
    classic.append(packets);
    EXPECT_FALSE(classic.finish().has_value());
}

TEST(PartWriterProgress, ReportsRunOnAcrossPartsAndEndWithTheSize) {
    auto packets = makePackets(uniformSpecs(130, 8));  // 24-byte records after a 24-byte header
    std::vector<std::uint64_t> reports;
    ClassicPcapPartWriter writer([](std::span<const std::byte>) { return true; }, 1, 262144, std::nullopt,
                                 [&](std::uint64_t b) { reports.push_back(b); });
    appendInParts(writer, packets, {50, 50, 30});
    ASSERT_EQ(writer.finish(), 24u + 130 * 24);
    EXPECT_EQ(reports, (std::vector<std::uint64_t>{24 + 64 * 24, 24 + 128 * 24, 24 + 130 * 24}));
}

}  // namespace
}  // namespace qor::test
