// Checking filter trees, and the editor's token field: writing, reading back, markers.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterNode.hpp"

namespace qor {
namespace {

using Group = FilterNode::Group;
using Row = FilterNode::Row;
using Tokens = std::vector<std::string>;
using Op = LogicalOperator;

constexpr double kMayDay = 1714557600.0;  // 2024-05-01T10:00:00Z
const std::string kIDEquals = "Packet ID equals";

const FilterAttributeCatalog& builtin() {
    static const FilterAttributeCatalog catalog = FilterAttributeCatalog::builtin();
    return catalog;
}
FilterNode row(std::string id, FilterValue value, Comparison comparison = Comparison::equalTo) {
    return Row(std::move(id), comparison, std::move(value));
}
FilterNode group(Op op, std::vector<FilterNode> children, std::optional<std::string> name = std::nullopt) {
    return Group(op, std::move(children), std::move(name));
}
const Group& asGroup(const FilterNode& node) { return std::get<Group>(node.value()); }
const Row& asRow(const FilterNode& node) { return std::get<Row>(node.value()); }
/// The tokens read back with the built-in catalog (copied out of the temporary node).
Group parse(const Tokens& tokens, const FilterNode::OpaqueResolver& resolve = {}) {
    return asGroup(FilterNode::fromDisplayTokens(tokens, builtin(), resolve));
}
double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(FilterValidation, ReportsFaultsInPreOrder) {
    const FilterNode emptyText = row("packetInfoOverview.contains", FilterValue::String{});
    const FilterNode emptyProtocol = row("packetProtocol.equalTo", FilterValue::ProtocolName{});
    const FilterNode blank = row("packetInfoOverview.contains", FilterValue::String{" "});
    const FilterNode zero = row("packetId.equalTo", FilterValue::Int{0});
    const FilterNode innerNot = group(Op::not_, {});
    const FilterNode outer = group(Op::not_, {group(Op::or_, {innerNot, blank}), emptyText, group(Op::not_, {zero}), emptyProtocol});
    std::vector<std::pair<UUID, FilterIssue::Kind>> got;
    for (const auto& issue : outer.validate()) got.emplace_back(issue.nodeID, issue.kind);
    const auto notOne = FilterIssue::Kind::notRequiresOneChild(), empty = FilterIssue::Kind::emptyValue();
    EXPECT_EQ(got, (std::vector<std::pair<UUID, FilterIssue::Kind>>{
                       {outer.id(), notOne}, {innerNot.id(), notOne}, {emptyText.id(), empty}, {emptyProtocol.id(), empty}}));
}

TEST(FilterDisplayTokens, NodeShapes) {
    const FilterNode a = row("packetId.equalTo", FilterValue::Int{1});
    const FilterNode nested = group(Op::or_, {a, a, a});
    const std::vector<std::pair<FilterNode, Tokens>> cases{
        {a, {kIDEquals, "1"}},
        {group(Op::or_, {a, row("packetProtocol.notEqualTo", FilterValue::ProtocolName{"TCP"})}),
         {kIDEquals, "1", "OR", "Protocol not equal", "TCP"}},
        // Ids are looked up exactly: a bare key path or an unknown id gives no tokens, but the
        // operator before it stays.
        {group(Op::and_, {row("packetId", FilterValue::Int{1}), row("packetTime.lessThan", FilterValue::Double{2.5}),
                          row("no.such", FilterValue::String{"x"})}),
         {"AND", "Time less than", "2.5", "AND"}},
        {group(Op::and_, {}), {}}, {group(Op::not_, {}), {}}, {group(Op::not_, {a, nested}), {"(NOT)"}},
        {group(Op::and_, {nested, a, group(Op::not_, {a})}), {"(3 conditions)", "AND", kIDEquals, "1", "AND", "(1 conditions)"}},
    };
    for (const auto& [node, tokens] : cases) EXPECT_EQ(node.toDisplayTokens(builtin()), tokens);
}

TEST(FilterDisplayTokens, ValueTexts) {
    const std::vector<std::pair<FilterValue, std::string>> cases{
        {FilterValue::ProtocolName{"HTTP"}, "HTTP"}, {FilterValue::Int{-9223372036854775807LL - 1}, "-9223372036854775808"},
        {FilterValue::Double{42.0}, "42.0"}, {FilterValue::Double{-2.5e-7}, "-2.5e-07"},
        {FilterValue::Double{1.0 / 3.0}, "0.3333333333333333"}, {FilterValue::Date{Date{kMayDay + 0.75}}, "2024-05-01T10:00:00Z"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(FilterNode::displayText(value), text);
    for (double d : {0.1, 6.02214076e23, 5e-324, 1.7976931348623157e308}) {
        const Group back = parse({"Time equals", FilterNode::displayText(FilterValue::Double{d})});
        EXPECT_EQ(asRow(back.children.at(0)).value, FilterValue(FilterValue::Double{d}));
    }
}

TEST(FilterOpaqueMarker, RecognisesOnlyWellFormedMarkers) {
    const UUID uuid;
    EXPECT_EQ(FilterNode::opaqueMarkerUUID(FilterNode::opaqueMarker(uuid)), uuid);
    EXPECT_EQ(FilterNode::opaqueMarkerUUID("__opaque:e621e1f8-c36c-495a-93fc-0c247a3e6e5f__"),
              UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    for (const char* text : {"__opaque:__", "__opaque:___", "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5G__",
                             "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5F_", "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5F__ ",
                             "__OPAQUE:E621E1F8-C36C-495A-93FC-0C247A3E6E5F__"})
        EXPECT_FALSE(FilterNode::opaqueMarkerUUID(text)) << text;
}

TEST(FilterDisplayTokenParsing, PlainRoundTripKeepsFlatRowsOfEveryKind) {
    const std::vector<FilterNode> rows{
        row("packetSourceString.beginsWith", FilterValue::String{"10.0."}, Comparison::beginsWith),
        row("packetProtocol.notEqualTo", FilterValue::ProtocolName{"DNS"}, Comparison::notEqualTo),
        row("packetLengthReal.greaterThanOrEqual", FilterValue::Int{-17}, Comparison::greaterThanOrEqual),
        row("packetTime.lessThan", FilterValue::Double{0.1}, Comparison::lessThan),
        row("packetDateReceived.equalTo", FilterValue::Date{Date{kMayDay}}),
        row("packetInfoOverview.contains", FilterValue::String{"AND"}, Comparison::contains),
    };
    for (Op op : {Op::and_, Op::or_}) {
        const Group back = parse(group(op, rows).toDisplayTokens(builtin()));
        EXPECT_EQ(back.op, op);
        EXPECT_FALSE(back.savedQueryName);
        ASSERT_EQ(back.children.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row &want = asRow(rows[i]), &got = asRow(back.children[i]);
            EXPECT_EQ(std::tie(got.attributeID, got.comparison, got.value), std::tie(want.attributeID, want.comparison, want.value));
            EXPECT_TRUE(got.caseInsensitive);
            EXPECT_NE(got.id(), want.id());
        }
    }
}

TEST(FilterDisplayTokenParsing, OpaqueRoundTripRestoresNestedGroupsThroughTheResolver) {
    const FilterNode a = row("packetId.equalTo", FilterValue::Int{7});
    const FilterNode saved = group(Op::or_, {a, group(Op::not_, {a})}, "Web"), nested = group(Op::and_, {a});
    const FilterNode original = group(Op::or_, {saved, a, nested});
    const std::map<UUID, FilterNode> replaced{{saved.id(), saved}, {nested.id(), nested}};
    const FilterNode::OpaqueResolver resolve = [&](const UUID& id) -> std::optional<FilterNode> {
        auto found = replaced.find(id);
        return found == replaced.end() ? std::nullopt : std::optional<FilterNode>(found->second);
    };
    const Group back = parse(original.toOpaqueDisplayTokens(builtin()), resolve);
    ASSERT_EQ(back.children.size(), 3u);
    EXPECT_EQ(back.children[0], saved);
    EXPECT_EQ(asRow(back.children[1]).value, FilterValue(FilterValue::Int{7}));
    EXPECT_EQ(back.children[2], nested);
    // The plain form loses them: each comes back as an empty `and` group with a new id.
    const Group plain = parse(original.toDisplayTokens(builtin()), resolve);
    ASSERT_EQ(plain.children.size(), 3u);
    EXPECT_EQ(asGroup(plain.children[0]), Group(Op::and_, {}, std::nullopt, plain.children[0].id()));
    EXPECT_NE(plain.children[0].id(), saved.id());
}

TEST(FilterDisplayTokenParsing, TokenSequences) {
    const std::string unknown = FilterNode::opaqueMarker(UUID());
    struct Case {
        Tokens tokens;
        Op op;
        std::string shape;  // one letter per child: "g" an empty `and` group, "r" a row
    };
    const std::vector<Case> cases{
        {{}, Op::and_, ""}, {{"", kIDEquals, "1", ""}, Op::and_, "r"},
        {{"(2 conditions)", "(NOT)", "()", kIDEquals, "5"}, Op::and_, "gggr"},
        {{unknown, "(3 conditions)", kIDEquals, "5"}, Op::and_, "gr"},  // a marker consumes its label
        {{kIDEquals, "1", "oR", kIDEquals, "2"}, Op::or_, "rr"}, {{"not", "||", kIDEquals, "1", "&&", "!"}, Op::not_, "r"},
        {{"OR", kIDEquals, "1", "NOT", "and"}, Op::and_, "r"},  // the last word wins
        // Unknown titles (a malformed marker too) are skipped with the token after them.
        {{"packet id equals", kIDEquals, "__opaque:nope__", "OR", kIDEquals, "3"}, Op::and_, "r"},
        // A lone title at the end is dropped.
        {{kIDEquals, "1", "OR", kIDEquals}, Op::or_, "r"},
    };
    for (const Case& c : cases) {
        const Group result = parse(c.tokens);
        std::string shape;
        for (const FilterNode& child : result.children) {
            const auto* g = child.getIf<Group>();
            shape += g ? (g->op == Op::and_ && g->children.empty() && !g->savedQueryName ? "g" : "?") : "r";
        }
        EXPECT_EQ(result.op, c.op) << testing::PrintToString(c.tokens);
        EXPECT_EQ(shape, c.shape) << testing::PrintToString(c.tokens);
    }
}

TEST(FilterDisplayTokenParsing, ValuesAreReadByTheAttributesKind) {
    const std::vector<std::tuple<std::string, std::string, FilterValue>> cases{
        {kIDEquals, "42", FilterValue::Int{42}}, {kIDEquals, "+7", FilterValue::Int{7}},
        {kIDEquals, "9223372036854775808", FilterValue::Int{0}}, {kIDEquals, " 7", FilterValue::Int{0}},
        {kIDEquals, "+-7", FilterValue::Int{0}}, {kIDEquals, "3.5", FilterValue::Int{0}},
        {"Time equals", "+4", FilterValue::Double{4}}, {"Time equals", "1.5s", FilterValue::Double{0}},
        {"Source Address contains", " 10.0 ", FilterValue::String{" 10.0 "}}, {"Protocol equals", "TCP", FilterValue::ProtocolName{"TCP"}},
        {"Date Received equals", "2024-05-01T12:30:00+02:30", FilterValue::Date{Date{kMayDay}}}};
    for (const auto& [title, text, value] : cases) {
        const Group result = parse({title, text});
        ASSERT_EQ(result.children.size(), 1u) << title;
        EXPECT_EQ(asRow(result.children[0]).value, value) << title << " '" << text << "'";
        EXPECT_TRUE(asRow(result.children[0]).caseInsensitive);
    }
    for (const char* text : {"yesterday", "2024-05-01 10:00:00Z", "1714557600"}) {
        const double before = secondsNow();
        const Group result = parse({"Date Received equals", text});
        const auto* date = asRow(result.children.at(0)).value.getIf<FilterValue::Date>();
        ASSERT_NE(date, nullptr);
        EXPECT_TRUE(date->value.secondsSince1970 >= before && date->value.secondsSince1970 <= secondsNow()) << text;
    }
}

TEST(FilterDisplayTokenParsing, FirstAttributeWithTheTitleGivesIdAndComparison) {
    const auto attribute = [](std::string id, std::string title, std::vector<Comparison> comparisons) {
        FilterAttribute a;
        a.id = std::move(id);
        a.title = std::move(title);
        a.allowedComparisons = std::move(comparisons);
        return a;
    };
    const FilterAttributeCatalog catalog({attribute("first", "Host", {Comparison::endsWith, Comparison::contains}),
                                          attribute("second", "Host", {Comparison::lessThan}), attribute("bare", "Port", {})});
    const Group result = asGroup(FilterNode::fromDisplayTokens({"Host", "example", "Port", "80"}, catalog, {}));
    ASSERT_EQ(result.children.size(), 2u);
    EXPECT_EQ(asRow(result.children[0]).attributeID, "first");
    EXPECT_EQ(asRow(result.children[0]).comparison, Comparison::endsWith);
    EXPECT_EQ(asRow(result.children[1]).comparison, Comparison::equalTo);
}

}  // namespace
}  // namespace qor
