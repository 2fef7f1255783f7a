// Sequential runs of a mapped file: the same bytes as the mapping, whatever the access order.

#include <gtest/gtest.h>

#include <random>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/SequentialReader.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

/// 10,000 bytes whose values depend on their offset, mapped from a file.
struct MappedSample {
    test::TempDir dir;
    Data mapped;
    MappedSample() {
        std::vector<std::byte> bytes(10000);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>((i * 7 + i / 256) & 0xFF);
        mapped = *mapFile(dir.write("sample.bin", Data(std::move(bytes))));
    }
};

bool sameBytes(std::span<const std::byte> run, const Data& data, std::size_t offset) {
    return std::equal(run.begin(), run.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
}

TEST(SequentialReader, WalkingInOrderGivesTheMappedBytesThroughTheWindowOrInPlace) {
    MappedSample sample;
    // A slice of a mapped file: its region (mappedFileRegion) starts 16 bytes into the file.
    SequentialReader reader(sample.mapped.slice(16), 1024);
    ASSERT_TRUE(reader.isWindowed());
    const Data expected = sample.mapped.slice(16);
    std::size_t offset = 0, windowed = 0;
    for (std::size_t length = 1; offset < expected.size(); length = length % 90 + 1) {
        length = std::min(length, expected.size() - offset);
        auto run = reader.view(offset, length);
        ASSERT_TRUE(run) << offset;
        ASSERT_TRUE(sameBytes(*run, expected, offset)) << offset;
        if (run->data() < expected.data() || run->data() >= expected.end()) ++windowed;
        offset += length;
    }
    EXPECT_GT(windowed, 200u);  // all but the runs that straddle a window end
    EXPECT_FALSE(reader.view(expected.size() - 3, 4));
    EXPECT_TRUE(reader.view(expected.size(), 0));
    // Buffers that are not mapped files are served in place.
    auto data = bytes({1, 2, 3, 4, 5});
    SequentialReader inPlace(data);
    EXPECT_FALSE(inPlace.isWindowed());
    EXPECT_EQ(inPlace.view(1, 3)->data(), data.data() + 1);
    EXPECT_TRUE(inPlace.bytes(1, 3)->sharesStorageWith(data));
    EXPECT_FALSE(inPlace.view(4, 2));
    // Without a window, a mapped file's runs come straight from the mapping.
    SequentialReader direct(sample.mapped, 0);
    EXPECT_FALSE(direct.isWindowed());
    EXPECT_EQ(direct.view(100, 50)->data(), sample.mapped.data() + 100);
    EXPECT_TRUE(direct.bytes(9990, 10)->sharesStorageWith(sample.mapped));
    EXPECT_FALSE(direct.view(9990, 11));
}

TEST(SequentialReader, RandomOrderAndHeldRunsStayCorrect) {
    MappedSample sample;
    SequentialReader reader(sample.mapped, 256);
    std::mt19937 random(7);
    auto held = *reader.bytes(0, 32);
    const Data heldCopy = Data::copy(held.span());
    for (int i = 0; i < 5000; ++i) {
        std::size_t offset = random() % 9990, length = random() % std::min<std::size_t>(400, 10000 - offset);
        auto run = reader.view(offset, length);
        ASSERT_TRUE(run && sameBytes(*run, sample.mapped, offset)) << offset << "+" << length;
    }
    EXPECT_EQ(held, heldCopy);  // the window was replaced, never overwritten under the holder
}

}  // namespace
}  // namespace qor
