// Counting on all cores: no progress report is lost however many chunks report at once.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PlugInPackets.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::statistics {
namespace {

TEST(StatisticsProgressConcurrency, ManyChunksReportEverySnapshotOnce) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    const auto one = TCPStreamReassembler::snapshot(readPackets(capturePath("GrePackets.cap")));
    std::vector<PacketSnapshot> many;
    for (int i = 0; i < 300; ++i) many.insert(many.end(), one.begin(), one.end());  // 8,400 snapshots
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

}  // namespace
}  // namespace qor::test::statistics
