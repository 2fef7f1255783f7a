// The data cache: exact-range keys, limits, replacement.

#include <gtest/gtest.h>

#include "QORModels/packets/QORDataCache.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

TEST(DataCache, LooksUpExactRangesAndKeepsTheLastBytesStored) {
    QORDataCache cache;
    auto bytes = Data::fromString("0123456789");
    cache.set(bytes, {40, 100});
    EXPECT_EQ(cache.object({40, 100}), bytes);
    EXPECT_FALSE(cache.object({40, 99}));
    EXPECT_FALSE(cache.object({41, 100}));
    cache.set(Data::fromString("b"), {40, 100});  // storing twice keeps the second bytes
    EXPECT_EQ(cache.fileCache()->entryCount(), 1u);
    EXPECT_EQ(cache.object({40, 100})->toString(), "b");
    cache.fileCache()->setBytes(std::nullopt, {3, 4});  // encoding gave nothing: nothing stored
    EXPECT_FALSE(cache.fileCache()->has({3, 4}));
    cache.clearCache();
    EXPECT_FALSE(cache.object({40, 100}));
}

TEST(DataCache, LiveCaptureCacheNeverEvicts) {
    test::TempDir dir;
    auto file = dir.write("small.pcap", Data::fromString("12"));  // 2 bytes: limit 2 when not live
    QORDataCache live(file, true), fromFile(file, false);
    for (std::uint32_t i = 0; i < 5; ++i) {
        live.set(Data::fromString("x"), {i, i + 1});
        fromFile.set(Data::fromString("x"), {i, i + 1});
    }
    EXPECT_EQ(live.fileCache()->entryCount(), 5u);
    EXPECT_EQ(fromFile.fileCache()->entryCount(), 2u);
}

/// Bytes that name their key, so that a lookup answered from the wrong slot shows.
Data bytesFor(std::uint32_t key) { return Data::fromString("k" + std::to_string(key)); }

TEST(DataCache, KeysOutOfOrderResolveThroughGrowthAndErasure) {
    // Keys that do not arrive in increasing order go to the hash table: descending keys after a
    // high first key land there, grow it through several rehashes, and the count limit then
    // erases table entries one by one (backward-shift deletion once the sorted run is gone).
    MemoryCache cache;
    constexpr std::uint32_t kKeys = 3000;
    cache.setBytes(bytesFor(1'000'000), {1'000'000, 1'000'001});
    std::vector<std::uint32_t> keys;
    for (std::uint32_t i = kKeys; i > 0; --i) keys.push_back(i * 7);  // descending: all out of order
    for (std::uint32_t k : keys) cache.setBytes(bytesFor(k), {k, k + 3});
    ASSERT_EQ(cache.entryCount(), kKeys + 1);
    for (std::uint32_t k : keys) {
        auto got = cache.getBytes({k, k + 3});
        ASSERT_TRUE(got) << k;
        EXPECT_EQ(*got, bytesFor(k));
    }
    // Replacing out-of-order keys keeps one entry each.
    for (std::uint32_t k : {keys[5], keys[500]}) cache.setBytes(Data::fromString("new"), {k, k + 3});
    EXPECT_EQ(cache.entryCount(), kKeys + 1);

    // Each store over the limit erases one entry. Storing again under keys the table holds adds
    // nothing, so the erasures come from the sorted run (its one entry) and then from the table,
    // whose probe chains must survive every backward shift.
    auto findable = [&] {
        std::size_t n = 0;
        for (std::uint32_t k : keys) n += cache.has({k, k + 3});
        return n;
    };
    cache.setCountLimit(1000);
    std::size_t stores = 0;
    for (std::uint32_t round = 0; round < 2; ++round) {
        for (std::uint32_t k : keys) {
            if (!cache.has({k, k + 3})) continue;
            cache.setBytes(bytesFor(k), {k, k + 3});
            if (++stores % 16 == 0) {
                ASSERT_EQ(findable(), cache.entryCount()) << "after " << stores << " stores";
            }
        }
    }
    EXPECT_FALSE(cache.has({1'000'000, 1'000'001}));  // the sorted run's entry went first
    EXPECT_EQ(cache.entryCount(), 1000u);
    std::size_t resolved = 0;
    for (std::uint32_t k : keys) {
        auto got = cache.getBytes({k, k + 3});
        if (!got) continue;
        ++resolved;
        EXPECT_EQ(*got, bytesFor(k)) << k;
    }
    EXPECT_EQ(resolved, 1000u);  // every entry left is still found
}

}  // namespace
}  // namespace qor
