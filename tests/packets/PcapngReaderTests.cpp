// Reading pcapng: sections, interfaces, resolutions, options, secrets and the key-store bridge.

#include <gtest/gtest.h>

#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using B = test::PcapngBuilder;

Data frame(std::size_t n) { return Data(std::vector<std::byte>(n, std::byte{0x42})); }

TEST(PcapngReader, BigEndianOptionsAreSwapped) {
    // Big-endian packets agree with tshark in RealCaptureTests (pcapng-test102-be); here the options.
    B b(true);
    b.section({B::text(1, "twin")}).interface(1, {B::text(2, "eth0")});
    b.packet(0, 1'700'000'000'123'456ull, frame(61), 1514, {B::text(1, "first"), B::u32(2, 1, true)});
    auto be = PcapngReader::read(b.data());
    ASSERT_EQ(be.packets.size(), 1u);
    EXPECT_EQ(be.sectionComment, std::optional<std::string>("twin"));
    EXPECT_EQ(be.packets[0]->packetComment(), std::optional<std::string>("first"));
    EXPECT_EQ(be.packets[0]->pcapngPacketFlags(), std::optional<std::uint32_t>(1));
    EXPECT_EQ(be.packets[0]->pcapngInterfaceName(), std::optional<std::string>("eth0"));
    EXPECT_NEAR(be.packets[0]->dateReceived(), 1700000000.123456, 1e-7);
    EXPECT_FALSE(be.issue);
}

TEST(PcapngReader, TimestampResolutions) {
    B b;
    b.section();
    b.interface(1, {B::u8(9, 9)});      // nanoseconds
    b.interface(1, {B::u8(9, 0x86)});   // 2^-6 seconds
    b.interface(1);                     // microseconds by default
    b.packet(0, 1'500'000'000'500'000'000ull, frame(1));
    b.packet(1, 64 * 10 + 32, frame(1));
    b.packet(2, 2'500'000, frame(1));
    auto r = PcapngReader::read(b.data());
    ASSERT_EQ(r.packets.size(), 3u);
    EXPECT_DOUBLE_EQ(r.packets[0]->dateReceived(), 1500000000.5);
    EXPECT_DOUBLE_EQ(r.packets[1]->dateReceived(), 10.5);
    EXPECT_DOUBLE_EQ(r.packets[2]->dateReceived(), 2.5);
    EXPECT_DOUBLE_EQ(r.packets[2]->dateReference(), 1500000000.5);
}

TEST(PcapngReader, SecondSectionRestartsInterfaceNumbers) {
    B b;
    b.section({B::text(1, "one"), B::text(2, "hw1")}).interface(1).interface(105);
    b.packet(1, 1'000'000, frame(4));
    b.section({B::text(1, "two"), B::text(3, "os2")}).interface(113, {B::text(2, "any")});
    b.packet(0, 2'000'000, frame(4));
    auto r = PcapngReader::read(b.data());
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0]->linkType(), 105u);
    EXPECT_EQ(r.packets[1]->linkType(), 113u);
    EXPECT_EQ(r.packets[1]->pcapngInterfaceIndex(), std::optional<std::int64_t>(0));
    EXPECT_EQ(r.packets[1]->packetProtocol(), std::optional<std::string>("SLL"));
    ASSERT_EQ(r.metadata.interfaces.size(), 3u);
    EXPECT_EQ(r.sectionComment, std::optional<std::string>("one"));  // the first section's wins
    EXPECT_EQ(r.metadata.hardware, std::optional<std::string>("hw1"));
    EXPECT_EQ(r.metadata.operatingSystem, std::optional<std::string>("os2"));
}

TEST(PcapngReader, PacketOnUnknownInterfaceIsSkippedAndIdsStayConsecutive) {
    B b;
    b.section().interface(1).interface(1);
    b.packet(0, 1, frame(4)).packet(3, 2, frame(4)).packet(1, 3, frame(4));
    auto r = PcapngReader::read(b.data());
    ASSERT_EQ(r.packets.size(), 2u);
    EXPECT_EQ(r.packets[0]->packetId(), 1);
    EXPECT_EQ(r.packets[1]->packetId(), 2);
    EXPECT_TRUE(r.issue);
}

TEST(PcapngReader, SecretsAreCollectedAndCounted) {
    B b;
    b.section().interface(1);
    b.secrets(0x544C534B, "# comment\n\nCLIENT_RANDOM aa bb\r\nCLIENT_RANDOM cc dd\n");
    b.secrets(0x57474B4C, "wireguard keys are not TLS key logs");
    auto r = PcapngReader::read(b.data());
    ASSERT_EQ(r.secrets.size(), 1u);
    EXPECT_EQ(r.metadata.tlsSecretCount, 2);
    EXPECT_FALSE(r.metadata.isEmpty());
}

TEST(PcapngReader, MalformedFramingEndsTheWalkWithAReason) {
    for (std::uint32_t badLength : {8u, 30u, 0x7FFFFFF0u}) {
        B b;
        b.section().interface(1).packet(0, 1, frame(8));
        test::Bytes tail;
        tail.u32(6).u32(badLength).zeros(20);
        auto bytes = test::Bytes().raw(b.data()).raw(tail.data()).data();
        auto r = PcapngReader::read(bytes);
        EXPECT_EQ(r.packets.size(), 1u) << badLength;
        ASSERT_TRUE(r.issue) << badLength;
    }
}

TEST(PcapngReader, NotPcapngAndOptionEdgeCases) {
    EXPECT_FALSE(PcapngReader::read(Data::fromString("0123456789abcdef")).isPcapng);
    EXPECT_FALSE(PcapngReader::read(Data()).isPcapng);
    // Options: a string is cut at a zero byte; an empty one is absent; a value that runs past the
    // area stops the walk.
    auto area = test::Bytes().u16(2).u16(6).raw(std::string_view("ab\0cd\0", 6)).pad4().u16(3).u16(0).u16(4).u16(200).raw("x").data();
    EXPECT_EQ(PcapngOptions::string(area, 2, false), std::optional<std::string>("ab"));
    EXPECT_FALSE(PcapngOptions::string(area, 3, false));
    EXPECT_FALSE(PcapngOptions::string(area, 4, false));
    EXPECT_EQ(PcapngOptions::all(area, false).size(), 2u);
    auto shortU64 = test::Bytes().u16(8).u16(4).u32(7).data();
    EXPECT_FALSE(PcapngOptions::u64(shortU64, 8, false));
    EXPECT_EQ(PcapngOptions::u32(shortU64, 8, false), std::optional<std::uint32_t>(7));
}

TEST(PcapngKeyStoreBridge, MergesSecretsOncePerTrace) {
    test::TempDir dir;
    setenv("QOR_KEYLOG_DIR", (dir.path / "keys").c_str(), 1);
    B b;
    b.section().interface(1).secrets(0x544C534B, "CLIENT_RANDOM 01 02\nCLIENT_RANDOM 03 04\n");
    auto file = dir.write("trace.pcapng", b.data());
    FileDataToPacketsAsyncStream reader;
    for (int i = 0; i < 2; ++i) reader.parsePackets(b.data(), std::make_shared<QORDataCache>(), file, nullptr);
    auto fingerprint = TraceFingerprint::fingerprint(file);
    ASSERT_TRUE(fingerprint);
    EXPECT_EQ(test::readFile(KeylogLocations::traceEntry(*fingerprint)).toString(), "CLIENT_RANDOM 01 02\nCLIENT_RANDOM 03 04\n");
    ASSERT_TRUE(reader.lastPcapngMetadata());
    EXPECT_EQ(reader.lastPcapngMetadata()->tlsSecretCount, 2);
    EXPECT_EQ(reader.lastSecrets(), std::vector<std::string>{"CLIENT_RANDOM 01 02\nCLIENT_RANDOM 03 04\n"});
    unsetenv("QOR_KEYLOG_DIR");
}

}  // namespace
}  // namespace qor
