// `qor export` end to end: format choice, ranges, comments, key logs, refusals, and that OUT
// only ever appears complete. Runs the built qor binary; skipped when it has not been built.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

namespace fs = std::filesystem;
using Packets = std::vector<std::shared_ptr<QORPacket>>;

class ExportCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(qor_)) GTEST_SKIP() << "qor not built at " << qor_;
    }
    struct Result {
        int status;
        std::string err;
    };
    /// Runs `qor export ARGS` in the temporary folder.
    Result exportWith(const std::string& args) {
        const auto err = dir_.path / "stderr.txt";
        const std::string cmd = "cd '" + dir_.path.string() + "' && QOR_KEYLOG_DIR='" + (dir_.path / "keylogs").string() +
                                "' '" + qor_.string() + "' export " + args + " 2>'" + err.string() + "'";
        const int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(err)};
    }
    static std::string fixture(const char* name) { return "'" + capturePath(name).string() + "'"; }
    static Packets read(const fs::path& p) { return readCapture(readFile(p), p); }
    /// Files in the folder other than the ones the test made.
    std::vector<std::string> strayFiles() {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir_.path)) {
            auto n = e.path().filename().string();
            if (n.find(".qor-") != std::string::npos) names.push_back(n);
        }
        return names;
    }

    TempDir dir_;
    fs::path qor_ = fs::path(QOR_BINARY_DIR) / "bin" / "qor";
};

TEST_F(ExportCommand, FormatComesFromTheExtensionUnlessGiven) {
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " a.pcapng").status, 0);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " b.cap").status, 0);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " c.cap --format pcapng").status, 0);
    EXPECT_EQ(hex(readFile(dir_.path / "a.pcapng").slice(0, 4)), "0A0D0D0A");
    EXPECT_EQ(hex(readFile(dir_.path / "b.cap").slice(0, 4)), "D4C3B2A1");
    EXPECT_EQ(hex(readFile(dir_.path / "c.cap").slice(0, 4)), "0A0D0D0A");
    auto original = read(capturePath("nb6-http.pcap"));
    for (const char* name : {"a.pcapng", "b.cap"}) {
        auto back = read(dir_.path / name);
        ASSERT_EQ(back.size(), original.size()) << name;
        for (std::size_t i = 0; i < back.size(); ++i) {
            EXPECT_EQ(back[i]->data(), original[i]->data());
            EXPECT_EQ(std::llround(back[i]->dateReceived() * 1e6), std::llround(original[i]->dateReceived() * 1e6));
        }
    }
    // Classic output declares the usual snapshot length.
    EXPECT_EQ(readFile(dir_.path / "b.cap").loadUnaligned<std::uint32_t>(16), 262144u);
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(ExportCommand, RangeSelectsPacketsAToB) {
    ASSERT_EQ(exportWith(fixture("one_http_stream_fin.pcap") + " r.pcap --range 3-5").status, 0);
    auto original = read(capturePath("one_http_stream_fin.pcap"));
    auto back = read(dir_.path / "r.pcap");
    ASSERT_EQ(back.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(back[i]->data(), original[i + 2]->data());
    // B past the end stops at the last packet.
    ASSERT_EQ(exportWith(fixture("one_http_stream_fin.pcap") + " tail.pcap --range 14-99").status, 0);
    EXPECT_EQ(read(dir_.path / "tail.pcap").size(), 2u);

    auto bad = exportWith(fixture("one_http_stream_fin.pcap") + " x.pcap --range 5-2");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--range"), std::string::npos) << bad.err;
    auto none = exportWith(fixture("one_http_stream_fin.pcap") + " x.pcap --range 16-20");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("selects none"), std::string::npos) << none.err;
    EXPECT_FALSE(fs::exists(dir_.path / "x.pcap"));
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

TEST_F(ExportCommand, InputSectionCommentIsKeptWithoutComment) {
    ASSERT_EQ(exportWith(fixture("vlan-pcp-dei.pcapng") + " v.pcapng").status, 0);
    auto original = PcapngReader::read(readFile(capturePath("vlan-pcp-dei.pcapng")));
    auto back = PcapngReader::read(readFile(dir_.path / "v.pcapng"));
    ASSERT_TRUE(original.sectionComment);
    EXPECT_EQ(back.sectionComment, original.sectionComment);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " d.pcapng").status, 0);
    EXPECT_EQ(PcapngReader::read(readFile(dir_.path / "d.pcapng")).sectionComment, "Exported by Tessarine");
}

TEST_F(ExportCommand, RefusalsLeaveAnExistingOutputUntouched) {
    dir_.write("keep.pcap", Data::fromString("old contents"));
    auto mixed = exportWith(fixture("many_interfaces-1.pcapng") + " keep.pcap");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("--format pcapng"), std::string::npos) << mixed.err;
    EXPECT_EQ(readFile(dir_.path / "keep.pcap").toString(), "old contents");

    dir_.write("junk.bin", Data::fromString("this is not a capture file at all"));
    auto junk = exportWith("junk.bin keep.pcap");
    EXPECT_EQ(junk.status, 1);
    EXPECT_NE(junk.err.find("not a capture file"), std::string::npos) << junk.err;
    EXPECT_EQ(readFile(dir_.path / "keep.pcap").toString(), "old contents");

    auto noDir = exportWith(fixture("nb6-http.pcap") + " no/such/dir/out.pcap");
    EXPECT_EQ(noDir.status, 1);
    EXPECT_NE(noDir.err.find("no/such/dir/out.pcap"), std::string::npos) << noDir.err;

    // A successful export replaces the file whole and keeps its permissions.
    fs::permissions(dir_.path / "keep.pcap", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(exportWith(fixture("nb6-http.pcap") + " keep.pcap").status, 0);
    EXPECT_EQ(read(dir_.path / "keep.pcap").size(), 62u);
    EXPECT_EQ(fs::status(dir_.path / "keep.pcap").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_TRUE(strayFiles().empty());
}

}  // namespace
}  // namespace qor::test
