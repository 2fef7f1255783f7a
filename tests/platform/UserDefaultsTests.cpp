// User defaults: the file they live in, its JSON shape, and key-value observing of their keys.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "QORPlatform/UserDefaults.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {
namespace fs = std::filesystem;

TEST(UserDefaultsFile, MissingFoldersAreCreatedEveryValueKindIsWrittenAsJsonAndAFailedWriteKeepsTheValue) {
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

    EXPECT_EQ(nlohmann::json::parse(std::ifstream(file)), nlohmann::json::parse(R"({
        "flag": true, "count": -3, "ratio": 0.5, "text": "eth0",
        "bytes": {"$data": "Af8="}, "when": {"$date": 86400.0}, "font": ["Menlo", 11.0]})"));
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);

    UserDefaults again(file);
    EXPECT_EQ(again.objectForKey("when"), Value(Date{86400}));
    EXPECT_EQ(again.objectForKey("font"), d.objectForKey("font"));
    EXPECT_EQ(again.objectForKey("count").asInt(), -3);

    UserDefaults blocked(file / "defaults.json");  // under a file: a folder that can never be made
    blocked.set("text", "kept");
    EXPECT_EQ(blocked.stringForKey("text"), std::optional<std::string>("kept"));
}

TEST(UserDefaultsObserving, ObserversHearEachRealChangeAndMayUseTheDefaultsFromTheirCallback) {
    using Change = std::tuple<std::string, Value, Value>;
    test::TempDir dir;
    UserDefaults d(dir.path / "defaults.json");
    std::vector<Change> heard;
    int others = 0;
    const auto token = d.addObserver("interface", [&](const NSObject& object, const KeyValueChange& c) {
        heard.emplace_back(c.keyPath, c.oldValue, c.newValue);
        EXPECT_EQ(&object, &d);
        // Reading and writing from inside the callback must not wait on the store's own lock.
        d.set("copy", d.objectForKey("interface"));
    }, kKeyValueObservingOptionOld | kKeyValueObservingOptionNew);
    d.addObserver("other", [&](const NSObject&, const KeyValueChange&) { ++others; });

    d.set("interface", "eth0");
    EXPECT_EQ(UserDefaults(d.file()).objectForKey("copy"), Value("eth0"));
    d.set("interface", "eth0");  // the same value: nothing to announce
    d.set("interface", "wlan0");
    d.removeObject("interface");
    d.removeObject("interface");  // already gone
    d.set("unrelated", 1);
    EXPECT_EQ(heard, (std::vector<Change>{{"interface", Value(), Value("eth0")},
                                          {"interface", Value("eth0"), Value("wlan0")},
                                          {"interface", Value("wlan0"), Value()}}));
    EXPECT_EQ(others, 0);

    EXPECT_TRUE(d.removeObserver(token));
    d.set("interface", "eth1");
    EXPECT_EQ(heard.size(), 3u);
    EXPECT_EQ(d.valueForKey("interface"), Value("eth1"));
}

}  // namespace
}  // namespace qor
