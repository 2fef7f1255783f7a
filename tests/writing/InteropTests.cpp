// Our output as independent readers see it: capinfos and tshark (Wireshark 4.0) read every
// exported fixture without a warning and find the same packets, bytes, lengths, times, comments
// and decryption secrets. Skipped when the tools are not installed.
//
// Commands used: `capinfos -c -D OUT`, `tshark -r OUT -T ek -x` (frame_raw, time, lengths),
// `tshark -r OUT -T fields -e frame.comment`.

#include <nlohmann/json.hpp>

#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "WritingSupport.hpp"

namespace qor::test {
namespace {

/// tshark and capinfos come with `make install-deps`; a test that needs them fails without them.
void requireTools() {
    ASSERT_EQ(std::system("command -v tshark >/dev/null 2>&1 && command -v capinfos >/dev/null 2>&1"), 0)
        << "tshark or capinfos not installed (make install-deps installs them)";
}

/// "1388651869.848747000" as microseconds, without going through a double.
std::int64_t epochMicros(const std::string& text) {
    auto dot = text.find('.');
    std::int64_t seconds = std::stoll(text.substr(0, dot));
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    frac.resize(9, '0');
    return seconds * 1'000'000 + std::stoll(frac) / 1000;
}

/// Checks that tshark and capinfos read `file` cleanly and see `packets`, and that capinfos
/// counts `expectedSecretBlocks` decryption secrets blocks (-1: not checked; capinfos prints no
/// line when there are none).
void expectToolsSeePackets(const TempDir& dir, const std::filesystem::path& file, const Packets& packets,
                           std::int64_t expectedSecretBlocks) {
    auto info = runIn(dir.path, "capinfos -c -D '" + file.string() + "'");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_NE(info.out.find("Number of packets:   " + std::to_string(packets.size()) + "\n"), std::string::npos) << info.out;
    const auto secretsLine = info.out.find("Number of decryption secrets in file: " +
                                           (expectedSecretBlocks > 0 ? std::to_string(expectedSecretBlocks) : std::string()));
    if (expectedSecretBlocks >= 0) { EXPECT_EQ(secretsLine != std::string::npos, expectedSecretBlocks > 0) << info.out; }

    auto ek = runIn(dir.path, "tshark -r '" + file.string() + "' -T ek -x");
    EXPECT_EQ(ek.status, 0) << ek.err;
    EXPECT_EQ(ek.err, "");
    std::vector<nlohmann::json> frames;
    std::istringstream lines(ek.out);
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.contains("layers")) frames.push_back(std::move(j["layers"]));
    }
    ASSERT_EQ(frames.size(), packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const auto& frame = frames[i]["frame"];
        auto bytes = packets[i]->data().value_or(Data());
        EXPECT_EQ(frames[i].value("frame_raw", std::string()), hex(bytes));
        EXPECT_EQ(frame.value("frame_frame_len", std::string()), std::to_string(packets[i]->realLength()));
        EXPECT_EQ(frame.value("frame_frame_cap_len", std::string()), std::to_string(bytes.size()));
        const auto micros = epochMicros(frame.value("frame_frame_time_epoch", std::string("0")));
        EXPECT_LE(std::llabs(micros - std::llround(packets[i]->dateReceived() * 1e6)), 1);
    }
}

class ToolsReadOurFiles : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { requireTools(); }
};
class ToolsReadOurClassicFiles : public ToolsReadOurFiles {};

TEST_P(ToolsReadOurFiles, Pcapng) {
    const Packets packets = readCapture(capturePath(GetParam()));
    const auto secrets = PcapngReader::read(readFile(capturePath(GetParam()))).secrets;
    TempDir dir;
    const auto out = dir.write("out.pcapng", PcapngWriter::write(packets, secrets, "interop"));
    expectToolsSeePackets(dir, out, packets, PcapngWriter::distinctSecretCount(secrets) > 0 ? 1 : 0);
}

TEST_P(ToolsReadOurClassicFiles, ClassicPcap) {
    const Packets packets = readCapture(capturePath(GetParam()));
    ASSERT_FALSE(packets.empty());
    TempDir dir;
    const auto out = dir.write("out.pcap", classicBytes(packets, packets.front()->linkType()));
    expectToolsSeePackets(dir, out, packets, -1);
}

// test007.ntar is damaged (tshark refuses it), so .ntar files are left out.
INSTANTIATE_TEST_SUITE_P(Fixtures, ToolsReadOurFiles, ::testing::ValuesIn(fixtureCaptures(false)), testName);
// Classic pcap holds one link type: the captures whose packets have exactly one.
INSTANTIATE_TEST_SUITE_P(Fixtures, ToolsReadOurClassicFiles, ::testing::ValuesIn(classicCapableCaptures(true)), testName);

TEST(ToolsReadOurComments, SectionAndPacketCommentsAndSeveralInterfaces) {
    requireTools();
    auto packets = makePackets({{bytes({0xDE, 0xAD, 0xBE, 0xEF, 0x01}), 1.25, 1, 60, "first \xC3\xA9t\xC3\xA9"},
                                {bytes({1, 2, 3}), 2.5, 105},
                                {bytes({4, 5, 6, 7}), 3.75, 1, std::nullopt, "third"}});
    TempDir dir;
    const auto out = dir.write("c.pcapng", PcapngWriter::write(packets, {"CLIENT_RANDOM 00 11\n"}, "section note"));
    expectToolsSeePackets(dir, out, packets, 1);

    auto info = runIn(dir.path, "capinfos '" + out.string() + "'");
    EXPECT_NE(info.out.find("Capture comment:     section note"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Per packet"), std::string::npos) << info.out;  // two link types
    auto comments = runIn(dir.path, "tshark -r '" + out.string() + "' -T fields -e frame.comment");
    EXPECT_EQ(comments.out, "first \xC3\xA9t\xC3\xA9\n\nthird\n");
}

}  // namespace
}  // namespace qor::test
