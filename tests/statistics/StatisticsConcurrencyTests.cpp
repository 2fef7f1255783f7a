// The shared progress state under concurrent counting: no addition is lost, however many chunks
// report at once, and a stop requested from another thread ends the run cleanly.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "StatisticsCaptures.hpp"

namespace qor::test::statistics {
namespace {

TEST(StatisticsProgressConcurrency, TwoTasksAppendingFiftyTwentyTimesAddTwoThousand) {
    QORSharedMemoryQueue queue;
    queue.setBytesRead(30);
    auto append = [&] {
        for (int i = 0; i < 20; ++i) queue.appendBytesRead(50);
    };
    std::thread a(append), b(append);
    a.join();
    b.join();
    EXPECT_EQ(queue.bytesRead(), 2030.0);
}

TEST(StatisticsProgressConcurrency, ManyChunksReportEverySnapshotOnce) {
    const auto many = repeated(statisticSnapshots("GrePackets.cap"), 300);  // 8,400 snapshots
    QORSharedMemoryQueue serialQueue;
    const auto serial = ProtocolStatisticCounting::count(many, serialQueue, true, 1);
    // Small chunks on all cores, while another thread reads the progress as the window does.
    QORSharedMemoryQueue queue;
    std::atomic<bool> done{false};
    double lastSeen = 0;
    bool wentDown = false;
    std::thread window([&] {
        while (!done.load()) {
            const double seen = queue.bytesRead();
            wentDown |= seen < lastSeen;
            lastSeen = seen;
        }
    });
    const auto parallel = ProtocolStatisticCounting::count(many, queue, true, 512);
    done = true;
    window.join();
    EXPECT_FALSE(wentDown);
    EXPECT_EQ(queue.bytesRead(), static_cast<double>(many.size()));
    EXPECT_EQ(parallel.protocols, serial.protocols);
    EXPECT_EQ(parallel.histories, serial.histories);
}

TEST(StatisticsProgressConcurrency, AStopFromAnotherThreadEndsTheRun) {
    const auto many = repeated(statisticSnapshots("GrePackets.cap"), 2000);
    QORSharedMemoryQueue queue;
    std::thread window([&] {
        while (queue.bytesRead() < 100) std::this_thread::yield();
        queue.setShouldTerminate(true);
    });
    bool cancelled = false;
    try {
        (void)ProtocolStatisticCounting::count(many, queue, false, 8);
    } catch (const APIErrorException& e) {
        cancelled = e.code() == APIError::user_cancelled;
    }
    window.join();
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(queue.didTerminate());
    EXPECT_LT(queue.bytesRead(), static_cast<double>(many.size()));  // it ended before the last snapshot
}

}  // namespace
}  // namespace qor::test::statistics
