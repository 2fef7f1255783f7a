// The platform stand-ins: byte buffers, values and key paths, notifications, defaults, streams,
// identifiers.

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>

#include "QORPlatform/AsyncStream.hpp"
#include "QORPlatform/Base64.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/Task.hpp"
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

TEST(Base64, RoundTripsAndRejectsForeignCharacters) {
    for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
        auto encoded = base64Encode(Data::fromString(s).span());
        auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(Data(*decoded).toString(), s);
    }
    EXPECT_EQ(base64Encode(Data::fromString("foobar").span()), "Zm9vYmFy");
    EXPECT_FALSE(base64Decode("Zm9v*mFy"));
}

class Person final : public NSObject {
public:
    std::shared_ptr<Person> friend_;
    Value valueForKey(std::string_view key) const override {
        if (key == "name") return "Ada";
        if (key == "age") return 36;
        if (key == "friend") return std::static_pointer_cast<NSObject>(friend_);
        return NSObject::valueForKey(key);
    }
};

TEST(KeyValueAccess, PathsThroughObjectsAndNumberDescriptions) {
    auto a = std::make_shared<Person>();
    a->friend_ = std::make_shared<Person>();
    EXPECT_EQ(a->valueForKeyPath("friend.name").asString(), std::optional<std::string>("Ada"));
    EXPECT_EQ(a->valueForKeyPath("age.description").asString(), std::optional<std::string>("36"));
    EXPECT_TRUE(a->valueForKeyPath("unknown.name").isNone());
    EXPECT_TRUE(a->valueForKey("nothing").isNone());
    EXPECT_EQ(Value(3), Value(3.0));
    EXPECT_EQ(Value(std::uint32_t{7}).asInt(), 7);
    EXPECT_FALSE(Value(-1).asUInt());
}

TEST(NotificationCenter, DeliversByNameAndObjectAndStopsAfterRemoval) {
    NotificationCenter center;
    int any = 0, mine = 0;
    auto a = center.addObserver("n", nullptr, [&](const Notification&) { ++any; });
    auto obj = std::make_shared<Person>();
    auto b = center.addObserver("n", obj.get(), [&](const Notification&) { ++mine; });
    center.post("n");
    center.post("n", obj);
    center.post("other");
    EXPECT_EQ(any, 2);
    EXPECT_EQ(mine, 1);
    center.removeObserver(a);
    center.post("n", obj);
    EXPECT_EQ(any, 2);
    EXPECT_EQ(mine, 2);
    center.removeObserver(b);
    EXPECT_EQ(center.observerCount("n"), 0u);
}

TEST(UserDefaults, PersistsTypedValuesAcrossInstances) {
    test::TempDir dir;
    auto file = dir.path / "defaults.json";
    {
        UserDefaults d(file);
        d.set("flag", true);
        d.set("bytes", Data::fromString("\x01\x02"));
        d.set("text", "hello");
        d.set("gone", 5);
        d.removeObject("gone");
    }
    UserDefaults d(file);
    EXPECT_TRUE(d.boolForKey("flag"));
    EXPECT_EQ(d.dataForKey("bytes")->toString(), "\x01\x02");
    EXPECT_EQ(d.stringForKey("text"), std::optional<std::string>("hello"));
    EXPECT_TRUE(d.objectForKey("gone").isNone());
    EXPECT_FALSE(d.boolForKey("missing"));
    UserDefaults broken(dir.write("bad.json", Data::fromString("{not json")));
    EXPECT_TRUE(broken.objectForKey("x").isNone());
}

TEST(AsyncStream, DeliversInOrderThenEndsOrRethrows) {
    AsyncStream<int> s;
    auto c = s.continuation();
    StreamTermination seen{};
    bool called = false;
    c.onTermination([&](StreamTermination t) { seen = t, called = true; });
    std::thread producer([c] {
        for (int i = 0; i < 100; ++i) c.yield(i);
        c.finish();
    });
    int expected = 0;
    while (auto v = s.next()) EXPECT_EQ(*v, expected++);
    producer.join();
    EXPECT_EQ(expected, 100);
    EXPECT_TRUE(called);
    EXPECT_EQ(seen, StreamTermination::finished);

    AsyncStream<int> failing;
    failing.continuation().finish(std::make_exception_ptr(std::runtime_error("boom")));
    EXPECT_THROW(failing.next(), std::runtime_error);
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

TEST(Task, CancellationIsSeenInsideTheTask) {
    std::atomic<bool> sawCancel{false};
    std::atomic<bool> started{false};
    auto task = Task::detached([&] {
        started = true;
        while (!Task::isCancelled()) std::this_thread::yield();
        sawCancel = true;
    });
    while (!started) std::this_thread::yield();
    EXPECT_FALSE(Task::isCancelled());
    task.cancel();
    task.wait();
    EXPECT_TRUE(sawCancel);
    EXPECT_TRUE(task.cancelled());
}

TEST(MainQueue, RunsQueuedBlocksOnTheMainThread) {
    MainQueue::shared().bindCurrentThread();
    std::atomic<int> ran{0};
    std::thread other([&] {
        EXPECT_FALSE(MainQueue::shared().isMainThread());
        runOnMain([&] { ran = MainQueue::shared().isMainThread() ? 1 : -1; });
    });
    other.join();
    MainQueue::shared().drain();
    EXPECT_EQ(ran, 1);
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
