// Sidebar nodes: their keyed form (exact bytes, key order, fresh ids, hostile documents), what
// is derived from their fields, their styled texts and their key-value announcements.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/support/KeyedCoding.hpp"
#include "QORModels/support/QORURLNode.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

std::shared_ptr<QORURLNode> fileNode(std::string title, std::filesystem::path path) {
    return std::make_shared<QORURLNode>(NodeType::file, std::move(title), "file-id", std::move(path));
}

/// A sidebar of two groups: captures with one file, and an empty live group.
std::shared_ptr<QORURLNode> sampleSidebar() {
    auto captures = std::make_shared<QORURLNode>(NodeType::folder, "Captures", "captures", std::nullopt,
                                                 QORURLNode::Children{fileNode("dns.pcap", "/data/dns trace #1.pcap")});
    auto live = std::make_shared<QORURLNode>(NodeType::liveRecording, "Live", "live", std::nullopt, QORURLNode::Children{});
    live->setNotLoaded(true);
    return std::make_shared<QORURLNode>(NodeType::root, "DATA SOURCES", "root", std::nullopt,
                                        QORURLNode::Children{captures, live});
}

TEST(SidebarNodeCoding, WritesTheKeysInOrderAndOnlyTheURLAndChildrenThatExist) {
    const std::string expected =
        R"({"type":0,"notLoaded":false,"title":"DATA SOURCES","identifier":"root","children":[)"
        R"({"type":1,"notLoaded":false,"title":"Captures","identifier":"captures","children":[)"
        R"({"type":2,"notLoaded":false,"title":"dns.pcap","identifier":"file-id","url":"file:///data/dns%20trace%20%231.pcap"}]},)"
        R"({"type":3,"notLoaded":true,"title":"Live","identifier":"live","children":[]}]})";
    EXPECT_EQ(encodeURLNode(*sampleSidebar()), expected);
}

TEST(SidebarNodeCoding, ReadingRestoresEveryKeptFieldAndGivesFreshIds) {
    auto original = sampleSidebar();
    original->setActive(true);
    original->setCaptureType(CaptureMethods::live);
    const auto read = decodeURLNode(encodeURLNode(*original));

    EXPECT_EQ(encodeURLNode(*read), encodeURLNode(*original));
    EXPECT_NE(read->id(), original->id());
    EXPECT_FALSE(read->active());  // neither is kept
    EXPECT_FALSE(read->captureType());
    const auto& captures = *read->children()->at(0);
    EXPECT_NE(captures.id(), original->children()->at(0)->id());
    const auto& file = *captures.children()->at(0);
    EXPECT_EQ(file.url(), std::optional<std::filesystem::path>("/data/dns trace #1.pcap"));
    EXPECT_FALSE(file.children());
    EXPECT_TRUE(read->children()->at(1)->notLoaded());
    EXPECT_EQ(read->children()->at(1)->type(), NodeType::liveRecording);
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
    std::string deep;
    for (int i = 0; i < 70; ++i) deep += R"({"type":1,"notLoaded":false,"title":"","identifier":"","children":[)";
    deep += R"({"type":2,"notLoaded":false,"title":"","identifier":""})";
    for (int i = 0; i < 70; ++i) deep += "]}";
    std::string wide = R"({"type":0,"notLoaded":false,"title":"","identifier":"","children":[)";
    for (std::size_t i = 0; i <= QORURLNode::kMaxDecodingNodes; ++i) {
        wide += (i ? "," : "");
        wide += R"({"type":2,"notLoaded":false,"title":"","identifier":""})";
    }
    wide += "]}";
    const struct {
        std::string text;
        Kind kind;
        std::string path;
    } cases[] = {
        {"", Kind::dataCorrupted, ""},
        {"[]", Kind::typeMismatch, ""},
        {R"({"notLoaded":false,"title":"t","identifier":"i"})", Kind::keyNotFound, ""},
        {R"({"type":9,"notLoaded":false,"title":"t","identifier":"i"})", Kind::dataCorrupted, "type"},
        {R"({"type":"2","notLoaded":false,"title":"t","identifier":"i"})", Kind::typeMismatch, "type"},
        {R"({"type":2,"notLoaded":null,"title":"t","identifier":"i"})", Kind::valueNotFound, "notLoaded"},
        {R"({"type":2,"notLoaded":false,"title":"t","identifier":"i","url":"https://x/y"})", Kind::dataCorrupted, "url"},
        {R"({"type":2,"notLoaded":false,"title":"t","identifier":"i","children":{}})", Kind::typeMismatch, "children"},
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

TEST(SidebarNodeDerived, LeafIconAndMethodFollowTheFields) {
    QORURLNode node(NodeType::file, "t", "i");
    EXPECT_FALSE(node.isLeaf());  // no children list at all
    node.setChildren(QORURLNode::Children{});
    EXPECT_TRUE(node.isLeaf());
    node.setChildren(QORURLNode::Children{fileNode("c", "/c")});
    EXPECT_FALSE(node.isLeaf());

    const struct {
        NodeType type;
        const char* icon;
    } icons[] = {{NodeType::liveRecording, "recordingtape"}, {NodeType::savedQuery, "QORDocumentSmall"}};
    for (const auto& c : icons) {
        node.setType(c.type);
        EXPECT_EQ(node.nodeIcon().name, c.icon);
        EXPECT_EQ(node.valueForKey("nodeIcon"), Value(c.icon));
    }

    EXPECT_FALSE(node.captureMethod());
    node.setCaptureType(CaptureMethods::live);
    EXPECT_EQ(node.captureMethod(), std::optional<std::string>(std::string(stringValue(CaptureMethods::live))));
}

TEST(SidebarNodeDerived, TheCaptureInterfaceIsTheChosenOneInTheDefaultsOrEmpty) {
    UserDefaults defaults;
    EXPECT_EQ(QORURLNode::captureInterface(defaults), "");
    defaults.set(std::string(kPrefCaptureInterfaceSelected), "en0");
    EXPECT_EQ(QORURLNode::captureInterface(defaults), "en0");
    defaults.set(std::string(kPrefCaptureInterfaceSelected), 7);  // not text: as if unset
    EXPECT_EQ(QORURLNode::captureInterface(defaults), "");
}

/// An appearance that gives only a list font.
struct ListFontOnly : QORAppearanceProviding {
    std::optional<NSFont> dataSourcesHeadFont() const override { return std::nullopt; }
    std::optional<NSFont> dataSourcesListFont() const override { return NSFont{"Avenir", 12}; }
};

TEST(SidebarNodeDerived, StyledTextsUseTheAppearanceFontsAndFallBackToTheSystemFont) {
    const auto previous = QORAppearance::current();
    QORAppearance::setCurrent(std::make_shared<ListFontOnly>());
    QORURLNode root(NodeType::root, "DATA SOURCES", "root");
    QORURLNode file(NodeType::file, "dns.pcap", "f");
    EXPECT_EQ(file.titleAttributed(), NSAttributedString("dns.pcap", {NSFont{"Avenir", 12}, NSColor::labelColor()}));
    EXPECT_EQ(root.titleAttributed().attributesAt(0)->font, (NSFont{"System-Bold", 11}));
    EXPECT_EQ(lastPathComponentAttributed("/data/dns.pcap"), NSAttributedString("dns.pcap", {NSFont{"Avenir", 12}, NSColor::labelColor()}));
    QORAppearance::setCurrent(nullptr);
    EXPECT_EQ(file.titleAttributed().attributesAt(0)->font, (NSFont{"System", 13}));
    QORAppearance::setCurrent(previous);

    const TextAttributes secondary{NSFont{"System", 11}, NSColor::secondaryLabelColor()};
    EXPECT_EQ(pathAttributed("/data/dns.pcap"), NSAttributedString("/data/dns.pcap", secondary));
    EXPECT_EQ(file.captureMethodAttributed().length(), 0u);
    file.setCaptureType(CaptureMethods::file);
    EXPECT_EQ(file.captureMethodAttributed(), NSAttributedString(std::string(stringValue(CaptureMethods::file)), secondary));
}

TEST(SidebarNodeObserving, SettersAnnounceTheirKeysAndTheValuesDerivedFromThem) {
    QORURLNode node(NodeType::folder, "Captures", "c");
    std::vector<std::string> heard;
    for (const char* key : {"title", "children", "isLeaf", "captureType", "captureMethod", "notLoaded", "url", "nodeIcon"}) {
        node.addObserver(key, [&heard](const NSObject&, const KeyValueChange& c) { heard.emplace_back(c.keyPath); });
    }
    Value newTitle;
    node.addObserver("title", [&](const NSObject&, const KeyValueChange& c) { newTitle = c.newValue; }, kKeyValueObservingOptionNew);

    node.setTitle("Captures");  // unchanged: silent
    node.setTitle("Files");
    node.setChildren(QORURLNode::Children{});
    node.setChildren(QORURLNode::Children{});  // an empty list again: no change
    node.setCaptureType(CaptureMethods::file);
    node.setNotLoaded(true);
    node.setURL(std::filesystem::path("/x"));
    node.setType(NodeType::liveRecording);

    EXPECT_EQ(heard, (std::vector<std::string>{"title", "children", "isLeaf", "captureType", "captureMethod", "notLoaded",
                                               "url", "nodeIcon"}));
    EXPECT_EQ(newTitle, Value("Files"));
}

}  // namespace
}  // namespace qor
