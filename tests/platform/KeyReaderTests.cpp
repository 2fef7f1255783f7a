// Key-path expressions read their first key through the reader the object's class resolves for
// it: once per expression, not per object; a reader that stops serving the objects met is
// replaced, a class without readers is read by name, and every answer is the by-name answer.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "GaugeFixtures.hpp"
#include "PredicateFixtures.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {
namespace {

using testing_predicates::Gauge;

std::vector<std::shared_ptr<Gauge>> gauges(int count, int families = 1) {
    std::vector<std::shared_ptr<Gauge>> out;
    for (int i = 0; i < count; ++i) out.push_back(std::make_shared<Gauge>(i, i % families));
    return out;
}

TEST(KeyReader, AKeyIsResolvedOncePerExpressionAndAnswersAsByName) {
    ASSERT_TRUE(testing_predicates::kGaugeReaders);
    struct Row {
        const char* format;
        int matches;   // of gauges 0..99
        int resolves;  // readers made for the predicate
    };
    const Row rows[] = {
        {"level >= 90", 10, 1},
        {"level == 7 OR name == 'gauge-8'", 2, 2},
        {"name BEGINSWITH 'gauge-9'", 11, 1},
        {"level IN {1, 2, 3} AND name ENDSWITH '2'", 1, 2},
        {"level.description == '42'", 1, 1},   // a longer path starts with the first key's reader
    };
    const auto all = gauges(100);
    for (const Row& row : rows) {
        Gauge::reset();
        const auto predicate = NSPredicate::predicateWithFormat(row.format);
        int matches = 0;
        for (const auto& gauge : all) matches += predicate->evaluateWithObject(*gauge) ? 1 : 0;
        EXPECT_EQ(matches, row.matches) << row.format;
        EXPECT_EQ(Gauge::resolved.load(), row.resolves) << row.format;
        EXPECT_EQ(Gauge::byName.load(), 0) << row.format;
        EXPECT_GT(Gauge::read.load(), 0) << row.format;
    }
}

TEST(KeyReader, ObjectsNoReaderServesAreReadByName) {
    Gauge::reset();
    const auto level = NSExpression::expressionForKeyPath("level");
    const auto srcPort = NSExpression::expressionForKeyPath("srcPort");
    const testing_predicates::Flow flow(8080);
    const Gauge gauge(5);
    Value scratch;
    // Objects of a class without a resolver, met before and after a gauge, answer by name.
    EXPECT_TRUE(srcPort->evaluate({&flow, nullptr, nullptr}, scratch) == Value(std::int64_t{8080}));
    EXPECT_TRUE(level->evaluate({&gauge, nullptr, nullptr}, scratch) == Value(std::int64_t{5}));
    EXPECT_TRUE(level->evaluate({&flow, nullptr, nullptr}, scratch).isNone());
    EXPECT_TRUE(level->evaluate({&gauge, nullptr, nullptr}, scratch) == Value(std::int64_t{5}));
    EXPECT_EQ(Gauge::resolved.load(), 1);
    EXPECT_EQ(Gauge::byName.load(), 0);
    // A key the class resolves no reader for is asked by name every time.
    const auto other = NSExpression::expressionForKeyPath("description");
    EXPECT_EQ(other->evaluate({&gauge, nullptr, nullptr}, scratch).asString(), gauge.description());
    EXPECT_EQ(Gauge::byName.load(), 1);
}

TEST(KeyReader, ReplacementsOfReadersThatStopServingAreBounded) {
    // (A reader outdated by a new epoch is replaced: PredicateConcurrencyTests.) Readers that
    // serve one family each, over gauges of 40 families taken in turn: every family needs a new
    // reader until the expression stops resolving; the answers never change.
    Gauge::reset();
    Gauge::familyReaders = true;
    const auto level = NSPredicate::predicateWithFormat("level >= 0");
    const auto families = gauges(200, 40);
    for (const auto& gauge : families) EXPECT_TRUE(level->evaluateWithObject(*gauge));
    EXPECT_LE(Gauge::resolved.load(), 17);
    EXPECT_GT(Gauge::byName.load(), 0);
    Gauge::familyReaders = false;
}

}  // namespace
}  // namespace qor
