// Font settings kept in step with the user defaults and announced by notification, and menu
// entries compared by identity.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORModels/support/QORAppearanceManager.hpp"
#include "QORModels/support/QORMenuItem.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/UserDefaults.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using FontGetter = std::optional<NSFont> (QORAppearanceManager::*)() const;

/// Each font: its key, the notification its change posts and how the manager hands it out.
struct FontRow {
    std::string_view key;
    QORProtocolKonstants notification;
    FontGetter font;
};
const FontRow kRows[] = {
    {com_orvaleth_tessarine_fontPacketTable, QORProtocolKonstants::kQORPacketTableRefresh, &QORAppearanceManager::packetTableFont},
    {com_orvaleth_tessarine_fontConsoleRaw, QORProtocolKonstants::kQORFontConsoleRaw, &QORAppearanceManager::consoleRawFont},
    {com_orvaleth_tessarine_fontProtocolDetails, QORProtocolKonstants::kQORFontProtocolDetails,
     &QORAppearanceManager::protocolDetailsFont},
    {com_orvaleth_tessarine_fontDataSourcesList, QORProtocolKonstants::kQORFontDataSourcesList,
     &QORAppearanceManager::dataSourcesListFont},
    {com_orvaleth_tessarine_fontDataSourcesHead, QORProtocolKonstants::kQORFontDataSourcesHead,
     &QORAppearanceManager::dataSourcesHeadFont},
    {com_orvaleth_tessarine_fontBaseProtocolStatistics, QORProtocolKonstants::kQORFontProtocolStatistics,
     &QORAppearanceManager::protocolStatisticsBaseFont},
};

/// Records every notification posted under the six font names.
struct Listener {
    explicit Listener(NotificationCenter& center) : center(center) {
        for (const auto& row : kRows) {
            tokens.push_back(center.addObserver(std::string(rawValue(row.notification)), nullptr, [this](const Notification& n) {
                names.push_back(n.name);
                EXPECT_FALSE(n.object);
                EXPECT_TRUE(n.userInfo.empty());
            }));
        }
    }
    ~Listener() {
        for (auto& t : tokens) center.removeObserver(t);
    }
    NotificationCenter& center;
    std::vector<ObserverToken> tokens;
    std::vector<std::string> names;
};

TEST(AppearanceFonts, AreStoredAsNameAndSizeAndAnythingElseReadsAsNoFont) {
    UserDefaults defaults;
    setFont(defaults, "k", NSFont{"Menlo", 11});
    EXPECT_EQ(defaults.objectForKey("k"), Value(Value::List{Value("Menlo"), Value(11.0)}));
    EXPECT_EQ(fontForKey(defaults, "k"), (NSFont{"Menlo", 11}));
    defaults.set("k", Value::List{Value("Menlo"), Value(12)});  // a whole number is a size too
    EXPECT_EQ(fontForKey(defaults, "k"), (NSFont{"Menlo", 12}));
    for (const Value& bad : {Value("Menlo 11"), Value(Value::List{Value("Menlo")}), Value(Value::List{Value(""), Value(11)}),
                             Value(Value::List{Value("Menlo"), Value(0)}), Value(Value::List{Value("Menlo"), Value(-3.0)}),
                             Value(Value::List{Value(11), Value("Menlo")}), Value(Value::List{Value("M"), Value(1), Value(2)})}) {
        defaults.set("k", bad);
        EXPECT_FALSE(fontForKey(defaults, "k")) << bad.description();
    }
    setFont(defaults, "k", std::nullopt);
    EXPECT_TRUE(defaults.objectForKey("k").isNone());
}

TEST(AppearanceManager, ReadsEachFontAtStartAndKeepsItInStepWithItsKey) {
    test::TempDir dir;
    UserDefaults defaults(dir.path / "defaults.json");
    setFont(defaults, com_orvaleth_tessarine_fontConsoleRaw, NSFont{"Menlo", 10});
    NotificationCenter center;
    Listener listener(center);
    QORAppearanceManager manager(defaults, center);

    EXPECT_EQ(manager.consoleRawFont(), (NSFont{"Menlo", 10}));
    EXPECT_FALSE(manager.packetTableFont());
    EXPECT_TRUE(listener.names.empty());  // reading at start announces nothing

    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const auto& row = kRows[i];
        const NSFont font{"Font" + std::to_string(i), 9.0 + static_cast<double>(i)};
        listener.names.clear();
        setFont(defaults, row.key, font);
        EXPECT_EQ((manager.*row.font)(), font) << row.key;
        EXPECT_EQ(listener.names, std::vector<std::string>{std::string(rawValue(row.notification))}) << row.key;
        // The fonts not set yet (all but the console's) are still none.
        for (std::size_t j = i + 1; j < std::size(kRows); ++j) {
            if (kRows[j].key != com_orvaleth_tessarine_fontConsoleRaw) {
                EXPECT_FALSE((manager.*kRows[j].font)()) << kRows[j].key;
            }
        }
    }
    listener.names.clear();
    setFont(defaults, com_orvaleth_tessarine_fontPacketTable, std::nullopt);
    EXPECT_FALSE(manager.packetTableFont());
    EXPECT_EQ(listener.names, std::vector<std::string>{std::string(rawValue(QORProtocolKonstants::kQORPacketTableRefresh))});
}

TEST(AppearanceManager, StopsListeningWhenItGoes) {
    UserDefaults defaults;
    NotificationCenter center;
    Listener listener(center);
    { QORAppearanceManager manager(defaults, center); }
    setFont(defaults, com_orvaleth_tessarine_fontDataSourcesHead, NSFont{"Avenir", 14});
    EXPECT_TRUE(listener.names.empty());
}

TEST(MenuItem, EntriesAreEqualAndHashedByIdentityAndAnnounceTheirChanges) {
    auto a = std::make_shared<QORMenuItem>("Ethernet", NSUserInterfaceItemIdentifier{"eth0"}, true);
    auto b = std::make_shared<QORMenuItem>("Ethernet", NSUserInterfaceItemIdentifier{"eth0"}, true);
    EXPECT_FALSE(*a == *b);
    EXPECT_EQ(std::hash<QORMenuItem>()(*a), a->hash());
    EXPECT_NE(a->hash(), b->hash());

    std::vector<Value> titles;
    a->addObserver("title", [&](const NSObject&, const KeyValueChange& c) { titles.push_back(c.newValue); }, kKeyValueObservingOptionNew);
    int itemChanges = 0;
    a->addObserver("items", [&](const NSObject&, const KeyValueChange&) { ++itemChanges; });
    a->setTitle("Ethernet");
    a->setTitle("Wi-Fi");
    a->setItems({b});
    a->setItems({b});
    EXPECT_EQ(titles, std::vector<Value>{Value("Wi-Fi")});
    EXPECT_EQ(itemChanges, 1);
    ASSERT_NE(a->valueForKey("items").asList(), nullptr);
    EXPECT_EQ(a->valueForKey("items").asList()->at(0).asObject().get(), b.get());
}

}  // namespace
}  // namespace qor
