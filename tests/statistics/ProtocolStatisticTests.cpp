// The protocol statistics: the counting rule against each packet's own analysis on real captures,
// unusable packets, stopping, and the statistics process's run rules.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/analysis/PacketsProvider.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/statistics/QORProtocolStatisticProcessManagement.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/support/QORURLNode.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::statistics {
namespace {

/// For each protocol name, how many analyzers of the packets' own chains (each packet analysed
/// as the document analyses it) announce it: what the statistics must find again from snapshots.
ProtocolStatistic announcedByOwnChains(const PacketsProvider::PacketList& packets) {
    ProtocolStatistic counts;
    for (const auto& packet : packets) {
        if (packet->captureLength() < ProtocolStatisticCounting::kMinimumPacketBytes) continue;
        const auto chain = packet->cachedAnalyzers();
        if (!chain) continue;
        for (const auto& analyzer : *chain)
            if (auto name = analyzer->nextProtocol()) ++counts[*name];
    }
    return counts;
}

APIError apiErrorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const APIErrorException& e) {
        return e.code();
    }
    ADD_FAILURE() << "no APIError thrown";
    return APIError::unknown;
}

TEST(ProtocolCounting, AgreesWithEachPacketsOwnChainOnEveryFixtureCapture) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    int counted = 0;
    for (const auto& name : fixtureCaptures()) {
        const auto capture = readCapture(name);
        const auto snapshots = TCPStreamReassembler::snapshot(capture.packets);
        if (snapshots.empty()) continue;
        QORSharedMemoryQueue queue;
        const auto tally = ProtocolStatisticCounting::count(snapshots, queue);
        EXPECT_EQ(tally.protocols, announcedByOwnChains(capture.packets)) << name;
        EXPECT_EQ(queue.bytesRead(), static_cast<double>(snapshots.size())) << name;
        EXPECT_FALSE(queue.didTerminate()) << name;
        EXPECT_TRUE(tally.histories.empty());  // not asked for
        ++counted;
    }
    EXPECT_GE(counted, 25);
}

TEST(ProtocolCounting, TalliesOfTheListsPartsAddUpToTheWholeListsTally) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    for (const auto& name : fixtureCaptures()) {
        const auto snapshots = TCPStreamReassembler::snapshot(readCapture(name).packets);
        if (snapshots.size() < 2) continue;
        QORSharedMemoryQueue queue;
        const auto whole = ProtocolStatisticCounting::count(snapshots, queue, true);
        // Cut at a third: the two parts share protocols and histories, and each has its own.
        const auto cut = snapshots.begin() + static_cast<std::ptrdiff_t>(snapshots.size() / 3 + 1);
        ProtocolTally sum = ProtocolStatisticCounting::count({snapshots.begin(), cut}, queue, true);
        if (cut != snapshots.end()) sum.add(ProtocolStatisticCounting::count({cut, snapshots.end()}, queue, true));
        EXPECT_EQ(sum.protocols, whole.protocols) << name;
        EXPECT_EQ(sum.histories, whole.histories) << name;
        EXPECT_EQ(sum.analysedPackets, whole.analysedPackets) << name;
    }
}

TEST(ProtocolCounting, PacketsWithoutUsableBytesCountNothingButAreProcessed) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    PcapBuilder capture;
    capture.record(1, 0, ethernetFrame(0x0800, ipv4Packet(17, udpDatagram(5000, 5001, Data::fromString("hello")))));
    capture.record(2, 0, Bytes().raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x00}).data());  // 14 bytes: too short
    auto snapshots = TCPStreamReassembler::snapshot(readPackets(capture.data()));
    ASSERT_EQ(snapshots.size(), 2u);
    PacketSnapshot cacheless = snapshots.front();
    cacheless.dataCache = nullptr;
    snapshots.push_back(cacheless);
    QORSharedMemoryQueue queue;
    const auto tally = ProtocolStatisticCounting::count(snapshots, queue, true);
    EXPECT_EQ(tally.analysedPackets, 1);
    EXPECT_EQ(tally.protocols.at("UDP"), 1);
    EXPECT_EQ(queue.bytesRead(), 3.0);
    ASSERT_EQ(tally.histories.size(), 1u);
    EXPECT_EQ(tally.histories.begin()->second, (LayerPathCount{1, 14 + 20 + 8 + 5}));
}

TEST(ProtocolCounting, EmptyListIsMissingData) {
    QORSharedMemoryQueue queue;
    EXPECT_EQ(apiErrorOf([&] { (void)ProtocolStatisticCounting::count({}, queue); }), APIError::missingData);
    EXPECT_EQ(apiErrorOf([&] { (void)QORProtocolStatisticProcessManagement::analyze({}, queue); }), APIError::missingData);
}

// ---- The statistics process ----

struct Document {
    explicit Document(const std::string& captureName, std::size_t times = 1) {
        activatePlugInsOnce();
        MainQueue::shared().bindCurrentThread();
        capture = readCapture(captureName);
        PacketsProvider::PacketList packets;
        for (std::size_t i = 0; i < times; ++i) packets.insert(packets.end(), capture.packets.begin(), capture.packets.end());
        provider = std::make_shared<PacketsProvider>(capturePath(captureName), std::move(packets));
    }
    std::shared_ptr<QORProtocolStatisticProcessManagement> process(std::optional<std::filesystem::path> nodeURL,
                                                                    bool withQueue = true) const {
        return std::make_shared<QORProtocolStatisticProcessManagement>(
            provider, withQueue ? queue : nullptr, provider->fileCache(), std::make_shared<QORURLNode>(NodeType::file, "capture", "capture", std::move(nodeURL)),
            std::nullopt);
    }
    Capture capture;
    std::shared_ptr<PacketsProvider> provider;
    std::shared_ptr<QORSharedMemoryQueue> queue = std::make_shared<QORSharedMemoryQueue>();
};

using Kind = QORProtocolStatisticError::Kind;

/// The kind of error a refreshing run of `process` ends with; a test failure when it ends well.
Kind statisticErrorOf(QORProtocolStatisticProcessManagement& process) {
    try {
        (void)process.startAnalyzing(true).get();
    } catch (const QORProtocolStatisticError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no QORProtocolStatisticError";
    return Kind::alreadyAnalyzing;
}

TEST(StatisticsProcess, IsUndefinedWithoutItsDocument) {
    Document document("one_http_stream_fin.pcap");
    const auto file = capturePath("one_http_stream_fin.pcap");
    for (const auto& process : {document.process(std::nullopt), document.process(capturePath("RADIUS.pcap")), document.process(file, false)})
        EXPECT_EQ(statisticErrorOf(*process), Kind::undefined);
    auto orphan = document.process(file);
    document.provider.reset();
    EXPECT_EQ(statisticErrorOf(*orphan), Kind::undefined);
    EXPECT_FALSE(orphan->protocolStatistic());
}

TEST(StatisticsProcess, CountsTheDocumentAndKeepsTheResultUntilARefresh) {
    Document document("nb6-http.pcap");
    const auto file = capturePath("nb6-http.pcap");
    auto process = document.process(file);
    EXPECT_EQ(process->filesize(), static_cast<double>(std::filesystem::file_size(file)));
    EXPECT_FALSE(process->protocolStatistic());

    document.queue->setShouldTerminate(true);  // left from an earlier run: a new run starts afresh
    const auto first = process->startAnalyzing(false).get();
    EXPECT_EQ(first.statistic, announcedByOwnChains(document.capture.packets));
    EXPECT_EQ(first.count, 62);
    EXPECT_EQ(document.queue->bytesRead(), 62.0);
    EXPECT_EQ(process->protocolStatistic(), first.statistic);

    // Without refresh the kept result comes back and nothing runs.
    document.queue->setBytesRead(7);
    const auto kept = process->startAnalyzing(false).get();
    EXPECT_EQ(kept.statistic, first.statistic);
    EXPECT_EQ(kept.count, 62);
    EXPECT_EQ(document.queue->bytesRead(), 7.0);

    // A refresh counts again and replaces the result (not adding to it).
    const auto again = process->startAnalyzing(true).get();
    EXPECT_EQ(again.statistic, first.statistic);
    EXPECT_EQ(document.queue->bytesRead(), 62.0);
}

TEST(StatisticsProcess, ASecondRunWhileOneIsUnderWayIsAlreadyAnalyzing) {
    Document document("one_http_stream_fin.pcap");
    auto process = document.process(capturePath("one_http_stream_fin.pcap"));
    // Started off the main thread, the first run waits for the main thread to take its
    // snapshots: it is under way until this thread runs the main queue.
    std::atomic<bool> done{false};
    std::optional<QORProtocolStatisticProcessManagement::Result> first;
    std::thread starter([&] {
        first = process->startAnalyzing(true).get();
        done = true;
    });
    while (!process->isAnalyzing()) std::this_thread::yield();
    EXPECT_EQ(statisticErrorOf(*process), Kind::alreadyAnalyzing);
    MainQueue::shared().runUntil([&] { return done.load(); });
    starter.join();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->count, 15);
    EXPECT_FALSE(process->isAnalyzing());
}

TEST(StatisticsProcess, CancellingEndsWithUserCancelledAndKeepsTheLastResult) {
    Document document("nb6-http.pcap", 3000);  // 186,000 packets
    auto process = document.process(capturePath("nb6-http.pcap"));
    const auto kept = process->startAnalyzing(true).get().statistic;

    auto running = process->startAnalyzing(true);
    while (document.queue->bytesRead() < 50 && running.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        std::this_thread::yield();
    process->cancelOperations();
    EXPECT_EQ(apiErrorOf([&] { (void)running.get(); }), APIError::user_cancelled);
    EXPECT_TRUE(document.queue->shouldTerminate());
    EXPECT_TRUE(document.queue->didTerminate());
    EXPECT_EQ(process->protocolStatistic(), kept);
    EXPECT_FALSE(process->isAnalyzing());
}

}  // namespace
}  // namespace qor::test::statistics
