// The platform stand-ins the rest of the tests do not reach: byte-buffer bounds, persisted
// defaults, a stream's wake-up after silence, identifiers made on several threads.

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "QORPlatform/AsyncStream.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/UUID.hpp"
#include "QORPlatform/UserDefaults.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

TEST(DataBuffer, SlicesShareStorageAndClampAtTheEnd) {
    auto d = Data::fromString("0123456789");
    auto s = d.slice(2, 3);
    EXPECT_EQ(s.toString(), "234");
    EXPECT_TRUE(s.sharesStorageWith(d));
    EXPECT_EQ(d.slice(8, 100).toString(), "89");
    EXPECT_TRUE(d.slice(10).empty());
    EXPECT_TRUE(d.slice(11, 1).empty());
    EXPECT_FALSE(d.checkedSlice(8, 3));
    EXPECT_FALSE(d.checkedSlice(SIZE_MAX, 2));  // no overflow into a valid range
    EXPECT_EQ(d.checkedSlice(7, 3)->toString(), "789");
    EXPECT_EQ(d.loadUnaligned<std::uint16_t>(8), std::optional<std::uint16_t>(0x3938));
    EXPECT_FALSE(d.loadUnaligned<std::uint32_t>(7));
    EXPECT_FALSE(d.byteAt(10));
    EXPECT_TRUE(Data::nothingSelected().empty());
}

TEST(UserDefaults, RemovedKeysStayRemovedAndABrokenFileReadsAsEmpty) {
    // Typed values and their file: UserDefaultsTests.
    test::TempDir dir;
    auto file = dir.path / "defaults.json";
    {
        UserDefaults d(file);
        d.set("gone", 5);
        d.removeObject("gone");
    }
    EXPECT_TRUE(UserDefaults(file).objectForKey("gone").isNone());
    UserDefaults broken(dir.write("bad.json", Data::fromString("{not json")));
    EXPECT_TRUE(broken.objectForKey("x").isNone());
}

TEST(AsyncStream, AnEventFollowedBySilenceStillArrives) {
    // Wakes for ordinary events are spaced out; a producer that yields and then waits for the
    // consumer must not wait forever.
    AsyncStream<int> s;
    auto c = s.continuation();
    std::promise<void> first, second;
    std::thread producer([c, &first, &second] {
        c.yield(1);
        first.get_future().wait();
        c.yield(2);
        second.get_future().wait();
        c.finish();
    });
    EXPECT_EQ(s.next(), 1);
    first.set_value();
    EXPECT_EQ(s.next(), 2);
    second.set_value();
    EXPECT_EQ(s.next(), std::nullopt);
    producer.join();
}

TEST(UUID, FreshOnesAreRandomVersionFourDistinctOnEveryThreadAndReadBack) {
    std::set<std::string> seen;
    auto make = [](std::size_t n) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < n; ++i) out.push_back(UUID().uuidString());
        return out;
    };
    auto other = std::async(std::launch::async, make, 1000);
    for (const auto& text : make(1000)) seen.insert(text);
    for (const auto& text : other.get()) seen.insert(text);
    EXPECT_EQ(seen.size(), 2000u);
    for (const auto& text : seen) {
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4') << text;                                  // version 4
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;  // RFC 4122 variant
        auto back = UUID::fromString(text);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->uuidString(), text);
    }
    EXPECT_FALSE(UUID::fromString("not-a-uuid"));
}

}  // namespace
}  // namespace qor
