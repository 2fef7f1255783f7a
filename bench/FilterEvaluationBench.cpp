// Filtering an analysed packet list again with another predicate, on one core: what re-filtering
// an open document costs per packet once its packets are analysed.
//
// Reads the capture named by QOR_BENCH_CAPTURE (bench/run.sh passes its generated capture) with
// the library's reader, analyses its first 200,000 packets through the standard plug-in, then
// times PacketFilterEngine::apply with oneTBB limited to one thread.

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <cstdlib>
#include <stdexcept>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace {

constexpr std::size_t kPackets = 200000;

const qor::PacketFilterEngine::PacketList& analysedPackets() {
    static const qor::PacketFilterEngine::PacketList packets = [] {
        const char* path = std::getenv("QOR_BENCH_CAPTURE");
        if (!path) throw std::runtime_error("QOR_BENCH_CAPTURE names no capture");
        if (!std::getenv("QOR_BUILTIN_PLUGINS_DIR")) setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
        qor::MainQueue::shared().bindCurrentThread();
        qor::QORPlugInsController::sharedManager()->activateAndPublish();
        auto bytes = qor::mapFile(path);
        if (!bytes) throw std::runtime_error(std::string("cannot map ") + path);
        auto cache = std::make_shared<qor::MappedFileDataCache>(*bytes);
        std::shared_ptr<qor::QORDataCachingProtocol> slot = cache;
        auto source = std::make_shared<const qor::QORPacket::FileSource>(
            qor::QORPacket::FileSource{path, static_cast<std::int64_t>(qor::systemFileNumber(path).value_or(0))});
        qor::PacketFilterEngine::PacketList list;
        qor::CaptureFileReader::read(*bytes, [&](std::shared_ptr<qor::QORPacket> packet) {
            packet->setDataCache(slot);
            packet->setFileSource(source);
            list.push_back(std::move(packet));
            return list.size() < kPackets;
        });
        // Analysed once, as an open document's packets are after their first filtering.
        (void)qor::PacketFilterEngine().apply(*qor::NSPredicate::predicateWithValue(true), list);
        return list;
    }();
    return packets;
}

void reFilter(benchmark::State& state, const char* format) {
    const auto& packets = analysedPackets();
    const auto predicate = qor::NSPredicate::predicateWithFormat(format);
    tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
    std::size_t matches = 0;
    for (auto _ : state) matches = qor::PacketFilterEngine().apply(*predicate, packets).size();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * packets.size()));
    state.counters["matches"] = static_cast<double>(matches);
}

BENCHMARK_CAPTURE(reFilter, ports, "srcPort == 443 OR dstPort == 443")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reFilter, record, "packetLengthReal > 100 AND captureLength < 1000")->Unit(benchmark::kMillisecond);

}  // namespace
