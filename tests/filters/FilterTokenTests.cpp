// Checking filter trees, and the editor's token field: writing, reading back, markers, logging.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "QORLog/QORLog.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORPlatform/ISO8601DateFormatter.hpp"

namespace qor {
namespace {

using Group = FilterNode::Group;
using Row = FilterNode::Row;
using Tokens = std::vector<std::string>;

/// 2024-05-01T10:00:00Z.
constexpr double kMayDay = 1714557600.0;

const FilterAttributeCatalog& builtin() {
    static const FilterAttributeCatalog catalog = FilterAttributeCatalog::builtin();
    return catalog;
}

FilterNode row(std::string attributeID, FilterValue value, Comparison comparison = Comparison::equalTo) {
    return Row(std::move(attributeID), comparison, std::move(value));
}

FilterNode group(LogicalOperator op, std::vector<FilterNode> children, std::optional<std::string> savedQueryName = std::nullopt) {
    return Group(op, std::move(children), std::move(savedQueryName));
}

const Group& asGroup(const FilterNode& node) { return std::get<Group>(node.value()); }
const Row& asRow(const FilterNode& node) { return std::get<Row>(node.value()); }

const FilterNode::OpaqueResolver kResolveNothing = [](const UUID&) { return std::optional<FilterNode>(); };

double secondsNow() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

/// Collects the log lines written while it lives.
struct LogCapture {
    LogCapture() {
        setLogSink([this](const LogLine& line) { lines.push_back(line); });
    }
    ~LogCapture() { setLogSink({}); }
    std::vector<LogLine> lines;
};

// MARK: Issues

TEST(FilterIssue, FreshIdsMakeEqualFaultsDistinctAndHashingFollowsEquality) {
    const UUID node;
    const FilterIssue a(node, FilterIssue::Kind::emptyValue());
    const FilterIssue b(node, FilterIssue::Kind::emptyValue());
    EXPECT_NE(a.id(), b.id());
    EXPECT_NE(a, b);
    const FilterIssue copy = a;
    EXPECT_EQ(copy, a);
    EXPECT_EQ(std::hash<FilterIssue>{}(copy), std::hash<FilterIssue>{}(a));
    std::unordered_set<FilterIssue> set{a, b, copy};
    EXPECT_EQ(set.size(), 2u);

    using Kind = FilterIssue::Kind;
    EXPECT_EQ(Kind::unknownAttribute("packetId"), Kind::unknownAttribute("packetId"));
    EXPECT_NE(Kind::unknownAttribute("packetId"), Kind::unknownAttribute("packetTime"));
    EXPECT_NE(Kind::emptyValue(), Kind::notRequiresOneChild());
    EXPECT_NE(std::hash<Kind>{}(Kind::unknownAttribute("a")), std::hash<Kind>{}(Kind::unknownAttribute("b")));
    ASSERT_NE(Kind::unknownAttribute("x").getIf<Kind::UnknownAttribute>(), nullptr);
    EXPECT_EQ(Kind::unknownAttribute("x").getIf<Kind::UnknownAttribute>()->attributeID, "x");
}

TEST(FilterValidation, NotGroupWithoutChildrenIsOneIssue) {
    const FilterNode empty = group(LogicalOperator::not_, {});
    const auto issues = empty.validate();
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].nodeID, empty.id());
    EXPECT_EQ(issues[0].kind, FilterIssue::Kind::notRequiresOneChild());
}

TEST(FilterValidation, EmptyTextRowsAreReportedInRowOrder) {
    const FilterNode first = row("packetInfoOverview.contains", FilterValue::String{""});
    const FilterNode second = row("packetProtocol.equalTo", FilterValue::ProtocolName{""});
    const auto issues = group(LogicalOperator::and_, {first, second}).validate();
    ASSERT_EQ(issues.size(), 2u);
    EXPECT_EQ(issues[0].nodeID, first.id());
    EXPECT_EQ(issues[1].nodeID, second.id());
    EXPECT_EQ(issues[0].kind, FilterIssue::Kind::emptyValue());
    EXPECT_EQ(issues[1].kind, FilterIssue::Kind::emptyValue());
}

TEST(FilterValidation, WalksInPreOrderAndFlagsOnlyRealFaults) {
    const FilterNode blank = row("packetInfoOverview.contains", FilterValue::String{" "});
    const FilterNode zero = row("packetId.equalTo", FilterValue::Int{0});
    const FilterNode emptyRow = row("packetSourceString.contains", FilterValue::String{});
    const FilterNode innerNot = group(LogicalOperator::not_, {});
    const FilterNode wellFormedNot = group(LogicalOperator::not_, {zero});
    const FilterNode middle = group(LogicalOperator::or_, {innerNot, blank});
    const FilterNode outer = group(LogicalOperator::not_, {middle, emptyRow, wellFormedNot});

    const auto issues = outer.validate();
    std::vector<std::pair<UUID, FilterIssue::Kind>> got;
    for (const auto& issue : issues) got.emplace_back(issue.nodeID, issue.kind);
    const std::vector<std::pair<UUID, FilterIssue::Kind>> want{
        {outer.id(), FilterIssue::Kind::notRequiresOneChild()},
        {innerNot.id(), FilterIssue::Kind::notRequiresOneChild()},
        {emptyRow.id(), FilterIssue::Kind::emptyValue()},
    };
    EXPECT_EQ(got, want);
    EXPECT_TRUE(wellFormedNot.validate().empty());
}

// MARK: Writing tokens

TEST(FilterDisplayTokens, OrGroupOfRowsJoinsThemWithTheOperator) {
    const FilterNode filter = group(LogicalOperator::or_, {row("packetId.equalTo", FilterValue::Int{42}),
                                                           row("packetProtocol.notEqualTo", FilterValue::ProtocolName{"TCP"})});
    EXPECT_EQ(filter.toDisplayTokens(builtin()), (Tokens{"Packet ID equals", "42", "OR", "Protocol not equal", "TCP"}));
    EXPECT_EQ(filter.toOpaqueDisplayTokens(builtin()), filter.toDisplayTokens(builtin()));
}

TEST(FilterDisplayTokens, RowsOutsideTheCatalogGiveNoTokensButKeepTheirOperator) {
    // A bare key path resolves for evaluation, but tokens look ids up exactly.
    const FilterNode filter = group(LogicalOperator::and_, {row("packetId", FilterValue::Int{1}),
                                                            row("packetTime.lessThan", FilterValue::Double{2.5}),
                                                            row("no.such", FilterValue::String{"x"})});
    EXPECT_EQ(filter.toDisplayTokens(builtin()), (Tokens{"AND", "Time less than", "2.5", "AND"}));
    EXPECT_EQ(row("packetId", FilterValue::Int{1}).toDisplayTokens(builtin()), Tokens{});
}

TEST(FilterDisplayTokens, NodeShapes) {
    const FilterNode a = row("packetId.equalTo", FilterValue::Int{1});
    const FilterNode nested = group(LogicalOperator::or_, {a, a, a});
    struct Case {
        const char* name;
        FilterNode node;
        Tokens plain;
    };
    const std::vector<Case> cases{
        {"lone row", a, {"Packet ID equals", "1"}},
        {"empty and", group(LogicalOperator::and_, {}), {}},
        {"empty not", group(LogicalOperator::not_, {}), {}},
        {"not with children", group(LogicalOperator::not_, {a, nested}), {"(NOT)"}},
        {"nested group", group(LogicalOperator::and_, {nested, a}), {"(3 conditions)", "AND", "Packet ID equals", "1"}},
        {"nested not counts its children", group(LogicalOperator::or_, {group(LogicalOperator::not_, {a})}), {"(1 conditions)"}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.node.toDisplayTokens(builtin()), c.plain) << c.name;
}

TEST(FilterDisplayTokens, ValueTexts) {
    struct Case {
        FilterValue value;
        const char* text;
    };
    const std::vector<Case> cases{
        {FilterValue::String{"10.0.0.1"}, "10.0.0.1"},
        {FilterValue::ProtocolName{"HTTP"}, "HTTP"},
        {FilterValue::Int{-9223372036854775807LL - 1}, "-9223372036854775808"},
        {FilterValue::Double{0.1}, "0.1"},
        {FilterValue::Double{42.0}, "42"},
        {FilterValue::Double{1e20}, "1e+20"},
        {FilterValue::Double{-2.5e-7}, "-2.5e-07"},
        {FilterValue::Double{1.0 / 3.0}, "0.3333333333333333"},
        {FilterValue::Date{Date{kMayDay}}, "2024-05-01T10:00:00Z"},
        {FilterValue::Date{Date{kMayDay + 0.75}}, "2024-05-01T10:00:00Z"},
    };
    for (const Case& c : cases) EXPECT_EQ(FilterNode::displayText(c.value), c.text) << c.value.caseName();
    // Every double's text reads back as exactly that double (the smallest subnormal included).
    for (double d : {0.1, 1.0 / 3.0, 6.02214076e23, -1e-300, 42.0, 5e-324, 1.7976931348623157e308}) {
        const std::string text = FilterNode::displayText(FilterValue::Double{d});
        const FilterNode back = FilterNode::fromDisplayTokens({"Time equals", text}, builtin(), kResolveNothing);
        ASSERT_EQ(back.groupChildCount(), 1u);
        EXPECT_EQ(asRow(asGroup(back).children[0]).value, FilterValue(FilterValue::Double{d})) << text;
    }
}

TEST(FilterDisplayTokens, OpaqueFormShowsNestedGroupsAsMarkerAndLabel) {
    const FilterNode a = row("packetId.equalTo", FilterValue::Int{1});
    const FilterNode web = group(LogicalOperator::or_, {a, a}, "Web");
    const FilterNode plain = group(LogicalOperator::and_, {a, a});
    const FilterNode filter = group(LogicalOperator::and_, {web, a, plain});
    EXPECT_EQ(filter.toOpaqueDisplayTokens(builtin()),
              (Tokens{FilterNode::opaqueMarker(web.id()), "Saved: Web \xE2\x96\xBE", "AND", "Packet ID equals", "1", "AND",
                      FilterNode::opaqueMarker(plain.id()), "(2 conditions)"}));
    EXPECT_EQ(filter.toDisplayTokens(builtin()),
              (Tokens{"(2 conditions)", "AND", "Packet ID equals", "1", "AND", "(2 conditions)"}));
    EXPECT_EQ(FilterNode::savedQueryLabel(""), "Saved:  \xE2\x96\xBE");
}

// MARK: Markers

TEST(FilterOpaqueMarker, RecognisesOnlyWellFormedMarkers) {
    const UUID uuid;
    const std::string marker = FilterNode::opaqueMarker(uuid);
    EXPECT_EQ(marker, "__opaque:" + uuid.uuidString() + "__");
    EXPECT_EQ(FilterNode::opaqueMarkerUUID(marker), uuid);

    const auto known = UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    ASSERT_TRUE(known);
    EXPECT_EQ(FilterNode::opaqueMarkerUUID("__opaque:e621e1f8-c36c-495a-93fc-0c247a3e6e5f__"), known);

    for (const char* text : {
             "__opaque:__",                                        // nothing between prefix and suffix
             "__opaque:___",                                       // one character, not a UUID
             "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5G__",    // not hexadecimal
             "__opaque:E621E1F8C36C495A93FC0C247A3E6E5F__",        // no hyphens
             "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5F_",     // one underscore short
             "__opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5F__ ",   // trailing blank
             "__OPAQUE:E621E1F8-C36C-495A-93FC-0C247A3E6E5F__",    // prefix is case-sensitive
             "_opaque:E621E1F8-C36C-495A-93FC-0C247A3E6E5F__",
             "",
         })
        EXPECT_FALSE(FilterNode::opaqueMarkerUUID(text)) << text;
}

// MARK: Reading tokens

TEST(FilterDisplayTokenParsing, TitleAndValueBecomeARow) {
    const FilterNode parsed = FilterNode::fromDisplayTokens({"Packet ID equals", "42"}, builtin(), kResolveNothing);
    const Group& result = asGroup(parsed);
    EXPECT_EQ(result.op, LogicalOperator::and_);
    EXPECT_FALSE(result.savedQueryName);
    ASSERT_EQ(result.children.size(), 1u);
    const Row& r = asRow(result.children[0]);
    EXPECT_EQ(r.attributeID, "packetId.equalTo");
    EXPECT_EQ(r.comparison, Comparison::equalTo);
    EXPECT_EQ(r.value, FilterValue(FilterValue::Int{42}));
    EXPECT_TRUE(r.caseInsensitive);

    const FilterNode again = FilterNode::fromDisplayTokens({"Packet ID equals", "42"}, builtin(), kResolveNothing);
    EXPECT_NE(again.id(), parsed.id());
    EXPECT_NE(asGroup(again).children[0].id(), result.children[0].id());
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
    for (LogicalOperator op : {LogicalOperator::and_, LogicalOperator::or_}) {
        const FilterNode original = group(op, rows);
        const FilterNode parsed = FilterNode::fromDisplayTokens(original.toDisplayTokens(builtin()), builtin(), kResolveNothing);
        const Group& back = asGroup(parsed);
        EXPECT_EQ(back.op, op);
        ASSERT_EQ(back.children.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& want = asRow(rows[i]);
            const Row& got = asRow(back.children[i]);
            EXPECT_EQ(got.attributeID, want.attributeID) << i;
            EXPECT_EQ(got.comparison, want.comparison) << i;
            EXPECT_EQ(got.value, want.value) << i;
            EXPECT_TRUE(got.caseInsensitive) << i;
            EXPECT_NE(got.id(), want.id()) << i;
        }
    }
}

TEST(FilterDisplayTokenParsing, OpaqueRoundTripRestoresNestedGroupsThroughTheResolver) {
    const FilterNode a = row("packetId.equalTo", FilterValue::Int{7});
    const FilterNode saved = group(LogicalOperator::or_, {a, group(LogicalOperator::not_, {a})}, "Web");
    const FilterNode nested = group(LogicalOperator::and_, {a});
    const FilterNode original = group(LogicalOperator::or_, {saved, a, nested});
    std::map<UUID, FilterNode> replaced{{saved.id(), saved}, {nested.id(), nested}};
    std::vector<UUID> asked;
    const FilterNode::OpaqueResolver resolve = [&](const UUID& id) -> std::optional<FilterNode> {
        asked.push_back(id);
        auto found = replaced.find(id);
        return found == replaced.end() ? std::nullopt : std::optional<FilterNode>(found->second);
    };

    const Group back = asGroup(FilterNode::fromDisplayTokens(original.toOpaqueDisplayTokens(builtin()), builtin(), resolve));
    EXPECT_EQ(asked, (std::vector<UUID>{saved.id(), nested.id()}));
    EXPECT_EQ(back.op, LogicalOperator::or_);
    ASSERT_EQ(back.children.size(), 3u);
    EXPECT_EQ(back.children[0], saved);
    EXPECT_EQ(asRow(back.children[1]).value, FilterValue(FilterValue::Int{7}));
    EXPECT_EQ(back.children[2], nested);

    // The plain form loses them: each comes back as an empty `and` group with a new id.
    const Group plain = asGroup(FilterNode::fromDisplayTokens(original.toDisplayTokens(builtin()), builtin(), resolve));
    ASSERT_EQ(plain.children.size(), 3u);
    for (std::size_t i : {0u, 2u}) {
        EXPECT_EQ(asGroup(plain.children[i]).op, LogicalOperator::and_);
        EXPECT_TRUE(asGroup(plain.children[i]).children.empty());
        EXPECT_NE(plain.children[i].id(), asGroup(original).children[i].id());
    }
}

TEST(FilterDisplayTokenParsing, GroupTokensWithoutAResolvableMarkerBecomeEmptyAndGroups) {
    const UUID unknown;
    struct Case {
        const char* name;
        Tokens tokens;
        std::size_t groups;  // empty `and` groups first, then one row of value 5
    };
    const std::vector<Case> cases{
        {"conditions label alone", {"(2 conditions)", "Packet ID equals", "5"}, 1},
        {"not label alone", {"(NOT)", "Packet ID equals", "5"}, 1},
        {"unknown marker consumes its label", {FilterNode::opaqueMarker(unknown), "(3 conditions)", "Packet ID equals", "5"}, 1},
        {"unknown marker before a title", {FilterNode::opaqueMarker(unknown), "Packet ID equals", "Packet ID equals", "5"}, 1},
        {"two labels", {"()", "(x)", "Packet ID equals", "5"}, 2},
    };
    for (const Case& c : cases) {
        const Group result = asGroup(FilterNode::fromDisplayTokens(c.tokens, builtin(), kResolveNothing));
        ASSERT_EQ(result.children.size(), c.groups + 1) << c.name;
        for (std::size_t i = 0; i < c.groups; ++i) {
            const Group& g = asGroup(result.children[i]);
            EXPECT_EQ(g.op, LogicalOperator::and_) << c.name;
            EXPECT_TRUE(g.children.empty()) << c.name;
            EXPECT_FALSE(g.savedQueryName) << c.name;
            EXPECT_NE(result.children[i].id(), unknown) << c.name;
        }
        EXPECT_EQ(asRow(result.children.back()).value, FilterValue(FilterValue::Int{5})) << c.name;
    }
    // An empty resolver knows nothing either.
    const Group result = asGroup(FilterNode::fromDisplayTokens({FilterNode::opaqueMarker(unknown), "x"}, builtin(), {}));
    ASSERT_EQ(result.children.size(), 1u);
    EXPECT_EQ(result.children[0].groupChildCount(), 0u);
}

TEST(FilterDisplayTokenParsing, OperatorWordsAndSymbols) {
    struct Case {
        const char* name;
        Tokens tokens;
        LogicalOperator op;
        std::size_t rows;
    };
    const std::vector<Case> cases{
        {"no tokens", {}, LogicalOperator::and_, 0},
        {"only empty tokens", {"", ""}, LogicalOperator::and_, 0},
        {"or in any case", {"Packet ID equals", "1", "oR", "Packet ID equals", "2"}, LogicalOperator::or_, 2},
        {"last word wins", {"OR", "Packet ID equals", "1", "NOT", "", "and"}, LogicalOperator::and_, 1},
        {"not", {"not", "Packet ID equals", "1"}, LogicalOperator::not_, 1},
        {"symbols are skipped", {"||", "Packet ID equals", "1", "&&", "!", "Packet ID equals", "2"}, LogicalOperator::and_, 2},
    };
    for (const Case& c : cases) {
        const Group result = asGroup(FilterNode::fromDisplayTokens(c.tokens, builtin(), kResolveNothing));
        EXPECT_EQ(result.op, c.op) << c.name;
        EXPECT_EQ(result.children.size(), c.rows) << c.name;
    }
}

TEST(FilterDisplayTokenParsing, UnknownTitlesAreSkippedWithTheirValue) {
    const Group result = asGroup(FilterNode::fromDisplayTokens(
        {"packet id equals", "Packet ID equals", "Packet ID equals", "3", "__opaque:nope__", "OR", "Time less than", "1.5"},
        builtin(), kResolveNothing));
    // The lower-case title and a marker without a UUID are titles the catalog lacks: each takes
    // the token after it along ("OR" included, so the operator stays `and`).
    ASSERT_EQ(result.children.size(), 2u);
    EXPECT_EQ(asRow(result.children[0]).value, FilterValue(FilterValue::Int{3}));
    EXPECT_EQ(asRow(result.children[1]).attributeID, "packetTime.lessThan");
    EXPECT_EQ(asRow(result.children[1]).comparison, Comparison::lessThan);
    EXPECT_EQ(asRow(result.children[1]).value, FilterValue(FilterValue::Double{1.5}));
    EXPECT_EQ(result.op, LogicalOperator::and_);
}

TEST(FilterDisplayTokenParsing, ValuesAreReadByTheAttributesKind) {
    struct Case {
        const char* title;
        const char* text;
        FilterValue value;
    };
    const std::vector<Case> cases{
        {"Packet ID equals", "+7", FilterValue::Int{7}},
        {"Packet ID equals", "-7", FilterValue::Int{-7}},
        {"Packet ID equals", "9223372036854775807", FilterValue::Int{9223372036854775807LL}},
        {"Packet ID equals", "9223372036854775808", FilterValue::Int{0}},
        {"Packet ID equals", "7x", FilterValue::Int{0}},
        {"Packet ID equals", " 7", FilterValue::Int{0}},
        {"Packet ID equals", "+-7", FilterValue::Int{0}},
        {"Packet ID equals", "3.5", FilterValue::Int{0}},
        {"Packet ID equals", "", FilterValue::Int{0}},
        {"Time equals", "-2.5e-3", FilterValue::Double{-2.5e-3}},
        {"Time equals", "+4", FilterValue::Double{4}},
        {"Time equals", "4.", FilterValue::Double{4}},
        {"Time equals", "four", FilterValue::Double{0}},
        {"Time equals", "1.5s", FilterValue::Double{0}},
        {"Source Address contains", " 10.0 ", FilterValue::String{" 10.0 "}},
        {"Source Address contains", "", FilterValue::String{""}},
        {"Protocol equals", "TCP", FilterValue::ProtocolName{"TCP"}},
        {"Date Received equals", "2024-05-01T10:00:00Z", FilterValue::Date{Date{kMayDay}}},
        {"Date Received equals", "2024-05-01T12:30:00+02:30", FilterValue::Date{Date{kMayDay}}},
        {"Date Received equals", "2024-05-01T04:00:00-06:00", FilterValue::Date{Date{kMayDay}}},
    };
    for (const Case& c : cases) {
        const Group result = asGroup(FilterNode::fromDisplayTokens({c.title, c.text}, builtin(), kResolveNothing));
        ASSERT_EQ(result.children.size(), 1u) << c.title << " " << c.text;
        EXPECT_EQ(asRow(result.children[0]).value, c.value) << c.title << " '" << c.text << "'";
    }
}

TEST(FilterDisplayTokenParsing, DateThatIsNotISO8601BecomesNow) {
    for (const char* text : {"yesterday", "2024-05-01", "2024-05-01 10:00:00Z", "1714557600"}) {
        const double before = secondsNow();
        const Group result = asGroup(FilterNode::fromDisplayTokens({"Date Received equals", text}, builtin(), kResolveNothing));
        const double after = secondsNow();
        ASSERT_EQ(result.children.size(), 1u);
        const auto* date = asRow(result.children[0]).value.getIf<FilterValue::Date>();
        ASSERT_NE(date, nullptr) << text;
        EXPECT_GE(date->value.secondsSince1970, before) << text;
        EXPECT_LE(date->value.secondsSince1970, after) << text;
    }
}

TEST(FilterDisplayTokenParsing, FirstAttributeWithTheTitleGivesIdAndComparison) {
    const auto attribute = [](std::string id, std::string title, FilterAttribute::Kind kind, std::vector<Comparison> comparisons) {
        FilterAttribute a;
        a.id = std::move(id);
        a.title = std::move(title);
        a.kind = kind;
        a.allowedComparisons = std::move(comparisons);
        a.source = FilterAttribute::Source::plugin("test");
        return a;
    };
    const FilterAttributeCatalog catalog({attribute("first", "Host", FilterAttribute::Kind::string, {Comparison::endsWith, Comparison::contains}),
                                          attribute("second", "Host", FilterAttribute::Kind::int_, {Comparison::lessThan}),
                                          attribute("bare", "Port", FilterAttribute::Kind::int_, {})});
    const Group result = asGroup(FilterNode::fromDisplayTokens({"Host", "example", "Port", "80"}, catalog, kResolveNothing));
    ASSERT_EQ(result.children.size(), 2u);
    EXPECT_EQ(asRow(result.children[0]).attributeID, "first");
    EXPECT_EQ(asRow(result.children[0]).comparison, Comparison::endsWith);
    EXPECT_EQ(asRow(result.children[0]).value, FilterValue(FilterValue::String{"example"}));
    EXPECT_EQ(asRow(result.children[1]).comparison, Comparison::equalTo);
    EXPECT_EQ(asRow(result.children[1]).value, FilterValue(FilterValue::Int{80}));
}

TEST(FilterDisplayTokenParsing, LoneTrailingTitleIsLoggedAndDropped) {
    LogCapture log;
    const Group result =
        asGroup(FilterNode::fromDisplayTokens({"Packet ID equals", "1", "OR", "Packet ID equals"}, builtin(), kResolveNothing));
    ASSERT_EQ(result.children.size(), 1u);
    EXPECT_EQ(result.op, LogicalOperator::or_);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].message, "fromDisplayTokens: discarding lone trailing token 'Packet ID equals' at index 3");
    EXPECT_EQ(log.lines[0].filename, "QORModels/FilterDisplayTokenParsing");
    EXPECT_EQ(log.lines[0].separator, ", ");
    EXPECT_EQ(log.lines[0].terminator, "\n");

    // Any text that is nothing else counts as a title, a malformed marker included; a valid
    // marker or a label in last place is no title and logs nothing.
    log.lines.clear();
    (void)FilterNode::fromDisplayTokens({"__opaque:123__"}, builtin(), kResolveNothing);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].message, "fromDisplayTokens: discarding lone trailing token '__opaque:123__' at index 0");
    log.lines.clear();
    (void)FilterNode::fromDisplayTokens({FilterNode::opaqueMarker(UUID()), "(1 conditions)", "(NOT)"}, builtin(), kResolveNothing);
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace qor
