// Compiling display-filter trees into predicates, and the shared progress state.

#include <gtest/gtest.h>

#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORModels/filters/FilterValueText.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {
namespace {

using Row = FilterNode::Row;
using Group = FilterNode::Group;

const FilterAttributeCatalog& catalog() {
    static const FilterAttributeCatalog c = FilterAttributeCatalog::withPlugins(
        {{{NSDisplayNameBindingOption, Value("Source Port is")}, {NSPredicateFormatBindingOption, Value("srcPort == $value")}},
         {{NSDisplayNameBindingOption, Value("Broken")}, {NSPredicateFormatBindingOption, Value("srcPort == ")}}},
        "TCP");
    return c;
}

std::string formatOf(const FilterNode& node) { return node.asPredicate(catalog())->predicateFormat(); }

FilterCompileError compileError(const FilterNode& node) {
    try {
        (void)node.asPredicate(catalog());
    } catch (const FilterCompileError& e) {
        return e;
    }
    ADD_FAILURE() << "compiled";
    return FilterCompileError::notRequiresOneChild();
}

TEST(FilterCompilation, RowsBecomeComparisonsOfTheAttributesKeyPath) {
    struct Case {
        Row row;
        const char* format;
    };
    const Case cases[] = {
        // A bare key path resolves with its comparison.
        {Row("packetLengthReal", Comparison::lessThan, FilterValue::Int{100}), "packetLengthReal < 100"},
        {Row("packetId.equalTo", Comparison::equalTo, FilterValue::Int{42}), "packetId == 42"},
        // The value is taken as the attribute's kind: text for text attributes...
        {Row("packetInfoOverview", Comparison::contains, FilterValue::Int{42}), "packetInfoOverview CONTAINS \"42\""},
        {Row("packetInfoOverview", Comparison::contains, FilterValue::Double{1}), "packetInfoOverview CONTAINS \"1.0\""},
        {Row("packetInfoOverview", Comparison::beginsWith, FilterValue::Date{Date{1714557600}}),
         "packetInfoOverview BEGINSWITH \"2024-05-01 10:00:00 +0000\""},
        // ... zero for a number attribute given text.
        {Row("packetId", Comparison::greaterThan, FilterValue::String{"12"}), "packetId > 0"},
        // Case-insensitivity only for texts.
        {Row("packetProtocol", Comparison::equalTo, FilterValue::ProtocolName{"dns"}, true), "packetProtocol ==[c] \"dns\""},
        {Row("captureLength", Comparison::greaterThanOrEqual, FilterValue::Int{60}, true), "captureLength >= 60"},
        // A plug-in attribute: its format with the row's value; the row's comparison plays no part.
        {Row("Source Port is", Comparison::contains, FilterValue::Int{443}, true), "srcPort == 443"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatOf(c.row), c.format) << c.row.attributeID;
    // Dates as texts round down to the second.
    EXPECT_EQ(dateDescription(Date{0.9}), "1970-01-01 00:00:00 +0000");
    EXPECT_EQ(dateDescription(Date{-1}), "1969-12-31 23:59:59 +0000");
}

TEST(FilterCompilation, GroupsAndTheirErrors) {
    EXPECT_EQ(formatOf(Group(LogicalOperator::and_)), "TRUEPREDICATE");
    EXPECT_EQ(formatOf(Group(LogicalOperator::or_)), "FALSEPREDICATE");
    const Row a("packetId", Comparison::equalTo, FilterValue::Int{1});
    const Row b("captureLength", Comparison::lessThan, FilterValue::Int{60});
    EXPECT_EQ(formatOf(Group(LogicalOperator::or_, {a, Group(LogicalOperator::not_, {b})})),
              "packetId == 1 OR NOT captureLength < 60");

    EXPECT_EQ(compileError(Group(LogicalOperator::not_, {a, b})), FilterCompileError::notRequiresOneChild());
    EXPECT_EQ(compileError(Group(LogicalOperator::not_)), FilterCompileError::notRequiresOneChild());
    // The first failing child stops compilation.
    EXPECT_EQ(compileError(Group(LogicalOperator::and_, {a, Row("packetId", Comparison::contains, FilterValue::Int{1}), b})),
              FilterCompileError::unknownAttribute("packetId"));
    const auto broken = compileError(Row("Broken", Comparison::equalTo, FilterValue::Int{1}));
    EXPECT_EQ(broken.kind(), FilterCompileError::Kind::invalidPredicate);
    EXPECT_EQ(broken.format(), "srcPort == ");
    EXPECT_FALSE(broken.reason().empty());
    // A tree deeper than a predicate may be is refused, not walked to the end.
    FilterNode deep = a;
    for (int i = 0; i < 200; ++i) deep = Group(LogicalOperator::not_, {deep});
    EXPECT_EQ(compileError(deep).kind(), FilterCompileError::Kind::invalidPredicate);
}

TEST(PacketFilterEngine, PacketsWithoutAnalyzersAreNeitherEvaluatedNorCounted) {
    PacketFilterEngine::PacketList packets{QORPacket::create(), QORPacket::create()};
    QORSharedMemoryQueue progress;
    EXPECT_TRUE(PacketFilterEngine().apply(*NSPredicate::predicateWithValue(true), packets, &progress).empty());
    EXPECT_EQ(progress.bytesRead(), 0.0);
    EXPECT_TRUE(PacketFilterEngine().apply(*NSPredicate::predicateWithValue(true), {}).empty());
}

}  // namespace
}  // namespace qor
