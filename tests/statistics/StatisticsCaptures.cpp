#include "StatisticsCaptures.hpp"

#include "AnalyzerHarness.hpp"
#include "PlugInPackets.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {

std::vector<PacketSnapshot> statisticSnapshots(const std::string& captureName) {
    activatePlugInsOnce();
    MainQueue::shared().bindCurrentThread();
    return TCPStreamReassembler::snapshot(readPackets(capturePath(captureName)));
}

std::vector<PacketSnapshot> repeated(const std::vector<PacketSnapshot>& snapshots, std::size_t times) {
    std::vector<PacketSnapshot> all;
    all.reserve(snapshots.size() * times);
    for (std::size_t i = 0; i < times; ++i) all.insert(all.end(), snapshots.begin(), snapshots.end());
    return all;
}

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

}  // namespace qor::test
