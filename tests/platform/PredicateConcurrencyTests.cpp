// One predicate evaluated from several threads at once: every piece that keeps state between
// evaluations (compiled patterns, PCRE2 match data, constant lists) must be safe to share.
// Runs under ThreadSanitizer in `make sanitize` (label "concurrency").

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>
#include <vector>

#include "GaugeFixtures.hpp"
#include "PredicateFixtures.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {
namespace {

using testing_predicates::Flow;

TEST(PredicateConcurrency, ThreadsSharingOnePredicateAgreeWithOneThread) {
    const auto predicate = NSPredicate::predicateWithFormat(
        "(info MATCHES[c] 'get /item-[0-9]*7 .*' OR info LIKE[c] '*-1?3 *') AND srcPort IN {80, 443, 8080} "
        "AND NOT ANY tags CONTAINS[cd] 'udp' AND city ==[cd] 'ZURICH' AND ratio BETWEEN {0, 1}");
    std::vector<std::shared_ptr<Flow>> flows;
    for (int i = 0; i < 400; ++i) {
        flows.push_back(std::make_shared<Flow>(i % 3 == 0 ? 80 : 53, "GET /item-" + std::to_string(i) + " HTTP/1.1"));
    }
    std::vector<char> expected;
    for (const auto& f : flows) expected.push_back(predicate->evaluateWithObject(*f));
    ASSERT_GT(std::count(expected.begin(), expected.end(), 1), 5);

    constexpr int kThreads = 4;
    std::vector<std::vector<char>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                seen[t].clear();
                for (const auto& f : flows) seen[t].push_back(predicate->evaluateWithObject(*f));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << "thread " << t;
}

TEST(PredicateConcurrency, ThreadsResolvingOneKeyAtOnceShareItsReader) {
    using testing_predicates::Gauge;
    ASSERT_TRUE(testing_predicates::kGaugeReaders);
    Gauge::reset();
    std::vector<std::shared_ptr<Gauge>> gauges;
    for (int i = 0; i < 300; ++i) gauges.push_back(std::make_shared<Gauge>(i));
    // Fresh for the threads: they race to resolve "level" and "name" at their first evaluation,
    // and again when the epoch changes under them halfway.
    const auto predicate = NSPredicate::predicateWithFormat("level < 40 OR name ENDSWITH '3'");
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    std::vector<int> matches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 4; ++round) {
                if (t == 0 && round == 2) ++Gauge::epoch;
                for (const auto& gauge : gauges) matches[t] += predicate->evaluateWithObject(*gauge) ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    int expected = 0;
    for (int i = 0; i < 300; ++i) expected += (i < 40 || i % 10 == 3) ? 4 : 0;
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(matches[t], expected) << "thread " << t;
    EXPECT_EQ(Gauge::byName.load(), 0);
    EXPECT_LE(Gauge::resolved.load(), 4 * kThreads);
}

}  // namespace
}  // namespace qor
