// Building the key index from key-log files, the trace's key store and a capture's Decryption
// Secrets Blocks; the lines and files that cannot be used.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "PlugInPackets.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/tls/TLSKeyIndexBuilder.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

const std::vector<KeylogEntry>* entriesOf(const TLSKeyIndex& index, std::string_view hex) { return index.entries(*bytesFromHex(hex)); }

/// `$QOR_KEYLOG_DIR` pointed at a fresh folder for the test's life.
struct KeylogDirectory {
    test::TempDir dir;
    KeylogDirectory() { setenv("QOR_KEYLOG_DIR", (dir.path / "keylogs").c_str(), 1); }
    ~KeylogDirectory() { unsetenv("QOR_KEYLOG_DIR"); }
};

TEST(TLSKeyIndexBuilder, TheTraceStoreAndTheEmbeddedSecretsAreOneSource) {
    KeylogDirectory keylogs;
    const auto capture = test::capturePath("illustrated-tls12-dsb.pcapng");
    const auto keylogFile = test::capturePath("illustrated-tls12-keylog.txt");
    const std::string random = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
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
    const auto* entries = entriesOf(built.index, random);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);  // the file's line, and the store's and the block's line once
    EXPECT_EQ((*entries)[0].source, KeylogSource::userFile(keylogFile.string()));
    EXPECT_EQ((*entries)[1].source, KeylogSource::frozenTrace(*fingerprint));
    EXPECT_EQ((*entries)[0].line, (*entries)[1].line);

    // Without the store file, the block alone gives the same trace entry.
    std::filesystem::remove(KeylogLocations::traceEntry(*fingerprint));
    const auto blockBuilt = TLSKeyIndexBuilder::build({}, fingerprint, secrets);
    const auto* blockOnly = entriesOf(blockBuilt.index, random);
    ASSERT_TRUE(blockOnly);
    EXPECT_EQ(*blockOnly, std::vector{(*entries)[1]});
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
    std::vector<std::string> expectedPrefixes;
    test::TempDir dir;
    const auto path = dir.path / "keys.txt";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(!TLSKeyIndexBuilder::lineProblem(cases[i].line), cases[i].wellFormed);
        text += cases[i].line + "\n";
        if (!cases[i].wellFormed) expectedPrefixes.push_back(path.string() + ":" + std::to_string(i + 1) + ": malformed key-log line");
    }
    text += good;  // again, without a final newline: the same line from one source is one entry

    const auto built = TLSKeyIndexBuilder::build(std::vector{dir.write("keys.txt", Data::fromString(text))}, std::nullopt, {});
    ASSERT_EQ(built.problems.size(), expectedPrefixes.size());
    for (std::size_t i = 0; i < expectedPrefixes.size(); ++i)
        EXPECT_TRUE(built.problems[i].description().starts_with(expectedPrefixes[i])) << built.problems[i].description();
    EXPECT_EQ(built.index.size(), 2u);  // the first two cases' randoms
    EXPECT_EQ(entriesOf(built.index, random)->size(), 1u);
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
    EXPECT_EQ(entriesOf(built.index, std::string(64, 'c'))->front().source, KeylogSource::frozenTrace(""));
}

}  // namespace
}  // namespace qor
