// User defaults: the file they live in, its JSON shape, and key-value observing of their keys.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "QORPlatform/SearchPaths.hpp"
#include "QORPlatform/UserDefaults.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

struct Heard {
    std::string keyPath;
    Value oldValue;
    Value newValue;
};

nlohmann::json readJson(const std::filesystem::path& file) {
    std::ifstream in(file);
    return nlohmann::json::parse(in);
}

TEST(UserDefaultsFile, MissingFoldersAreCreatedAndEveryValueKindIsWrittenAsReadableJson) {
    test::TempDir dir;
    const auto file = dir.path / "nested" / "app" / "defaults.json";
    UserDefaults d(file);
    d.set("flag", true);
    d.set("count", -3);
    d.set("ratio", 0.5);
    d.set("text", "eth0");
    d.set("bytes", Data::fromString("\x01\xff"));
    d.set("when", Date{86400});
    d.set("font", Value::List{Value("Menlo"), Value(11.0)});

    const auto doc = readJson(file);
    EXPECT_EQ(doc, nlohmann::json::parse(R"({
        "flag": true, "count": -3, "ratio": 0.5, "text": "eth0",
        "bytes": {"$data": "Af8="}, "when": {"$date": 86400.0}, "font": ["Menlo", 11.0]})"));
    // No temporary file is left beside it.
    std::size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u);

    UserDefaults again(file);
    EXPECT_EQ(again.objectForKey("when"), Value(Date{86400}));
    EXPECT_EQ(again.objectForKey("font"), d.objectForKey("font"));
    EXPECT_EQ(again.objectForKey("count").asInt(), -3);
}

TEST(UserDefaultsFile, AWriteThatFailsKeepsTheValueInMemory) {
    test::TempDir dir;
    const auto blocker = dir.write("file", Data::fromString("x"));
    UserDefaults d(blocker / "defaults.json");  // a folder that can never be made
    d.set("text", "kept");
    EXPECT_EQ(d.stringForKey("text"), std::optional<std::string>("kept"));
}

TEST(UserDefaultsObserving, ObserversOfAKeyHearEachRealChangeWithOldAndNewValues) {
    UserDefaults d;
    std::vector<Heard> heard, others;
    d.addObserver("interface", [&](const NSObject&, const KeyValueChange& c) {
        heard.push_back({std::string(c.keyPath), c.oldValue, c.newValue});
    }, kKeyValueObservingOptionOld | kKeyValueObservingOptionNew);
    d.addObserver("other", [&](const NSObject&, const KeyValueChange& c) { others.push_back({std::string(c.keyPath), {}, {}}); });

    d.set("interface", "eth0");
    d.set("interface", "eth0");  // the same value: nothing to announce
    d.set("interface", "wlan0");
    d.removeObject("interface");
    d.removeObject("interface");  // already gone
    d.set("unrelated", 1);

    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].keyPath, "interface");
    EXPECT_TRUE(heard[0].oldValue.isNone());
    EXPECT_EQ(heard[0].newValue, Value("eth0"));
    EXPECT_EQ(heard[1].oldValue, Value("eth0"));
    EXPECT_EQ(heard[1].newValue, Value("wlan0"));
    EXPECT_EQ(heard[2].oldValue, Value("wlan0"));
    EXPECT_TRUE(heard[2].newValue.isNone());
    EXPECT_TRUE(others.empty());
}

TEST(UserDefaultsObserving, AnObserverMayReadAndWriteTheDefaultsAndIsSilentOnceRemoved) {
    test::TempDir dir;
    UserDefaults d(dir.path / "defaults.json");
    int calls = 0;
    const auto token = d.addObserver("size", [&](const NSObject& object, const KeyValueChange&) {
        ++calls;
        EXPECT_EQ(&object, &d);
        // Reading and writing from inside the callback must not wait on the store's own lock.
        d.set("sizeCopy", d.objectForKey("size"));
    });
    d.set("size", 12);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(d.objectForKey("sizeCopy").asInt(), 12);
    EXPECT_EQ(UserDefaults(d.file()).objectForKey("sizeCopy").asInt(), 12);

    EXPECT_TRUE(d.removeObserver(token));
    d.set("size", 13);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(d.valueForKey("size").asInt(), 13);
}

}  // namespace
}  // namespace qor
