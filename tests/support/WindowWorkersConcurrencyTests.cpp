// The threads that work on a streamed pass's windows: every item of every job once, plain memory
// handed both ways, failures, and leaving with a job unfinished.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <stdexcept>
#include <vector>

#include "QORModels/support/WindowWorkers.hpp"

namespace qor {
namespace {

constexpr std::size_t kGrain = 8;

TEST(WindowWorkers, EveryItemOfEveryJobOnceWithTheCallersWritesSeenBothWays) {
    // Jobs of every size around the part boundaries, one after another on the same workers, as
    // the windows of a pass (the last one shorter): the caller fills a window's items without
    // atomics, the parts transform them, and the caller reads them after `wait`.
    std::vector<int> items(1000);
    std::vector<int> runs(items.size());
    std::size_t current = 0;
    WindowWorkers workers(kGrain, [&](std::size_t begin, std::size_t end) {
        ASSERT_LE(end, current);
        ASSERT_LT(begin, end);
        ASSERT_LE(end - begin, kGrain);
        for (std::size_t i = begin; i != end; ++i) {
            items[i] = items[i] * 2 + 1;
            ++runs[i];
        }
    });
    long long checked = 0;
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, kGrain - 1, kGrain, kGrain + 1, 3 * kGrain, std::size_t{997},
                              std::size_t{1000}, std::size_t{5}, std::size_t{640}}) {
        for (int round = 0; round < 20; ++round) {
            current = count;
            for (std::size_t i = 0; i < count; ++i) {
                items[i] = round;
                runs[i] = 0;
            }
            workers.start(count);
            workers.wait();
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(runs[i], 1) << "item " << i << " of a job of " << count;
                ASSERT_EQ(items[i], 2 * round + 1);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 20LL * (0 + 1 + 7 + 8 + 9 + 24 + 997 + 1000 + 5 + 640));
    workers.wait();  // with no job started: nothing to do
}

TEST(WindowWorkers, AFailedPartReachesWaitAndTheNextJobRunsWhole) {
    std::atomic<int> ran{0};
    bool fail = true;
    WindowWorkers workers(1, [&](std::size_t begin, std::size_t) {
        ran.fetch_add(1, std::memory_order_relaxed);
        if (fail && begin == 0) throw std::runtime_error("part failed");
    });
    workers.start(500);
    EXPECT_THROW(workers.wait(), std::runtime_error);
    // Parts begun before the failure was seen ran; the rest were skipped.
    EXPECT_GE(ran.load(), 1);
    EXPECT_LE(ran.load(), 500);

    fail = false;
    ran = 0;
    workers.start(500);
    EXPECT_NO_THROW(workers.wait());
    EXPECT_EQ(ran.load(), 500);
}

TEST(WindowWorkers, DestroyedWithAJobStartedTheWorkersStopBeforeTheCallersMemoryGoes) {
    // The caller leaves (as by an exception) without waiting: no part may run after the workers
    // are destroyed, since the items they work on go with the caller's scope.
    std::atomic<bool> gone{false};
    std::atomic<int> afterwards{0};
    {
        WindowWorkers workers(1, [&](std::size_t, std::size_t) {
            if (gone.load()) afterwards.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        });
        workers.start(100000);
    }
    gone = true;
    EXPECT_EQ(afterwards.load(), 0);
}

}  // namespace
}  // namespace qor
