// `qor export` end to end: format choice, ranges, comments, key logs, refusals, damaged input,
// where the key log goes (and that tshark decrypts with it), and that OUT only ever appears
// complete. Runs the built qor binary (and tshark, which the Makefile installs).

#include <fstream>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"

namespace qor::test {
namespace {

namespace fs = std::filesystem;

class ExportCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(qor_)) << "qor not built at " << qor_; }
    /// Runs `qor export ARGS` in the temporary folder.
    RunResult exportWith(const std::string& args) { return qor("export " + args); }
    RunResult qor(const std::string& args) { return runIn(dir_.path, "'" + qor_.string() + "' " + args); }
    static std::string fixture(const char* name) { return "'" + capturePath(name).string() + "'"; }
    /// `back` holds the bytes of `original`'s packets from the `from`th on.
    static void expectSameBytes(const Packets& back, const Packets& original, std::size_t from = 0) {
        for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i]->data(), original[i + from]->data()) << i;
    }
    /// Files in the folder other than the ones the test made.
    std::vector<std::string> strayFiles() {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir_.path))
            if (auto n = e.path().filename().string(); n.find(".qor-") != std::string::npos) names.push_back(n);
        return names;
    }

    TempDir dir_;
    fs::path qor_ = fs::path(QOR_BINARY_DIR) / "bin" / "qor";
};

TEST_F(ExportCommand, FormatComesFromTheExtensionUnlessGiven) {
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " a.pcapng").status, 0);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " b.cap").status, 0);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " c.cap --format pcapng").status, 0);
    EXPECT_EQ(hex(readFile(dir_.path / "a.pcapng").slice(0, 4)), "0a0d0d0a");
    EXPECT_EQ(hex(readFile(dir_.path / "b.cap").slice(0, 4)), "d4c3b2a1");
    EXPECT_EQ(hex(readFile(dir_.path / "c.cap").slice(0, 4)), "0a0d0d0a");
    // The packets written: RangeSelectsPacketsAToB and CaptureRoundTrip.
    // Without --comment the input's section comment is kept; without one either, it names the exporter.
    EXPECT_EQ(PcapngReader::read(readFile(dir_.path / "a.pcapng")).sectionComment, "Exported by Tessarine");
    ASSERT_EQ(exportWith(fixture("vlan-pcp-dei.pcapng") + " v.pcapng").status, 0);
    auto vlanComment = PcapngReader::read(readFile(capturePath("vlan-pcp-dei.pcapng"))).sectionComment;
    ASSERT_TRUE(vlanComment);
    EXPECT_EQ(PcapngReader::read(readFile(dir_.path / "v.pcapng")).sectionComment, vlanComment);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(ExportCommand, RangeSelectsPacketsAToB) {
    ASSERT_EQ(exportWith(fixture("one_http_stream_fin.pcap") + " r.pcap --range 3-5").status, 0);
    auto original = readCapture(capturePath("one_http_stream_fin.pcap"));
    auto back = readCapture(dir_.path / "r.pcap");
    ASSERT_EQ(back.size(), 3u);
    expectSameBytes(back, original, 2);
    // B past the end stops at the last packet.
    ASSERT_EQ(exportWith(fixture("one_http_stream_fin.pcap") + " tail.pcap --range 14-99").status, 0);
    EXPECT_EQ(readCapture(dir_.path / "tail.pcap").size(), 2u);

    auto bad = exportWith(fixture("one_http_stream_fin.pcap") + " x.pcap --range 5-2");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--range"), std::string::npos) << bad.err;
    auto none = exportWith(fixture("one_http_stream_fin.pcap") + " x.pcap --range 16-20");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("selects none"), std::string::npos) << none.err;
    EXPECT_FALSE(fs::exists(dir_.path / "x.pcap"));
}

TEST_F(ExportCommand, ARangeAcrossReadWindowsIsTheFileOfThosePackets) {
    // The command reads a window of packets at a time; a capture of several windows, built here,
    // exported whole and by a range that starts and ends inside windows.
    const Packets built = makePackets(uniformSpecs(1300, 60));
    {
        const Data classic = classicBytes(built);
        std::ofstream(dir_.path / "in.pcap", std::ios::binary)
            .write(reinterpret_cast<const char*>(classic.data()), static_cast<std::streamsize>(classic.size()));
    }
    const Packets original = readCapture(dir_.path / "in.pcap");
    ASSERT_EQ(original.size(), 1300u);
    ASSERT_EQ(exportWith("in.pcap whole.pcapng").status, 0);
    ASSERT_EQ(exportWith("in.pcap part.pcapng --range 500-1030").status, 0);
    ASSERT_EQ(exportWith("in.pcap part.pcap --range 500-1030").status, 0);
    EXPECT_EQ(hex(readFile(dir_.path / "whole.pcapng")), hex(PcapngWriter::write(original, {}, std::nullopt)));
    const auto range = std::span(original).subspan(499, 531);
    EXPECT_EQ(hex(readFile(dir_.path / "part.pcapng")), hex(PcapngWriter::write(range, {}, std::nullopt)));
    EXPECT_EQ(hex(readFile(dir_.path / "part.pcap")),
              hex(PacketsToFileDataAsyncStream::serialize(range, 1, 262144, std::nullopt, {}, {})));
}

TEST_F(ExportCommand, CommentAndKeyLogMergeWithTheInputsSecrets) {
    {
        std::ofstream keys(dir_.path / "keys.txt");
        keys << "# extra keys\nCLIENT_RANDOM 1111 2222\n";
        keys << readFile(capturePath("illustrated-tls12-keylog.txt")).toString();  // already in the input
    }
    ASSERT_EQ(exportWith(fixture("illustrated-tls12-dsb.pcapng") + " k.pcapng --comment 'lab run 7' --keylog keys.txt").status, 0);
    auto result = PcapngReader::read(readFile(dir_.path / "k.pcapng"));
    EXPECT_EQ(result.sectionComment, "lab run 7");
    ASSERT_EQ(result.secrets.size(), 1u);
    const std::string inputKey(trimmed(readFile(capturePath("illustrated-tls12-keylog.txt")).stringView()));
    EXPECT_EQ(result.secrets[0], inputKey + "\nCLIENT_RANDOM 1111 2222\n");
    EXPECT_EQ(result.packets.size(), 22u);

    auto missing = exportWith(fixture("illustrated-tls12-dsb.pcapng") + " m.pcapng --keylog nowhere.txt");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nowhere.txt"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(dir_.path / "m.pcapng"));
}

TEST_F(ExportCommand, RefusalsLeaveAnExistingOutputUntouched) {
    dir_.write("keep.pcap", Data::fromString("old contents"));
    auto mixed = exportWith(fixture("many_interfaces-1.pcapng") + " keep.pcap");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("--format pcapng"), std::string::npos) << mixed.err;
    EXPECT_EQ(readFile(dir_.path / "keep.pcap").toString(), "old contents");

    // Input that is no capture fails as in every other command (QorBadInput), before anything is written.
    dir_.write("junk.bin", Data::fromString("this is not a capture file at all"));
    auto junk = exportWith("junk.bin keep.pcap");
    EXPECT_EQ(junk.status, 1);
    EXPECT_EQ(junk.err, qor("info junk.bin").err);
    EXPECT_EQ(junk.err.rfind("qor: junk.bin: ", 0), 0u) << junk.err;
    EXPECT_EQ(readFile(dir_.path / "keep.pcap").toString(), "old contents");

    auto noDir = exportWith(fixture("nb6-http.pcap") + " no/such/dir/out.pcap");
    EXPECT_EQ(noDir.status, 1);
    EXPECT_NE(noDir.err.find("no/such/dir/out.pcap"), std::string::npos) << noDir.err;

    // A successful export replaces the file whole and keeps its permissions.
    fs::permissions(dir_.path / "keep.pcap", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " keep.pcap").status, 0);
    EXPECT_EQ(readCapture(dir_.path / "keep.pcap").size(), 62u);
    EXPECT_EQ(fs::status(dir_.path / "keep.pcap").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(ExportCommand, DamagedInputWritesWhatWasReadThenFailsLikeTheOtherCommands) {
    // nb6-http.pcap cut in the middle of a packet: the packets before the cut are readable.
    const Data whole = readFile(capturePath("nb6-http.pcap"));
    const auto original = readCapture(capturePath("nb6-http.pcap"));
    dir_.write("cut.pcap", whole.slice(0, whole.size() / 2));
    const auto readable = readCapture(dir_.path / "cut.pcap");
    ASSERT_GT(readable.size(), 0u);
    ASSERT_LT(readable.size(), original.size());

    auto cut = exportWith("cut.pcap out.pcapng");
    EXPECT_EQ(cut.status, 2);
    const auto info = qor("info cut.pcap");
    EXPECT_EQ(info.status, 2);
    EXPECT_EQ(cut.err, info.err);  // one wording: "qor: FILE: damaged capture: what is wrong"
    EXPECT_EQ(cut.err.rfind("qor: cut.pcap: damaged capture: ", 0), 0u) << cut.err;
    auto back = readCapture(dir_.path / "out.pcapng");
    ASSERT_EQ(back.size(), readable.size());
    expectSameBytes(back, original);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(ExportCommand, KeyLogBlockComesBeforeThePacketsAndTsharkDecryptsWithIt) {
    // The pcap-style input: the pcapng fixture's packets without their secrets, plus the key log
    // given on the command line.
    ASSERT_EQ(exportWith(fixture("illustrated-tls12-dsb.pcapng") + " plain.pcap").status, 0);
    ASSERT_EQ(exportWith("plain.pcap out.pcapng --keylog " + fixture("illustrated-tls12-keylog.txt")).status, 0);
    // Section header, interface, then the secrets block before the packets (its bytes: PcapngWriterSecrets).
    const Data out = readFile(dir_.path / "out.pcapng");
    const auto sectionLength = out.loadUnaligned<std::uint32_t>(4).value_or(0);
    const auto interfaceLength = out.loadUnaligned<std::uint32_t>(sectionLength + 4).value_or(0);
    EXPECT_EQ(out.loadUnaligned<std::uint32_t>(sectionLength + interfaceLength), 0x0000000Au);
    // tshark reads the keys from the file alone and decrypts the application data, as recorded.
    const std::string recorded = readFile(fixturePath("expected/illustrated-tls12-export.tshark.tsv")).toString();
    std::string expected;
    for (auto line : splitLines(recorded)) {
        if (!line.empty() && line.front() != '#') expected.append(line).push_back('\n');
    }
    auto tshark = runIn(dir_.path, "tshark -r out.pcapng -Y data -T fields -e frame.number -e data.data");
    ASSERT_EQ(tshark.status, 0) << tshark.err;
    EXPECT_EQ(tshark.out, expected);
}

}  // namespace
}  // namespace qor::test
