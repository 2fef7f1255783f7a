// The display-filter model: the catalog of attributes, values, trees and their serialised form.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QORDependencies/Enumerations.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterCoding.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

using Kind = FilterAttribute::Kind;
using Template = FilterAttributeCatalog::RawTemplate;

FilterAttribute attribute(std::string id, std::string title) {
    FilterAttribute a;
    a.id = std::move(id);
    a.title = std::move(title);
    return a;
}

std::vector<std::string> idsOf(const FilterAttributeCatalog& catalog) {
    std::vector<std::string> ids;
    for (const auto& a : catalog.attributes()) ids.push_back(a.id);
    return ids;
}

Template columnTemplate(std::string displayName, std::string format, std::optional<std::string> valueType = std::nullopt) {
    Template t{{NSDisplayNameBindingOption, Value(std::move(displayName))}, {NSPredicateFormatBindingOption, Value(std::move(format))}};
    if (valueType) t[std::string(rawValue(QORProtocolKonstants::kQORValueType))] = Value(*valueType);
    return t;
}

TEST(FilterAttributeCatalog, LaterAttributeWithAnIdReplacesTheEarlierAtItsPosition) {
    const FilterAttributeCatalog catalog({attribute("a", "first"), attribute("b", "b"), attribute("a", "second"), attribute("c", "c")});
    EXPECT_EQ(idsOf(catalog), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(catalog["a"]->title, "second");
}

TEST(FilterAttributeCatalog, ResolvesFullIdsAndBareKeyPathsWithTheirComparison) {
    const auto catalog = FilterAttributeCatalog::builtin();
    ASSERT_TRUE(catalog.resolve("packetLengthReal", Comparison::lessThan));
    EXPECT_EQ(catalog.resolve("packetLengthReal", Comparison::lessThan)->id, "packetLengthReal.lessThan");
    EXPECT_FALSE(catalog.resolve("packetLengthReal", Comparison::contains));
    // A full id wins whatever the comparison.
    EXPECT_EQ(catalog.resolve("packetId.equalTo", Comparison::greaterThan)->id, "packetId.equalTo");
    EXPECT_FALSE(catalog.resolve("noSuchKey", Comparison::equalTo));
    // Protocols offer equality only; texts no ordering.
    EXPECT_FALSE(catalog["packetProtocol.contains"]);
    EXPECT_FALSE(catalog["packetInfoOverview.lessThan"]);
}

TEST(FilterAttributeCatalog, PluginTemplatesBecomeAttributesByTheirValueType) {
    const std::vector<Template> templates{
        columnTemplate("Info contains", "info CONTAINS[c] $value"),                   // no value type: text
        columnTemplate("Source Port is", "srcPort == $value", "UInt"),
        columnTemplate("Delay is", "delay == $value", "Float"),
        columnTemplate("Seen is", "seen == $value", "NSDate"),
        columnTemplate("Odd is", "odd == $value", "SomethingElse"),                    // unknown: text
        Template{{NSDisplayNameBindingOption, Value("No format")}},                  // skipped
        Template{{NSPredicateFormatBindingOption, Value("x == $value")}},            // skipped
        Template{{NSDisplayNameBindingOption, Value(7)}, {NSPredicateFormatBindingOption, Value("y == 1")}},  // not text
    };
    const auto catalog = FilterAttributeCatalog::withPlugins(templates, "com.example.plugin");
    ASSERT_EQ(catalog.attributes().size(), FilterAttributeCatalog::builtin().attributes().size() + 5u);
    struct Case {
        const char* id;
        Kind kind;
        std::size_t comparisons;
    };
    for (const Case& c : {Case{"Info contains", Kind::string, 5}, Case{"Source Port is", Kind::int_, 6},
                          Case{"Delay is", Kind::double_, 6}, Case{"Seen is", Kind::date, 6}, Case{"Odd is", Kind::string, 5}}) {
        const FilterAttribute* a = catalog[c.id];
        ASSERT_TRUE(a) << c.id;
        EXPECT_EQ(a->title, c.id);
        EXPECT_EQ(a->kind, c.kind) << c.id;
        EXPECT_EQ(a->allowedComparisons.size(), c.comparisons) << c.id;
        EXPECT_EQ(a->source, FilterAttribute::Source::plugin("com.example.plugin"));
        EXPECT_FALSE(a->keyPath);
    }
    EXPECT_EQ(catalog["Info contains"]->allowedComparisons.front(), Comparison::contains);
    EXPECT_EQ(catalog["Source Port is"]->predicateFormat, std::optional<std::string>("srcPort == $value"));
}

TEST(FilterEnumerations, ComparisonTitlesAreTranslated) {
    setLocalizedStringTable({{"comparison.displayName.equalTo", "ist"}, {"Packet ID", "Paket-ID"},
                             {"comparison.displayFragment.equalTo", "gleich"}});
    EXPECT_EQ(displayName(Comparison::equalTo), "ist");
    EXPECT_EQ(FilterAttributeCatalog::builtin()["packetId.equalTo"]->title, "Paket-ID gleich");
    setLocalizedStringTable({});
}

FilterNode sampleTree() {
    const UUID rowID = *UUID::fromString("6A0C1F40-2A52-4C3E-9C1B-3E3A1D0B9F11");
    return FilterNode::Group(
        LogicalOperator::or_,
        {FilterNode::Row("packetId", Comparison::equalTo, FilterValue::Int{42}, false, rowID),
         FilterNode::Row("packetInfoOverview.contains", Comparison::contains, FilterValue::String{"GET \"/\" \u00e9"}, true),
         FilterNode::Row("packetTime", Comparison::lessThan, FilterValue::Double{1.5}),
         FilterNode::Row("packetDateReceived", Comparison::greaterThan, FilterValue::Date{Date{1258133614.5}}),
         FilterNode::Group(LogicalOperator::not_, {FilterNode::Row("packetProtocol", Comparison::equalTo, FilterValue::ProtocolName{"DNS"})},
                           "No DNS")});
}

TEST(FilterCoding, TreesRoundTripWithEveryValueCase) {
    const FilterNode tree = sampleTree();
    const std::string text = encodeFilterNode(tree);
    const FilterNode back = decodeFilterNode(text);
    EXPECT_EQ(back, tree);
    EXPECT_EQ(back.hashValue(), tree.hashValue());
    EXPECT_EQ(encodeFilterNode(back), text);

    const auto json = nlohmann::json::parse(text);
    const auto& children = json["group"]["_0"]["children"];
    EXPECT_EQ(children[0]["row"]["_0"]["value"], nlohmann::json::parse(R"({"int": {"_0": 42}})"));
    EXPECT_FALSE(json["group"]["_0"].contains("savedQueryName"));
    EXPECT_EQ(children[4]["group"]["_0"]["savedQueryName"], "No DNS");
    // A change of any field is a different tree.
    FilterNode changed = tree;
    changed.getIf<FilterNode::Group>()->children[1].getIf<FilterNode::Row>()->caseInsensitive = false;
    EXPECT_NE(changed, tree);
}

TEST(FilterCoding, MalformedDocumentsFailWithTheirKindAndPath) {
    const std::string id = "6A0C1F40-2A52-4C3E-9C1B-3E3A1D0B9F11";
    const std::string row = R"({"id": ")" + id + R"(", "attributeID": "packetId", "comparison": "equalTo", "value": {"int": {"_0": 1}})";
    struct Case {
        std::string json;
        DecodingError::Kind kind;
        std::string description;
    };
    const std::vector<Case> cases{
        {R"({"row": {"_0": )" + row + "}}}", DecodingError::Kind::keyNotFound,
         "at row._0: No value associated with key \"caseInsensitive\"."},
        {R"({"row": {"_0": {}}, "group": {"_0": {}}})", DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"({"row": {"_0": )" + row + R"(, "caseInsensitive": true, "comparison": "between"}}})", DecodingError::Kind::dataCorrupted,
         "at row._0.comparison: Cannot initialize Comparison from invalid String value between"},
        {R"({"row": {"_0": )" + row + R"(, "caseInsensitive": 1}}})", DecodingError::Kind::typeMismatch,
         "at row._0.caseInsensitive: Expected to decode Bool but found a number instead."},
        {R"({"group": {"_0": {"id": "nope", "op": "and", "children": []}}})", DecodingError::Kind::dataCorrupted,
         "at group._0.id: Attempted to decode UUID from invalid UUID string."},
        {"[1, 2", DecodingError::Kind::dataCorrupted, ""},
    };
    for (const Case& c : cases) {
        try {
            (void)decodeFilterNode(c.json);
            ADD_FAILURE() << "decoded: " << c.json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.json;
            if (!c.description.empty()) {
                EXPECT_EQ(e.description(), c.description) << c.json;
            }
        }
    }
}

TEST(FilterCoding, DeepNestingIsRefusedBeforeTheStackRunsOut) {
    // Within the limit: a chain of groups reads back.
    FilterNode chain = FilterNode::Row("packetId", Comparison::equalTo, FilterValue::Int{1});
    for (std::size_t i = 1; i < kFilterMaxNodeDepth; ++i) chain = FilterNode::Group(LogicalOperator::not_, {chain});
    EXPECT_EQ(decodeFilterNode(encodeFilterNode(chain)), chain);
    FilterNode deeper = FilterNode::Group(LogicalOperator::not_, {chain});
    EXPECT_THROW((void)decodeFilterNode(encodeFilterNode(deeper)), DecodingError);
    // A hostile document nested far deeper fails while it is parsed.
    const std::string hostile = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THROW((void)decodeFilterNode(hostile), DecodingError);
}

}  // namespace
}  // namespace qor
