// The filter engine over analysed packets: matches in list order, progress per evaluated packet,
// several filterings of one fresh list at once (each packet analysed on first access by
// whichever thread reaches it first), and its failures: a platform exception raised while
// evaluating and a task cancelled from another thread become its errors. These run under the
// race checker (make sanitize).

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORPlatform/NSPredicate.hpp"
#include "QORPlatform/Task.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// 20,000 DNS-sized UDP datagrams; every third one goes to port 53, the others to port 5000+i.
PacketList datagrams() {
    PcapBuilder pcap;
    for (std::uint32_t i = 0; i < 20000; ++i) {
        const std::uint16_t port = i % 3 == 0 ? 53 : static_cast<std::uint16_t>(5000 + i % 1000);
        pcap.record(i, 0, ethernetFrame(0x0800, ipv4Packet(17, udpDatagram(40000, port, Data::fromString("payload")))));
    }
    return readPackets(pcap.data());
}

std::vector<std::int64_t> idsOf(const PacketList& packets) {
    std::vector<std::int64_t> ids;
    for (const auto& p : packets) ids.push_back(p->packetId());
    return ids;
}

TEST(FilterEngine, SeveralFilteringsOfOneFreshListMatchInListOrderWithOneProgressStepPerPacket) {
    AnalyzerHarness::shared();
    const PacketList packets = datagrams();  // not analysed yet
    const auto predicate = NSPredicate::predicateWithFormat("dstPort == 53 AND srcPort == 40000");
    std::vector<std::int64_t> results[3];
    QORSharedMemoryQueue progress;
    {
        std::vector<std::jthread> threads;
        for (auto& result : results)
            threads.emplace_back([&] { result = idsOf(PacketFilterEngine().apply(*predicate, packets, &progress)); });
    }
    std::vector<std::int64_t> everyThirdFromOne;
    for (std::int64_t id = 1; id <= 20000; id += 3) everyThirdFromOne.push_back(id);
    for (const auto& result : results) EXPECT_EQ(result, everyThirdFromOne);
    EXPECT_EQ(progress.bytesRead(), 60000.0);
}

TEST(SharedProgress, ConcurrentAdditionsAreNeverLost) {
    QORSharedMemoryQueue progress;
    progress.setBytesRead(7);
    {
        std::jthread a([&] { for (int i = 0; i < 20; ++i) progress.appendBytesRead(50); });
        std::jthread b([&] { for (int i = 0; i < 20; ++i) progress.appendBytesRead(50); });
    }
    EXPECT_EQ(progress.bytesRead(), 2007.0);
}

TEST(FilterEngine, PlatformExceptionsAndCancellationBecomeErrors) {
    AnalyzerHarness::shared();
    const PacketList packets = readPackets(capturePath("many_interfaces-1.pcapng"));
    try {
        (void)PacketFilterEngine().apply(*NSPredicate::predicateWithFormat("dstPort CONTAINS \"5\""), packets);
        ADD_FAILURE() << "a text operator on a number evaluated";
    } catch (const FilterEvaluationError& e) {
        EXPECT_EQ(e.kind(), FilterEvaluationError::Kind::evaluationFailed);
        EXPECT_FALSE(e.reason().empty());
    }
    // A task cancelled before it filters stops before the first packet.
    std::latch cancelled(1);
    bool stopped = false;
    Task task = Task::detached([&] {
        cancelled.wait();
        try {
            (void)PacketFilterEngine().apply(*NSPredicate::predicateWithValue(true), packets);
        } catch (const FilterEvaluationError& e) {
            stopped = e.kind() == FilterEvaluationError::Kind::cancelled;
        } catch (const CancellationError&) {
            stopped = true;
        }
    });
    task.cancel();
    cancelled.count_down();
    task.wait();
    EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace qor::test
