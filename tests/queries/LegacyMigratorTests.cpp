// Converting predicates into filter trees: legacy keyed archives written by an independent
// writer (Python's plistlib, tests/fixtures/queries/make_legacy_archives.py), predicate trees
// and predicate-language texts.

#include <gtest/gtest.h>

#include <cmath>

#include "QORModels/filters/FilterCoding.hpp"
#include "QORModels/queries/LegacyQORQueryMigrator.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/NSKeyedUnarchiver.hpp"
#include "QORPlatform/PredicateFormatError.hpp"
#include "QueryTestSupport.hpp"

namespace qor {
namespace {

FilterNode convertFixture(const std::string& name) {
    const Data bytes = test::readFile(test::legacyFixture(name));
    EXPECT_GT(bytes.size(), 0u) << name << " is missing";
    return LegacyQORQueryMigrator::convert(bytes.span());
}

const FilterNode::Row& rowAt(const FilterNode& node, std::size_t index) {
    return *node.getIf<FilterNode::Group>()->children.at(index).getIf<FilterNode::Row>();
}

TEST(LegacyArchive, EveryValueKindAndBothKeyPathForms) {
    const FilterNode tree = convertFixture("mixed-values.qorquery");
    const auto* group = tree.getIf<FilterNode::Group>();
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->op, LogicalOperator::or_);
    ASSERT_EQ(group->children.size(), 5u);

    EXPECT_EQ(rowAt(tree, 0).attributeID, "srcPort.equalTo");
    EXPECT_EQ(rowAt(tree, 0).value, FilterValue(FilterValue::Int{443}));
    EXPECT_FALSE(rowAt(tree, 0).caseInsensitive);

    const auto* negated = group->children[1].getIf<FilterNode::Group>();
    ASSERT_NE(negated, nullptr);
    EXPECT_EQ(negated->op, LogicalOperator::not_);
    const auto& time = *negated->children.at(0).getIf<FilterNode::Row>();
    EXPECT_EQ(time.attributeID, "packetTime.greaterThan");
    EXPECT_EQ(time.value, FilterValue(FilterValue::Double{1.5}));

    // 2024-01-02T03:04:05Z, archived as NSDate seconds since 2001.
    const auto& received = rowAt(tree, 2);
    EXPECT_EQ(received.attributeID, "packetDateReceived.greaterThanOrEqual");
    ASSERT_NE(received.value.getIf<FilterValue::Date>(), nullptr);
    EXPECT_NEAR(received.value.getIf<FilterValue::Date>()->value.secondsSince1970, 1704164645.0, 1e-6);

    // Diacritic-insensitive alone is not case-insensitive.
    EXPECT_EQ(rowAt(tree, 3).attributeID, "packetSourceString.beginsWith");
    EXPECT_EQ(rowAt(tree, 3).value, FilterValue(FilterValue::String{"10."}));
    EXPECT_FALSE(rowAt(tree, 3).caseInsensitive);

    // A nil constant is the empty text.
    EXPECT_EQ(rowAt(tree, 4).value, FilterValue(FilterValue::String{""}));
}

TEST(LegacyArchive, RefusalsCarryTheirCase) {
    struct Case {
        const char* fixture;
        std::optional<LegacyMigrationError> migration;  // else an unarchiver error
        std::int64_t unarchiverCode = 0;
    };
    const std::vector<Case> cases{
        {"matches-operator.qorquery", LegacyMigrationError::unsupportedOperator(6)},
        {"key-path-on-the-right.qorquery", LegacyMigrationError::unsupportedExpression()},
        {"text-root.qorquery", LegacyMigrationError::unarchiveFailed()},
        {"shared-subpredicates.qorquery", LegacyMigrationError::unsupportedExpression()},
        {"unknown-class.qorquery", std::nullopt, NSCoderValueNotFoundError},
        {"unknown-root-class.qorquery", std::nullopt, NSCoderValueNotFoundError},
        {"cyclic.qorquery", std::nullopt, NSCoderReadCorruptError},
        {"deeply-nested.qorquery", std::nullopt, NSCoderReadCorruptError},
        {"exponential-constant.qorquery", std::nullopt, NSCoderReadCorruptError},
    };
    for (const Case& c : cases) {
        try {
            (void)convertFixture(c.fixture);
            ADD_FAILURE() << c.fixture << " converted";
        } catch (const LegacyMigrationError& e) {
            ASSERT_TRUE(c.migration) << c.fixture << ": " << e.what();
            EXPECT_EQ(e, *c.migration) << c.fixture << ": " << e.what();
        } catch (const NSKeyedUnarchiverError& e) {
            EXPECT_FALSE(c.migration) << c.fixture << ": " << e.what();
            EXPECT_EQ(e.error().code, c.unarchiverCode) << c.fixture << ": " << e.what();
            EXPECT_EQ(e.error().domain, NSCocoaErrorDomain);
        }
    }
}

TEST(LegacyArchive, EveryPrefixOfAnArchiveFailsCleanly) {
    const Data bytes = test::readFile(test::legacyFixture("mixed-values.qorquery"));
    const auto all = bytes.span();
    for (std::size_t n = 0; n < all.size(); ++n) {
        EXPECT_ANY_THROW((void)LegacyQORQueryMigrator::convert(all.first(n))) << n;
    }
    const std::string notAPlist = "bplist00 but nothing else of a property list";
    EXPECT_THROW((void)LegacyQORQueryMigrator::convert(std::as_bytes(std::span(notAPlist))), NSKeyedUnarchiverError);
}

/// A binary property list of `count` arrays, each holding the next (the last one empty, or
/// holding the first when `cyclic`), with 4-byte references and offsets.
std::vector<std::byte> nestedArrays(std::uint32_t count, bool cyclic) {
    std::vector<std::byte> out;
    auto put = [&](std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
    };
    for (char c : std::string_view("bplist00")) out.push_back(static_cast<std::byte>(c));
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        const bool last = i + 1 == count;
        put(last && !cyclic ? 0xA0 : 0xA1, 1);  // an empty array, or one holding one reference
        if (!last || cyclic) put(last ? 0 : i + 1, 4);
    }
    const std::uint64_t table = out.size();
    for (std::uint32_t offset : offsets) put(offset, 4);
    // The trailer: unused bytes, offset and reference sizes, object count, root object, table offset.
    using Field = std::pair<std::uint64_t, int>;
    for (const auto& [value, width] : {Field{0, 6}, Field{4, 1}, Field{4, 1}, Field{count, 8}, Field{0, 8}, Field{table, 8}}) put(value, width);
    return out;
}

TEST(LegacyArchive, PropertyListsNestedTooDeeplyAreRefusedBeforeParsing) {
    // 100,000 nested arrays (900 kB) would exhaust the stack of a recursive parser.
    for (const auto& bytes : {nestedArrays(100000, false), nestedArrays(3, true), nestedArrays(12, false)}) {
        try {
            (void)LegacyQORQueryMigrator::convert(bytes);
            ADD_FAILURE() << "converted";
        } catch (const NSKeyedUnarchiverError& e) {
            EXPECT_EQ(e.error().code, NSCoderReadCorruptError);
            EXPECT_NE(std::string(e.what()).find("nests containers deeper than"), std::string::npos) << e.what();
        }
    }
    // Shallow enough: parsed, then refused as not being a keyed archive.
    try {
        (void)LegacyQORQueryMigrator::convert(nestedArrays(4, false));
        ADD_FAILURE() << "converted";
    } catch (const NSKeyedUnarchiverError& e) {
        EXPECT_NE(std::string(e.what()).find("not a keyed archive"), std::string::npos) << e.what();
    }
}

TEST(PredicateConversion, OperatorCodesMapToComparisons) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"packetId < 5", "packetId.lessThan"}, {"packetId <= 5", "packetId.lessThanOrEqual"}, {"packetId > 5", "packetId.greaterThan"},
        {"packetId >= 5", "packetId.greaterThanOrEqual"}, {"packetId == 5", "packetId.equalTo"}, {"packetId != 5", "packetId.notEqualTo"},
        {"a.b BEGINSWITH 'x'", "a.b.beginsWith"}, {"a ENDSWITH 'x'", "a.endsWith"}, {"a CONTAINS[cd] 'x'", "a.contains"}};
    for (const auto& [format, id] : table) {
        const FilterNode node = LegacyQORQueryMigrator::convertPredicateFormat(format);
        ASSERT_NE(node.getIf<FilterNode::Row>(), nullptr) << format;
        EXPECT_EQ(node.getIf<FilterNode::Row>()->attributeID, id) << format;
    }
    EXPECT_TRUE(LegacyQORQueryMigrator::convertPredicateFormat("a CONTAINS[cd] 'x'").getIf<FilterNode::Row>()->caseInsensitive);
}

TEST(PredicateConversion, UnsupportedPredicatesAndTexts) {
    const std::vector<std::pair<std::string, LegacyMigrationError>> table{
        {"a LIKE 'x*'", LegacyMigrationError::unsupportedOperator(7)},
        {"a IN 'abc'", LegacyMigrationError::unsupportedOperator(10)},
        // A list is not a constant: the operand is checked before the operator.
        {"a BETWEEN {1, 2}", LegacyMigrationError::unsupportedExpression()},
        {"5 == srcPort", LegacyMigrationError::unsupportedExpression()},
        {"a == $value", LegacyMigrationError::unsupportedExpression()},
        {"TRUEPREDICATE", LegacyMigrationError::unsupportedExpression()},
        {"a == 1 AND (b == 2 OR c MATCHES 'x')", LegacyMigrationError::unsupportedOperator(6)},
    };
    for (const auto& [format, expected] : table) {
        try {
            (void)LegacyQORQueryMigrator::convertPredicateFormat(format);
            ADD_FAILURE() << format << " converted";
        } catch (const LegacyMigrationError& e) {
            EXPECT_EQ(e, expected) << format << ": " << e.what();
        }
    }
    try {
        (void)LegacyQORQueryMigrator::convertPredicateFormat("packetId == ");
        ADD_FAILURE() << "parsed";
    } catch (const PredicateFormatError& e) {
        EXPECT_EQ(e.position(), 12u) << e.what();
    }
}

TEST(PredicateConversion, DeeperThanAFilterCanBeReadIsRefused) {
    NSPredicate::Ref predicate = NSPredicate::predicateWithFormat("a == 1");
    for (std::size_t i = 1; i < kFilterMaxNodeDepth; ++i) predicate = NSCompoundPredicate::notPredicateWithSubpredicate(predicate);
    EXPECT_NO_THROW((void)LegacyQORQueryMigrator::convert(*predicate));
    predicate = NSCompoundPredicate::notPredicateWithSubpredicate(predicate);
    EXPECT_THROW((void)LegacyQORQueryMigrator::convert(*predicate), LegacyMigrationError);
}

}  // namespace
}  // namespace qor
