// Key-value observing on the root object: registration by key path, old and new values, removal
// (also from inside a callback), and key paths through the observed key.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORPlatform/NSObject.hpp"

namespace qor {
namespace {

/// An object with one observable property.
class Thermometer final : public NSObject {
public:
    [[nodiscard]] Value valueForKey(std::string_view key) const override {
        if (key == "reading") return Value(static_cast<std::int64_t>(reading_));
        return NSObject::valueForKey(key);
    }
    void setReading(int v) {
        changeValueForKeys({"reading"}, [&] { return reading_ != v; }, [&] { reading_ = v; });
    }

private:
    int reading_ = 0;
};

struct Seen {
    std::string keyPath;
    Value oldValue;
    Value newValue;
};

TEST(KeyValueObserving, ObserversOfTheKeyHearChangesWithTheValuesTheyAskedFor) {
    Thermometer t;
    std::vector<Seen> both, bare, other;
    t.addObserver("reading", [&](const NSObject&, const KeyValueChange& c) { both.push_back({std::string(c.keyPath), c.oldValue, c.newValue}); },
                  kKeyValueObservingOptionOld | kKeyValueObservingOptionNew);
    t.addObserver("reading.description", [&](const NSObject&, const KeyValueChange& c) { bare.push_back({std::string(c.keyPath), c.oldValue, c.newValue}); });
    t.addObserver("elsewhere", [&](const NSObject&, const KeyValueChange& c) { other.push_back({std::string(c.keyPath), {}, {}}); });

    t.setReading(21);
    t.setReading(21);  // no change: nobody is told
    t.setReading(23);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].oldValue.asInt(), 0);
    EXPECT_EQ(both[0].newValue.asInt(), 21);
    EXPECT_EQ(both[1].oldValue.asInt(), 21);
    EXPECT_EQ(both[1].newValue.asInt(), 23);
    ASSERT_EQ(bare.size(), 2u);  // a key path is told when its first key changes
    EXPECT_EQ(bare[0].keyPath, "reading.description");
    EXPECT_TRUE(bare[0].newValue.isNone());  // no values asked for
    EXPECT_TRUE(other.empty());
}

TEST(KeyValueObserving, RemovedObserversHearNothingEvenWhenRemovedDuringACallback) {
    Thermometer t;
    int first = 0, second = 0;
    KeyValueObservationToken secondToken;
    auto firstToken = t.addObserver("reading", [&](const NSObject&, const KeyValueChange&) {
        ++first;
        t.removeObserver(secondToken);  // the second one is next in line for this very change
    });
    secondToken = t.addObserver("reading", [&](const NSObject&, const KeyValueChange&) { ++second; });
    t.setReading(1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_TRUE(t.removeObserver(firstToken));
    EXPECT_FALSE(t.removeObserver(firstToken));
    t.setReading(2);
    EXPECT_EQ(first, 1);
    Thermometer stranger;
    auto foreign = stranger.addObserver("reading", [](const NSObject&, const KeyValueChange&) {});
    EXPECT_FALSE(t.removeObserver(foreign));  // tokens belong to one object
}

}  // namespace
}  // namespace qor
