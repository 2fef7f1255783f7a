// The task group whose hand-overs race checkers see: plain memory passed both ways, failures.

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "QORModels/support/ObservedTaskGroup.hpp"

namespace qor {
namespace {

TEST(ObservedTaskGroup, PlainMemoryPassesToEachTaskAndBackThroughWait) {
    // Two buffers in turn, as a caller that fills one while a task works on the other: neither
    // side uses atomics of its own, so a race checker sees only the group's hand-overs.
    std::vector<int> buffers[2] = {std::vector<int>(4096), std::vector<int>(4096)};
    long long total = 0;
    ObservedTaskGroup group;
    for (int round = 0; round < 200; ++round) {
        std::vector<int>& mine = buffers[round % 2];
        for (int& v : mine) v = round;
        group.run([&mine] {
            for (int& v : mine) v = v * 2 + 1;
        });
        group.wait();
        for (int v : mine) total += v;
    }
    EXPECT_EQ(total, 4096LL * (200 * 199 + 200));  // the sum of 2r+1 over 200 rounds
}

TEST(ObservedTaskGroup, AFailureReachesWaitAndLeavingAScopeWaitsForTheTasks) {
    ObservedTaskGroup failing;
    failing.run([] { throw std::runtime_error("task failed"); });
    EXPECT_THROW(failing.wait(), std::runtime_error);

    int written = 0;
    try {
        ObservedTaskGroup group;
        group.run([&written] { written = 1; });
        throw std::logic_error("the caller's own failure");
    } catch (const std::logic_error&) {
        // The group waited for its task as the scope was left.
    }
    EXPECT_EQ(written, 1);
}

}  // namespace
}  // namespace qor
