// Building the key index from key-log files, the trace's key store and a capture's Decryption
// Secrets Blocks; the lines and files that cannot be used.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "PlugInPackets.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/tls/TLSKeyIndexBuilder.hpp"
#include "QORModels/tls/TLSKeyInventory.hpp"
#include "QORModels/tls/TLSStreamScanner.hpp"
#include "StreamCaptures.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

const std::string kRandom12 = "216e876ea1a480c60145c4c80eb8d05c85b6806043105c391236cd4e88f79a21";
const std::string kRandom13 = "74ef95570af6a305910ee6cb0f98fc5bcec0c5d5dffe5f293ae9a4d7ba2110f2";
const std::string kIllustratedRandom = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

Data rawRandom(const std::string& hex) {
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<std::byte>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return Data(std::move(bytes));
}

std::vector<std::string> labelsOf(const TLSKeyIndex& index, const std::string& random) {
    std::vector<std::string> labels;
    if (const auto* entries = index.entries(rawRandom(random).span()))
        for (const auto& e : *entries) labels.push_back(e.label);
    return labels;
}

/// `$QOR_KEYLOG_DIR` pointed at a fresh folder for the test's life.
struct KeylogDirectory {
    test::TempDir dir;
    KeylogDirectory() { setenv("QOR_KEYLOG_DIR", (dir.path / "keylogs").c_str(), 1); }
    ~KeylogDirectory() { unsetenv("QOR_KEYLOG_DIR"); }
};

TEST(TLSKeyIndexBuilder, IndexesAKeyLogFileByClientRandom) {
    const auto path = test::capturePath("tls_nss_example.keys.txt");
    const auto built = TLSKeyIndexBuilder::build(std::vector{path}, std::nullopt, {});
    EXPECT_TRUE(built.problems.empty());
    EXPECT_EQ(built.index.size(), 2u);
    EXPECT_EQ(labelsOf(built.index, kRandom12), (std::vector<std::string>{"CLIENT_RANDOM"}));
    EXPECT_EQ(labelsOf(built.index, kRandom13),
              (std::vector<std::string>{"SERVER_HANDSHAKE_TRAFFIC_SECRET", "EXPORTER_SECRET", "SERVER_TRAFFIC_SECRET_0",
                                        "CLIENT_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0"}));
    const auto& entry = built.index.entries(rawRandom(kRandom12).span())->front();
    EXPECT_EQ(entry.source, KeylogSource::userFile(path.string()));
    EXPECT_EQ(entry.line.substr(0, 14 + 64), "CLIENT_RANDOM " + kRandom12);
}

TEST(TLSKeyIndexBuilder, TheTraceStoreAndTheEmbeddedSecretsAreOneSource) {
    KeylogDirectory keylogs;
    const auto capture = test::capturePath("illustrated-tls12-dsb.pcapng");
    const auto keylogFile = test::capturePath("illustrated-tls12-keylog.txt");
    // Reading the capture fills the trace's key store from its Decryption Secrets Block.
    FileDataToPacketsAsyncStream reader;
    const auto packets = reader.parsePackets(test::readFile(capture), std::make_shared<QORDataCache>(capture, false), capture, nullptr);
    const auto secrets = reader.lastSecrets();
    ASSERT_EQ(secrets.size(), 1u);
    const auto fingerprint = TraceFingerprint::fingerprint(capture);
    ASSERT_TRUE(fingerprint);
    ASSERT_TRUE(std::filesystem::exists(KeylogLocations::traceEntry(*fingerprint)));

    const auto built = TLSKeyIndexBuilder::build(std::vector{keylogFile}, fingerprint, secrets);
    EXPECT_TRUE(built.problems.empty());
    const auto* entries = built.index.entries(rawRandom(kIllustratedRandom).span());
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);  // the file's line, and the store's and the block's line once
    EXPECT_EQ((*entries)[0].source, KeylogSource::userFile(keylogFile.string()));
    EXPECT_EQ((*entries)[1].source, KeylogSource::frozenTrace(*fingerprint));
    EXPECT_EQ((*entries)[0].line, (*entries)[1].line);

    // Without the store file, the block alone gives the same trace entry.
    std::filesystem::remove(KeylogLocations::traceEntry(*fingerprint));
    const auto blockOnly = TLSKeyIndexBuilder::build({}, fingerprint, secrets);
    ASSERT_TRUE(blockOnly.index.entries(rawRandom(kIllustratedRandom).span()));
    EXPECT_EQ(*blockOnly.index.entries(rawRandom(kIllustratedRandom).span()), std::vector{(*entries)[1]});

    const auto streams = TCPStreamReassembler::reassembleAllOffMain(test::snapshotsOf("illustrated-tls12-dsb.pcapng"));
    const auto rows = TLSKeyInventory::rows(TLSStreamScanner::sightings(std::span<const TCPStream>(streams)), built.index, fingerprint);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].serverName, "example.ulfheim.net");
    ASSERT_EQ(rows[0].matches.size(), 2u);
    EXPECT_FALSE(rows[0].matches[0].isCurrentTrace);
    EXPECT_TRUE(rows[0].matches[1].isCurrentTrace);
    EXPECT_EQ(rows[0].allLines().size(), 1u);
    EXPECT_EQ(rows[0].status(), TLSSessionStatus::keysComplete());
}

TEST(TLSKeyIndexBuilder, ReportsEachMalformedLineAndKeepsTheRest) {
    const std::string random = std::string(64, 'a');
    const std::string good = "CLIENT_RANDOM " + random + " 0011";
    struct Case {
        const char* name;
        std::string line;
        bool wellFormed;
    } cases[] = {
        {"well formed", good, true},
        {"tabs and surrounding blanks", "\t SERVER_TRAFFIC_SECRET_0\t" + std::string(64, 'F') + "  0a0B \r", true},
        {"blank", "   \t", true},
        {"comment", "# CLIENT_RANDOM nonsense", true},
        {"two fields", "CLIENT_RANDOM " + random, false},
        {"four fields", good + " 00", false},
        {"63 digits of random", "CLIENT_RANDOM " + random.substr(1) + " 0011", false},
        {"random not hex", "CLIENT_RANDOM " + random.substr(1) + "g 0011", false},
        {"odd secret", "CLIENT_RANDOM " + random + " 001", false},
        {"secret not hex", "CLIENT_RANDOM " + random + " 00x1", false},
        {"label with other characters", "CLIENT-RANDOM " + random + " 0011", false},
        {"NUL inside", "CLIENT_RANDOM " + random + std::string(" 00\0" "11", 6), false},
    };
    std::string text;
    std::vector<std::size_t> badLines;
    std::size_t lineNumber = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(!TLSKeyIndexBuilder::lineProblem(c.line), c.wellFormed);
        text += c.line + "\n";
        ++lineNumber;
        if (!c.wellFormed) badLines.push_back(lineNumber);
    }
    text += good;  // again, without a final newline: the same line from one source is one entry

    test::TempDir dir;
    const auto path = dir.write("keys.txt", Data::fromString(text));
    const auto built = TLSKeyIndexBuilder::build(std::vector{path}, std::nullopt, {});
    ASSERT_EQ(built.problems.size(), badLines.size());
    for (std::size_t i = 0; i < badLines.size(); ++i) {
        EXPECT_EQ(built.problems[i].origin, path.string());
        EXPECT_EQ(built.problems[i].lineNumber, badLines[i]);
        EXPECT_EQ(built.problems[i].description().rfind(path.string() + ":" + std::to_string(badLines[i]) + ": malformed key-log line", 0), 0u)
            << built.problems[i].description();
    }
    EXPECT_EQ(built.index.size(), 2u);  // the first two cases' randoms
    EXPECT_EQ(built.index.entries(rawRandom(random).span())->size(), 1u);
}

TEST(TLSKeyIndexBuilder, AHugeLineIsReportedWithoutCopyingIt) {
    const std::string huge = "CLIENT_RANDOM " + std::string(64, 'b') + " " + std::string(1 << 20, 'x');
    const std::string embedded = "# from the capture\n" + huge + "\nCLIENT_RANDOM " + std::string(64, 'c') + " 00\n";
    const auto built = TLSKeyIndexBuilder::build({}, std::nullopt, std::vector{embedded});
    ASSERT_EQ(built.problems.size(), 1u);
    EXPECT_EQ(built.problems[0].origin, "decryption secrets block 1");
    EXPECT_EQ(built.problems[0].lineNumber, 2u);
    EXPECT_LT(built.problems[0].message.size(), 256u);
    EXPECT_NE(built.problems[0].message.find("(" + std::to_string(huge.size()) + " bytes)"), std::string::npos);
    EXPECT_EQ(built.index.size(), 1u);
    EXPECT_EQ(built.index.entries(rawRandom(std::string(64, 'c')).span())->front().source, KeylogSource::frozenTrace(""));
}

TEST(TLSKeyIndexBuilder, AFileThatCannotBeReadIsOneProblem) {
    KeylogDirectory keylogs;
    test::TempDir dir;
    const auto good = dir.write("good.txt", Data::fromString("CLIENT_RANDOM " + kRandom12 + " 00\n"));
    const auto missing = dir.path / "missing.txt";
    const std::vector<std::filesystem::path> files = {missing, dir.path, good};
    // A store that does not exist yet is no problem.
    const auto built = TLSKeyIndexBuilder::build(files, "00000000000000000000000000000000", {});
    ASSERT_EQ(built.problems.size(), 2u);
    EXPECT_EQ(built.problems[0].origin, missing.string());
    EXPECT_FALSE(built.problems[0].lineNumber);
    EXPECT_EQ(built.problems[0].description().rfind(missing.string() + ": cannot read the key-log file", 0), 0u);
    EXPECT_EQ(built.problems[1].origin, dir.path.string());
    EXPECT_EQ(built.index.size(), 1u);
}

}  // namespace
}  // namespace qor
