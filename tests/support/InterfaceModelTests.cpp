// The interface models: sidebar nodes (keyed form, file URLs, styled texts, announcements), the
// font settings kept in step with the user defaults, and menu entries compared by identity.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/support/KeyedCoding.hpp"
#include "QORModels/support/QORAppearanceManager.hpp"
#include "QORModels/support/QORMenuItem.hpp"
#include "QORModels/support/QORURLNode.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

using Children = QORURLNode::Children;
template <class... A>
std::shared_ptr<QORURLNode> makeNode(A&&... a) { return std::make_shared<QORURLNode>(std::forward<A>(a)...); }

TEST(SidebarNodeCoding, WritesTheKeptKeysInOrderAndReadsThemBackWithFreshIds) {
    // Two groups: captures with one file, and an empty live group not loaded.
    auto live = makeNode(NodeType::liveRecording, "Live", "live", std::nullopt, Children{});
    live->setNotLoaded(true);
    auto original = makeNode(NodeType::root, "DATA SOURCES", "root", std::nullopt,
                             Children{makeNode(NodeType::folder, "Captures", "captures", std::nullopt,
                                               Children{makeNode(NodeType::file, "dns.pcap", "file-id", "/data/dns trace #1.pcap")}),
                                      live});
    original->setActive(true);
    original->setCaptureType(CaptureMethods::live);
    const std::string text = encodeURLNode(*original);
    EXPECT_EQ(text,
              R"({"type":0,"notLoaded":false,"title":"DATA SOURCES","identifier":"root","children":[)"
              R"({"type":1,"notLoaded":false,"title":"Captures","identifier":"captures","children":[)"
              R"({"type":2,"notLoaded":false,"title":"dns.pcap","identifier":"file-id","url":"file:///data/dns%20trace%20%231.pcap"}]},)"
              R"({"type":3,"notLoaded":true,"title":"Live","identifier":"live","children":[]}]})");

    const auto read = decodeURLNode(text);
    EXPECT_EQ(encodeURLNode(*read), text);  // the escaped path and the file's missing children read back too
    EXPECT_NE(read->id(), original->id());
    EXPECT_NE(read->children()->at(0)->id(), original->children()->at(0)->id());
    EXPECT_FALSE(read->active());  // neither is kept
    EXPECT_FALSE(read->captureType());
}

TEST(SidebarNodeCoding, FileURLTextsSurviveTheCharactersAPathMayHold) {
    for (const std::string path : {"/a/b.pcap", "/with space/%25/ü/q?x#y", "/semi;colon/=plus+/@at:"}) {
        const std::string text = fileURLString(path);
        EXPECT_EQ(text.rfind("file:///", 0), 0u) << text;
        EXPECT_EQ(pathFromFileURLString(text), std::optional<std::filesystem::path>(path)) << text;
    }
    EXPECT_EQ(fileURLString("/with space/ü"), "file:///with%20space/%C3%BC");
    EXPECT_EQ(pathFromFileURLString("FILE://localhost/tmp/x"), std::optional<std::filesystem::path>("/tmp/x"));
    for (const char* bad : {"http://host/x", "file://host/x", "file://", "file:///a%2", "file:///a%zz", "file:///a%00b", "/plain"}) {
        EXPECT_FALSE(pathFromFileURLString(bad)) << bad;
    }
}

TEST(SidebarNodeCoding, HostileOrMalformedDocumentsAreRefusedWithAReason) {
    using Kind = DecodingError::Kind;
    const std::string leaf = R"({"type":2,"notLoaded":false,"title":"","identifier":""})";
    std::string deep = leaf, wide = R"({"type":0,"notLoaded":false,"title":"","identifier":"","children":[)" + leaf;
    for (int i = 0; i < 70; ++i) deep = R"({"type":1,"notLoaded":false,"title":"","identifier":"","children":[)" + deep + "]}";
    for (std::size_t i = 0; i < QORURLNode::kMaxDecodingNodes; ++i) wide += "," + leaf;
    wide += "]}";
    const struct { std::string text; Kind kind; std::string path; } cases[] = {
        {"", Kind::dataCorrupted, ""},
        {"[]", Kind::typeMismatch, ""},
        {R"({"type":9,"notLoaded":false,"title":"t","identifier":"i"})", Kind::dataCorrupted, "type"},
        {R"({"type":2,"notLoaded":false,"title":"t","identifier":"i","url":"https://x/y"})", Kind::dataCorrupted, "url"},
        {R"({"type":0,"notLoaded":false,"title":"t","identifier":"i","children":[{"type":2}]})", Kind::keyNotFound, "children.0"},
        {deep, Kind::dataCorrupted, ""},
        {wide, Kind::dataCorrupted, "children." + std::to_string(QORURLNode::kMaxDecodingNodes - 1)},
    };
    for (const auto& c : cases) {
        try {
            decodeURLNode(c.text);
            ADD_FAILURE() << "accepted " << c.text.substr(0, 80);
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.text.substr(0, 80) << ": " << e.description();
            EXPECT_EQ(e.codingPath(), c.path) << c.text.substr(0, 80);
        }
    }
    // Unknown keys and a null optional are ignored.
    const auto lenient = decodeURLNode(R"({"extra":[1],"type":2,"notLoaded":true,"title":"t","identifier":"i","url":null})");
    EXPECT_FALSE(lenient->url());
    EXPECT_TRUE(lenient->notLoaded());
}

TEST(SidebarNodeDerived, StyledTextsUseTheAppearanceFontsAndFallBackToTheSystemFont) {
    UserDefaults defaults;
    NotificationCenter center;
    setFont(defaults, com_orvaleth_tessarine_fontDataSourcesList, NSFont{"Avenir", 12});  // and no head font
    const auto previous = QORAppearance::current();
    QORAppearance::setCurrent(std::make_shared<QORAppearanceManager>(defaults, center));
    QORURLNode root(NodeType::root, "DATA SOURCES", "root"), file(NodeType::file, "dns.pcap", "f");
    const NSAttributedString listed("dns.pcap", {NSFont{"Avenir", 12}, NSColor::labelColor()});
    EXPECT_EQ(file.titleAttributed(), listed);
    EXPECT_EQ(lastPathComponentAttributed("/data/dns.pcap"), listed);
    EXPECT_EQ(root.titleAttributed().attributesAt(0)->font, (NSFont{"System-Bold", 11}));
    QORAppearance::setCurrent(nullptr);
    EXPECT_EQ(file.titleAttributed().attributesAt(0)->font, (NSFont{"System", 13}));
    QORAppearance::setCurrent(previous);
}

TEST(SidebarNodeDerived, SettersAnnounceTheirKeysAndTheValuesDerivedFromThem) {
    QORURLNode node(NodeType::folder, "Captures", "c");
    std::vector<std::string> heard;
    for (const char* key : {"title", "children", "isLeaf", "captureType", "captureMethod", "notLoaded", "url", "nodeIcon"}) {
        node.addObserver(key, [&heard](const NSObject&, const KeyValueChange& c) { heard.emplace_back(c.keyPath); });
    }
    EXPECT_FALSE(node.isLeaf());  // no children list at all
    EXPECT_FALSE(node.captureMethod());

    node.setTitle("Captures");  // unchanged: silent
    node.setTitle("Files");
    node.setChildren(Children{});
    EXPECT_TRUE(node.isLeaf());
    node.setChildren(Children{});  // an empty list again: no change
    node.setCaptureType(CaptureMethods::file);
    node.setNotLoaded(true);
    node.setURL(std::filesystem::path("/x"));
    node.setType(NodeType::liveRecording);

    EXPECT_EQ(heard, (std::vector<std::string>{"title", "children", "isLeaf", "captureType", "captureMethod", "notLoaded",
                                               "url", "nodeIcon"}));
    EXPECT_EQ(node.valueForKey("captureType"), Value(stringValue(CaptureMethods::file)));
    node.setChildren(Children{makeNode(NodeType::file, "c", "i")});
    EXPECT_FALSE(node.isLeaf());
}

using K = QORProtocolKonstants;
using M = QORAppearanceManager;
/// Each font: its key, the notification its change posts and how the manager hands it out.
const struct { std::string_view key; K notification; std::optional<NSFont> (M::*font)() const; } kRows[] = {
    {com_orvaleth_tessarine_fontPacketTable, K::kQORPacketTableRefresh, &M::packetTableFont},
    {com_orvaleth_tessarine_fontConsoleRaw, K::kQORFontConsoleRaw, &M::consoleRawFont},
    {com_orvaleth_tessarine_fontProtocolDetails, K::kQORFontProtocolDetails, &M::protocolDetailsFont},
    {com_orvaleth_tessarine_fontDataSourcesList, K::kQORFontDataSourcesList, &M::dataSourcesListFont},
    {com_orvaleth_tessarine_fontDataSourcesHead, K::kQORFontDataSourcesHead, &M::dataSourcesHeadFont},
    {com_orvaleth_tessarine_fontBaseProtocolStatistics, K::kQORFontProtocolStatistics, &M::protocolStatisticsBaseFont},
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

TEST(AppearanceManager, ReadsEachFontAtStartKeepsItInStepWithItsKeyAndStopsListeningWhenItGoes) {
    UserDefaults defaults;
    setFont(defaults, com_orvaleth_tessarine_fontConsoleRaw, NSFont{"Menlo", 10});
    NotificationCenter center;
    std::vector<std::string> names;  // every notification posted under the six font names
    for (const auto& row : kRows) {
        center.addObserver(std::string(rawValue(row.notification)), nullptr, [&names](const Notification& n) {
            names.push_back(n.name);
            EXPECT_FALSE(n.object);
            EXPECT_TRUE(n.userInfo.empty());
        });
    }
    auto manager = std::make_unique<QORAppearanceManager>(defaults, center);

    EXPECT_EQ(manager->consoleRawFont(), (NSFont{"Menlo", 10}));
    EXPECT_FALSE(manager->packetTableFont());
    EXPECT_TRUE(names.empty());  // reading at start announces nothing

    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const auto& row = kRows[i];
        const NSFont font{"Font" + std::to_string(i), 9.0 + static_cast<double>(i)};
        names.clear();
        setFont(defaults, row.key, font);
        EXPECT_EQ((manager.get()->*row.font)(), font) << row.key;
        EXPECT_EQ(names, std::vector<std::string>{std::string(rawValue(row.notification))}) << row.key;
        for (std::size_t j = i + 1; j < std::size(kRows); ++j) {  // the fonts not set yet but the console's
            EXPECT_TRUE(j == 1 || !(manager.get()->*kRows[j].font)()) << kRows[j].key;
        }
    }
    names.clear();
    setFont(defaults, com_orvaleth_tessarine_fontPacketTable, std::nullopt);
    EXPECT_FALSE(manager->packetTableFont());
    EXPECT_EQ(names, std::vector<std::string>{std::string(rawValue(QORProtocolKonstants::kQORPacketTableRefresh))});

    manager.reset();
    names.clear();
    setFont(defaults, com_orvaleth_tessarine_fontDataSourcesHead, NSFont{"Avenir", 14});
    EXPECT_TRUE(names.empty());
}

TEST(MenuItem, EntriesAreEqualAndHashedByIdentityAndAnnounceTheirChanges) {
    auto a = std::make_shared<QORMenuItem>("Ethernet", NSUserInterfaceItemIdentifier{"eth0"}, true);
    auto b = std::make_shared<QORMenuItem>("Ethernet", NSUserInterfaceItemIdentifier{"eth0"}, true);
    EXPECT_FALSE(*a == *b);
    EXPECT_NE(std::hash<QORMenuItem>()(*a), std::hash<QORMenuItem>()(*b));

    int itemChanges = 0;
    a->addObserver("items", [&](const NSObject&, const KeyValueChange&) { ++itemChanges; });
    a->setItems({b});
    a->setItems({b});  // the same entries: no change
    EXPECT_EQ(itemChanges, 1);
    EXPECT_EQ(a->valueForKey("items"), Value(Value::List{Value(std::static_pointer_cast<NSObject>(b))}));
}

}  // namespace
}  // namespace qor
