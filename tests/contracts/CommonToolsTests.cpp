// The common tools: byte reader, text helpers, key logs, fingerprints, name tables, the catcher.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <cstring>
#include <fstream>
#include <thread>

#include "QORCommonTools/ByteReader.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORDependencies/Records.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "qor_objc_exception/QOR_ObjC_Exception.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

TEST(ByteReader, NeverReadsPastTheEndAndDoesNotMoveOnFailure) {
    auto d = bytes({0x12, 0x34, 0x56, 0x78, 0x9A});
    ByteReader r(d);
    EXPECT_EQ(r.readU16be(), 0x1234);
    EXPECT_EQ(r.readU16le(), 0x7856);
    EXPECT_FALSE(r.readU16be());
    EXPECT_EQ(r.offset(), 4u);
    EXPECT_EQ(r.readU8(), 0x9A);
    EXPECT_FALSE(r.readU8());
    EXPECT_FALSE(r.skip(1));
    ByteReader again(d);
    EXPECT_EQ(again.readU24be(), 0x123456u);
    auto sub = again.readSlice(2);
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->readU16be(), 0x789A);
    EXPECT_FALSE(sub->readU8());  // the slice ends where its length said
    EXPECT_FALSE(ByteReader(d).readSlice(6));
    EXPECT_EQ(ByteReader(d).peekU32be(1), 0x3456789Au);
    EXPECT_EQ(ByteReader(d).load<std::uint32_t>(0, false), std::optional<std::uint32_t>(0x78563412));
    EXPECT_FALSE(ByteReader(d).load<std::uint32_t>(SIZE_MAX, false));
}

/// The regions of this process's address space inside `size` bytes at `address`, with the
/// resident kibibytes of each, from /proc/self/smaps.
std::vector<long> residentKiBByRegion(const void* address, std::size_t size) {
    const auto begin = reinterpret_cast<std::uintptr_t>(address), end = begin + size;
    std::ifstream smaps("/proc/self/smaps");
    std::vector<long> regions;
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        const auto dash = line.find('-');
        if (dash != std::string::npos && line.find(' ') > dash) {
            const auto from = std::stoull(line.substr(0, dash), nullptr, 16);
            const auto to = std::stoull(line.substr(dash + 1), nullptr, 16);
            inside = from < end && to > begin;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            regions.push_back(std::stol(line.substr(4)));
        }
    }
    return regions;
}

/// The resident kibibytes of the mapping of `size` bytes at `address`.
long residentKiB(const void* address, std::size_t size) {
    long sum = 0;
    for (long kib : residentKiBByRegion(address, size)) sum += kib;
    return sum;
}

TEST(PassedPagesRelease, LetsGoOfTheMappingBehindThePassInStepsOfTheLeastStretch) {
    const test::TempDir dir;
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const auto path = dir.write("eight-mib", Data(std::vector<std::byte>(8 * kMiB, std::byte{7})));
    const auto mapped = mapFile(path);
    ASSERT_TRUE(mapped);
    const std::byte* base = mapped->data();
    // Made before the pass, as a pass makes it: the mapping then maps small pages.
    PassedPagesRelease pages(mapped->span(), true, 4 * kMiB);
    long sum = 0;
    for (std::size_t i = 0; i < mapped->size(); i += 4096) sum += static_cast<long>(base[i]);
    EXPECT_EQ(sum, 7L * 2048);
    ASSERT_EQ(residentKiB(base, mapped->size()), 8192);
    pages.doneUpTo(base + 3 * kMiB);  // less than the step: kept
    EXPECT_EQ(residentKiB(base, mapped->size()), 8192);
    pages.doneUpTo(base + 5 * kMiB);  // the first five mebibytes go at once
    EXPECT_EQ(residentKiB(base, mapped->size()), 3072);
    pages.doneUpTo(base + 8 * kMiB);  // three more: under the step, kept
    EXPECT_EQ(residentKiB(base, mapped->size()), 3072);
    PassedPagesRelease everyPage(mapped->span(), true);
    everyPage.doneUpTo(base + 6 * kMiB + 100);  // whole pages only
    EXPECT_EQ(residentKiB(base, mapped->size()), 2048);
}

TEST(PassedPagesRelease, APassInSmallStretchesHoldsLittleMoreThanItsStepWhateverThePageCacheFolios) {
    const test::TempDir dir;
    constexpr std::size_t kMiB = std::size_t{1} << 20, kStep = 256 << 10;
    std::vector<std::byte> content(16 * kMiB);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::byte>(i * 2654435761u >> 24);
    const auto path = dir.write("sixteen-mib", Data(content));
    const auto mapped = mapFile(path);
    ASSERT_TRUE(mapped);
    const std::byte* base = mapped->data();

    using Faults = PassedPagesRelease::Faults;
    // A pass that lets go of 2 MiB or more at a time leaves the mapping whole.
    (void)PassedPagesRelease(mapped->span(), true, 2 * kMiB, Faults::smallStretches);
    EXPECT_EQ(residentKiBByRegion(base, mapped->size()).size(), 1u);

    PassedPagesRelease pages(mapped->span(), true, 0, Faults::smallStretches);
    EXPECT_GE(residentKiBByRegion(base, mapped->size()).size(), 16u);
    long mostResident = 0;
    bool same = true;
    for (std::size_t at = 0; at < mapped->size(); at += 4096) {
        same = same && std::memcmp(base + at, content.data() + at, 4096) == 0;
        if (at % kStep == kStep - 4096) {
            mostResident = std::max(mostResident, residentKiB(base, mapped->size()));
            pages.doneUpTo(base + at + 4096);
        }
    }
    EXPECT_TRUE(same);
    // The step, and at most one stretch beyond it: never a whole large folio of the page cache.
    EXPECT_LE(mostResident, 2 * static_cast<long>(kStep >> 10));
}

TEST(TextHelpers, NumbersRadixPaddingAndLines) {
    EXPECT_TRUE(isNumber("0123"));
    EXPECT_FALSE(isNumber(""));
    EXPECT_FALSE(isNumber("12a"));
    EXPECT_EQ(appendInterpolation(255, 16, "0x", 4), "0x00ff");
    EXPECT_EQ(appendInterpolation(255, 16, {}, 2, true), "FF");
    EXPECT_EQ(appendInterpolation("A", 2, true), " A");
    EXPECT_EQ(appendInterpolation("7", 3, false), "007");
    EXPECT_EQ(splitLines("a\r\nb\n\nc\rd").size(), 5u);
    EXPECT_EQ(QORAnalyzingUtilities::hexStringFromData(bytes({0xDE, 0xAD}), false), "dead");
    EXPECT_FALSE(QORAnalyzingUtilities::hostnameForIPString("not an address", 2));
}

TEST(Keylog, NewLinesSkipKnownCommentsBlanksAndRepeats) {
    auto lines = KeylogMigrator::newLines("CLIENT_RANDOM a b\n", "# c\nCLIENT_RANDOM a b\n\n CLIENT_RANDOM c d \nCLIENT_RANDOM c d\n");
    EXPECT_EQ(lines, std::vector<std::string>{"CLIENT_RANDOM c d"});
}

TEST(TraceFingerprint, FollowsContentNotLocation) {
    test::TempDir dir;
    auto a = dir.write("a.pcap", Data::fromString(std::string(5000, 'x')));
    auto b = dir.write("sub/b.pcap", Data::fromString(std::string(5000, 'x')));
    auto c = dir.write("c.pcap", Data::fromString(std::string(4999, 'x') + "y"));
    EXPECT_EQ(TraceFingerprint::fingerprint(a), TraceFingerprint::fingerprint(b));
    EXPECT_NE(TraceFingerprint::fingerprint(a), TraceFingerprint::fingerprint(c));
    // Sampled mode (threshold below the size) still tells the two apart: the change is in the
    // last block.
    EXPECT_NE(TraceFingerprint::fingerprint(a, 100, 64), TraceFingerprint::fingerprint(c, 100, 64));
    EXPECT_FALSE(TraceFingerprint::fingerprint(dir.path / "missing"));
}

TEST(ProtocolsStrings, LinkTypeNamesAreAnalyzerNames) {
    auto& cache = ProtocolsStringsCache::sharedCache();
    EXPECT_FALSE(cache.linkTypeStringForKey("1x"));
    EXPECT_FALSE(cache.linkTypeStringForKey("99999"));
    // Lookups are remembered per thread; a name added later must still be seen on every thread.
    EXPECT_FALSE(cache.linkTypeStringForKey("147"));
    EXPECT_FALSE(cache.etherTypeString(0x88B5));
    std::thread([&] { EXPECT_FALSE(cache.linkTypeStringForKey("147")); }).join();
    cache.addAnalyzerProtocol("MYLINK", 147);
    cache.addAnalyzerProtocolForEtherType("MYETHER", 0x88B5);
    EXPECT_EQ(cache.linkTypeStringForKey("147"), std::optional<std::string>("MYLINK"));
    EXPECT_EQ(cache.etherTypeString(0x88B5), std::optional<std::string>("MYETHER"));
    std::thread([&] { EXPECT_EQ(cache.linkTypeStringForKey("147"), std::optional<std::string>("MYLINK")); }).join();
}

TEST(Catcher, PlatformExceptionsBecomeErrors) {
    std::optional<NSError> error;
    EXPECT_TRUE(QOR_ObjC_Exception::tryExecute([] {}, error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(QOR_ObjC_Exception::tryExecute([] { throw NSException(NSInvalidArgumentException, "bad format"); }, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedFailureReason(), std::optional<std::string>("bad format"));
}

TEST(Records, NetworkProtocolJSONKeys) {
    QORNetworkProtocol p{"DNS", "53,5353", kQORSourceProtocols::udp};
    nlohmann::json j = p;
    EXPECT_EQ(j.at("protocolPorts"), "53,5353");
    EXPECT_EQ(j.at("sourceProtocol"), 2);
    EXPECT_EQ(j.get<QORNetworkProtocol>(), p);
    j["sourceProtocol"] = 9;
    EXPECT_THROW(j.get<QORNetworkProtocol>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace qor
