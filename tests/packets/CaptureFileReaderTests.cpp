// Reading packet by packet: the sink entries of both readers and the dispatching reader.

#include <gtest/gtest.h>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/ClassicPcapReader.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using B = test::PcapngBuilder;

Data frame(std::size_t n) { return Data(std::vector<std::byte>(n, std::byte{0x5A})); }

Data classicCapture(std::size_t records, bool bigEndian = false) {
    test::PcapBuilder b(1, bigEndian);
    for (std::uint32_t i = 0; i < records; ++i) b.record(100 + i, 250000, frame(20 + i % 7), 1500);
    return b.data();
}

Data pcapngCapture() {
    B b;
    b.section({B::text(1, "morning trace"), B::text(4, "probe")}).interface(1, {B::text(2, "eth0")}).interface(113);
    b.packet(0, 1'700'000'000'000'000ull, frame(60), 1514, {B::text(1, "look here"), B::u32(2, 2)});
    b.packet(1, 1'700'000'000'500'000ull, frame(30));
    b.secrets(0x544C534B, "CLIENT_RANDOM 01 02\n");
    b.packet(0, 1'700'000'001'000'000ull, frame(61));
    return b.data();
}

/// Every field a packet of a reader carries, for comparing two reads.
std::string describe(const QORPacket& p) {
    return std::to_string(p.packetId()) + "|" + std::to_string(p.dataLocation()) + "|" + std::to_string(p.captureLength()) +
           "|" + std::to_string(p.realLength()) + "|" + std::to_string(p.linkType()) + "|" + std::to_string(p.dateReceived()) +
           "|" + std::to_string(p.dateReference()) + "|" + std::to_string(p.packetTime()) + "|" +
           p.packetProtocol().value_or("-") + "|" + p.packetProtocolHistory().value_or("-") + "|" +
           p.packetComment().value_or("-") + "|" + std::to_string(p.pcapngPacketFlags().value_or(0)) + "|" +
           std::to_string(p.pcapngInterfaceIndex().value_or(99)) + "|" + p.pcapngInterfaceName().value_or("-");
}

struct Sunk {
    std::vector<std::shared_ptr<QORPacket>> packets;
    PacketSink sink(std::size_t stopAfter = SIZE_MAX) {
        return [this, stopAfter](std::shared_ptr<QORPacket> p) {
            packets.push_back(std::move(p));
            return packets.size() < stopAfter;
        };
    }
};

TEST(PacketSink, EachReaderHandsOutWhatItsWholeFileReadKeeps) {
    for (bool big : {false, true}) {
        auto file = classicCapture(150, big);
        Sunk sunk;
        std::vector<double> progress;
        auto r = ClassicPcapReader::read(file, sunk.sink(), [&](double kb) { progress.push_back(kb); });
        auto whole = ClassicPcapReader::read(file);
        ASSERT_TRUE(r.isClassicPcap);
        EXPECT_EQ(r.header.linktype, 1u);
        EXPECT_EQ(r.header.swapped, big);
        EXPECT_FALSE(r.header.nanosecond);
        EXPECT_EQ(r.packetCount, 150u);
        EXPECT_TRUE(r.packets.empty());
        EXPECT_FALSE(r.issue);
        EXPECT_EQ(progress.size(), 2u);  // after the 64th and the 128th record
        ASSERT_EQ(sunk.packets.size(), whole.packets.size());
        for (std::size_t i = 0; i < whole.packets.size(); ++i) {
            EXPECT_EQ(describe(*sunk.packets[i]), describe(*whole.packets[i]));
            EXPECT_FALSE(sunk.packets[i]->dataCache());
            EXPECT_FALSE(sunk.packets[i]->filePath());
        }
        EXPECT_DOUBLE_EQ(sunk.packets[3]->dateReference(), 100.25);
    }
    Sunk sunk;
    auto r = PcapngReader::read(pcapngCapture(), sunk.sink());
    auto whole = PcapngReader::read(pcapngCapture());
    EXPECT_TRUE(r.packets.empty());
    EXPECT_EQ(r.packetCount, 3u);
    EXPECT_EQ(r.metadata, whole.metadata);
    EXPECT_EQ(r.secrets, whole.secrets);
    ASSERT_EQ(sunk.packets.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(describe(*sunk.packets[i]), describe(*whole.packets[i]));
    EXPECT_EQ(sunk.packets[0]->packetComment(), std::optional<std::string>("look here"));
    EXPECT_EQ(sunk.packets[1]->pcapngInterfaceIndex(), std::optional<std::int64_t>(1));
}

TEST(PacketSink, ReturningFalseStopsTheReadWithoutComplaint) {
    Sunk classic;
    auto r = ClassicPcapReader::read(classicCapture(10), classic.sink(4));
    EXPECT_EQ(classic.packets.size(), 4u);
    EXPECT_EQ(r.packetCount, 4u);
    EXPECT_FALSE(r.issue);  // the rest of the file is not "trailing bytes"
    Sunk ng;
    auto n = PcapngReader::read(pcapngCapture(), ng.sink(1));
    EXPECT_EQ(ng.packets.size(), 1u);
    EXPECT_FALSE(n.issue);
    EXPECT_EQ(n.sectionComment, std::optional<std::string>("morning trace"));
}

TEST(PacketSink, PacketsTheSinkDropsAreFreed) {
    // A streaming caller keeps nothing: every packet must be gone as soon as it lets go of it.
    std::vector<std::weak_ptr<QORPacket>> seen;
    auto keepNothing = [&](std::shared_ptr<QORPacket> p) {
        seen.push_back(p);
        return true;
    };
    ClassicPcapReader::read(classicCapture(100), keepNothing);
    PcapngReader::read(pcapngCapture(), keepNothing);
    ASSERT_EQ(seen.size(), 103u);
    for (auto& w : seen) EXPECT_TRUE(w.expired());
}

TEST(CaptureFileReader, DispatchesByTheFirstBytesAndReportsWhatTheFileSays) {
    Sunk ng;
    auto r = CaptureFileReader::read(pcapngCapture(), ng.sink());
    EXPECT_EQ(r.format, CaptureContainerFormat::pcapng);
    EXPECT_EQ(r.linkTypes, (std::vector<std::uint32_t>{1, 113}));
    ASSERT_TRUE(r.metadata);
    EXPECT_EQ(r.metadata->application, std::optional<std::string>("probe"));
    EXPECT_EQ(r.sectionComment, std::optional<std::string>("morning trace"));
    EXPECT_EQ(r.secrets, std::vector<std::string>{"CLIENT_RANDOM 01 02\n"});
    EXPECT_EQ(r.packetCount, 3u);
    EXPECT_FALSE(r.classicHeader);

    Sunk classic;
    auto truncated = classicCapture(5, true);
    auto c = CaptureFileReader::read(truncated.slice(0, truncated.size() - 3), classic.sink());
    EXPECT_EQ(c.format, CaptureContainerFormat::pcap);
    EXPECT_EQ(c.linkTypes, std::vector<std::uint32_t>{1});
    ASSERT_TRUE(c.classicHeader);
    EXPECT_TRUE(c.classicHeader->swapped);
    EXPECT_EQ(c.packetCount, 4u);
    ASSERT_TRUE(c.issue);
    EXPECT_NE(c.issue->find("record 5"), std::string::npos) << *c.issue;
    EXPECT_FALSE(c.metadata);

    for (const Data& bad : {Data::fromString(std::string(64, 'x')), Data(), classicCapture(0).slice(0, 10)}) {
        try {
            CaptureFileReader::read(bad, classic.sink());
            ADD_FAILURE() << "accepted " << bad.size() << " bytes";
        } catch (const APIErrorException& e) {
            EXPECT_EQ(e.code(), APIError::invalidData);
        }
    }
}

}  // namespace
}  // namespace qor
