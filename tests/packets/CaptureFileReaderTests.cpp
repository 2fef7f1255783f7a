// Reading packet by packet: the sink entries of both readers and the dispatching reader.

#include <gtest/gtest.h>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/ClassicPcapReader.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/QORPacket.hpp"
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

struct Sunk {
    std::vector<std::shared_ptr<QORPacket>> packets;
    PacketSink sink(std::size_t stopAfter = SIZE_MAX) {
        return [this, stopAfter](std::shared_ptr<QORPacket> p) {
            packets.push_back(std::move(p));
            return packets.size() < stopAfter;
        };
    }
};

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

TEST(RecordSink, RecordsCarryWhatThePacketsOfTheSameReadCarry) {
    // A pass over the records alone must locate and date each packet exactly as the packet read
    // does: the snapshots of the streaming commands are made from records, the listings from
    // packets.
    auto big = classicCapture(9, true);
    for (const Data& capture : {classicCapture(12), big.slice(0, big.size() - 3), pcapngCapture()}) {
        Sunk packets;
        const auto fromPackets = CaptureFileReader::read(capture, packets.sink());
        std::vector<CaptureRecord> records;
        const auto fromRecords = CaptureFileReader::readRecords(capture, [&](const CaptureRecord& record) {
            records.push_back(record);
            return true;
        });
        EXPECT_EQ(fromRecords.packetCount, fromPackets.packetCount);
        EXPECT_EQ(fromRecords.issue, fromPackets.issue);
        ASSERT_EQ(records.size(), packets.packets.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            const CaptureRecord& r = records[i];
            const QORPacket& p = *packets.packets[i];
            EXPECT_EQ(r.packetId, p.packetId());
            EXPECT_EQ(r.dataLocation, p.dataLocation());
            EXPECT_EQ(r.captureLength, p.captureLength());
            EXPECT_EQ(r.realLength, p.realLength());
            EXPECT_EQ(r.linkType, p.linkType());
            EXPECT_EQ(r.dateReceived, p.dateReceived());
            EXPECT_EQ(r.dateReference, p.dateReference());
            EXPECT_EQ(r.linkName, p.packetProtocolInterned());
            EXPECT_EQ(r.linkName, p.packetLinkTypeName());
            EXPECT_EQ(r.interfaceIndex ? std::optional<std::int64_t>(*r.interfaceIndex) : std::nullopt, p.pcapngInterfaceIndex());
            EXPECT_EQ(r.interfaceName.value(), p.pcapngInterfaceName());
            EXPECT_EQ(r.comment, p.packetComment());
            EXPECT_EQ(r.flags, p.pcapngPacketFlags());
        }
    }
    // The pcapng trace's first packet says the most.
    std::vector<CaptureRecord> records;
    const auto stopped = PcapngReader::readRecords(pcapngCapture(), [&](const CaptureRecord& record) {
        records.push_back(record);
        return false;
    });
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(stopped.issue);
    EXPECT_EQ(records[0].interfaceIndex, std::optional<std::uint32_t>(0));
    EXPECT_EQ(records[0].interfaceName.view(), "eth0");
    EXPECT_EQ(records[0].comment, std::optional<std::string>("look here"));
    EXPECT_EQ(records[0].flags, std::optional<std::uint32_t>(2));
    EXPECT_EQ(records[0].realLength, 1514u);
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

    Sunk classic;
    auto truncated = classicCapture(5, true);
    auto c = CaptureFileReader::read(truncated.slice(0, truncated.size() - 3), classic.sink());
    EXPECT_EQ(c.format, CaptureContainerFormat::pcap);
    EXPECT_EQ(c.linkTypes, std::vector<std::uint32_t>{1});
    ASSERT_TRUE(c.classicHeader);
    EXPECT_TRUE(c.classicHeader->swapped);
    EXPECT_TRUE(c.issue);

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
