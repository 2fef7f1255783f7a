// Pcapng output: block layout byte by byte, interfaces, comments, secrets, sizes and progress.

#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"

namespace qor::test {
namespace {

constexpr std::uint32_t kTLSKeyLog = 0x544C534B;

Data write(const Packets& packets, const std::vector<std::string>& secrets = {},
           const std::optional<std::string>& comment = std::nullopt) {
    return PcapngWriter::write(packets, secrets, comment);
}

TEST(PcapngWriterLayout, EmptyListAndUnavailableBytesMatchAHandBuiltFile) {
    // Comments, padding and several link types: tshark reads them back in ToolsReadOurComments.
    PcapngBuilder empty;  // a section header and one Ethernet interface
    empty.section({PcapngBuilder::text(1, "Exported by Tessarine")}).interface(1, {}, 262144);
    EXPECT_EQ(hex(write({})), hex(empty.data()));
    auto packets = makePackets({{bytes({1}), 3.0, 105, std::nullopt, std::nullopt, /*bytesAvailable=*/false}});
    PcapngBuilder expected;
    expected.section({PcapngBuilder::text(1, "my capture")}).interface(105);
    expected.packet(0, 3'000'000, Data(), 1);  // captured length 0, original length kept
    EXPECT_EQ(hex(write(packets, {}, "my capture")), hex(expected.data()));
}

TEST(PcapngWriterComments, InvalidUTF8IsLeftOutAndLongTextIsCutAtACharacter) {
    // Section comment that is not UTF-8: a section header without options.
    auto out = write({}, {}, std::string("\xC3\x28", 2));
    EXPECT_EQ(out.loadUnaligned<std::uint32_t>(4), 28u);
    EXPECT_EQ(PcapngWriter::totalByteCount({}, {}, std::string("\xC3\x28", 2)), static_cast<double>(out.size()));
    // Packet comment that is not UTF-8: no options after the packet bytes.
    auto packets = makePackets({{bytes({1, 2, 3, 4}), 0, 1, std::nullopt, std::string("\xFF", 1)}});
    EXPECT_EQ(write(packets).size(), 80u + 36);

    // 65534 ASCII bytes then a two-byte character: the character does not fit and is dropped.
    std::string longText(65534, 'x');
    longText += "\xC3\xA9tail";
    auto cut = PcapngWriter::optionText(longText);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 65534u);
    EXPECT_EQ(*PcapngWriter::optionText(std::string(70000, 'y')), std::string(65535, 'y'));
    auto big = makePackets({{bytes({1}), 0, 1, std::nullopt, longText}});
    auto bigOut = write(big, {}, longText);
    EXPECT_EQ(bigOut.loadUnaligned<std::uint16_t>(26), 65534u);  // section comment option length
    EXPECT_EQ(static_cast<double>(bigOut.size()), PcapngWriter::totalByteCount(big, {}, longText));
}

TEST(PcapngWriterSecrets, DistinctKeyLinesInOneSecretsBlock) {
    const std::vector<std::string> secrets{"A\n# comment\nB\n", "B\r\nC"};
    EXPECT_EQ(PcapngWriter::keyLogText(secrets), "A\nB\nC\n");
    EXPECT_EQ(PcapngWriter::distinctSecretCount(secrets), 3);
    EXPECT_EQ(PcapngWriter::distinctSecretCount({"  \n#only a comment\n"}), 0);
    EXPECT_EQ(PcapngWriter::keyLogText({"  CLIENT_RANDOM a b  \n\nCLIENT_RANDOM a b"}), "CLIENT_RANDOM a b\n");
    // The block itself: PcapngWriterSecrets.Placement. No key lines: no secrets block at all.
    EXPECT_EQ(write({}, {"# nothing\n"}).size(), 80u);
}

TEST(PcapngWriterSecrets, PlacementPutsTheSecretsBlockAfterTheLastOrBeforeTheFirstPacket) {
    auto packets = makePackets({{bytes({1, 2, 3, 4}), 1.0, 1}, {bytes({5, 6}), 2.0, 105}});
    const std::vector<std::string> secrets{"CLIENT_RANDOM 01 02\n"};
    auto build = [&](bool secretsFirst) {
        PcapngBuilder b;
        b.section({PcapngBuilder::text(1, "Exported by Tessarine")}).interface(1).interface(105);
        if (secretsFirst) b.secrets(kTLSKeyLog, "CLIENT_RANDOM 01 02\n");
        b.packet(0, 1'000'000, bytes({1, 2, 3, 4}), 4).packet(1, 2'000'000, bytes({5, 6}), 2);
        if (!secretsFirst) b.secrets(kTLSKeyLog, "CLIENT_RANDOM 01 02\n");
        return b.data();
    };
    EXPECT_EQ(hex(write(packets, secrets)), hex(build(false)));  // the default layout
    const Data before = PcapngWriter::write(packets, secrets, std::nullopt, std::nullopt, {},
                                            PcapngWriter::SecretsPlacement::beforePackets);
    EXPECT_EQ(hex(before), hex(build(true)));
}

TEST(PcapngWriterSize, StreamingGivesTheSameBytesInChunksAndStopsWhenTheSinkRefuses) {
    // 100 packets of 60,000 bytes: about 6 MB, more than one streaming chunk.
    std::vector<PacketSpec> specs;
    for (int i = 0; i < 100; ++i) specs.push_back({Data(std::vector<std::byte>(60000, std::byte(i))), 1.0 + i, 1});
    auto packets = makePackets(specs);
    const Data expected = write(packets, {"K a b"}, "s");
    Collector streamed;
    ASSERT_EQ(PcapngWriter::writeTo(streamed.sink(), packets, {"K a b"}, "s"), expected.size());
    EXPECT_GT(streamed.chunks, 1u);
    EXPECT_EQ(streamed.data(), expected);

    std::size_t chunks = 0;
    auto refuse = [&](std::span<const std::byte>) {
        ++chunks;
        return false;
    };
    EXPECT_EQ(PcapngWriter::writeTo(refuse, packets, {}, "s"), std::nullopt);
    EXPECT_EQ(chunks, 1u);  // nothing more is handed over once the sink refused
}

TEST(PcapngWriterProgress, EverySixtyFourPacketsOrHalfPercentThenTheFinalSize) {
    auto packets = makePackets(uniformSpecs(130, 8));  // 40-byte blocks after an 80-byte head
    std::vector<double> reports;
    auto out = PcapngWriter::write(packets, {}, std::nullopt, std::nullopt, [&](double b) { reports.push_back(b); });
    EXPECT_EQ(reports, (std::vector<double>{80 + 64 * 40, 80 + 128 * 40, 80 + 130 * 40}));
    EXPECT_EQ(out.size(), 80u + 130 * 40);

    reports.clear();
    const double total = PcapngWriter::totalByteCount(packets, {"K x y"}, std::nullopt);
    out = PcapngWriter::write(packets, {"K x y"}, std::nullopt, total, [&](double b) { reports.push_back(b); });
    EXPECT_EQ(reports.back(), total);  // the final size includes the secrets block
    EXPECT_GT(reports.size(), 100u);   // a step of 27 bytes: nearly every packet
    for (std::size_t i = 1; i < reports.size(); ++i) EXPECT_LE(reports[i - 1], reports[i]);
}

}  // namespace
}  // namespace qor::test
