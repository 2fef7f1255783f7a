// The counting rule of the protocol statistics, one oneTBB task per chunk of snapshots.

#include "QORModels/statistics/ProtocolStatisticCounting.hpp"

#include <tbb/blocked_range.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <unordered_map>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORPlatform/Task.hpp"
#include "../streams/SnapshotAnalysis.hpp"

namespace qor::ProtocolStatisticCounting {
namespace {

constexpr const char* kLogTag = "QORModels/QORProtocolStatisticProcessManagement";
/// Snapshots between two releases of the mapped pages a chunk has passed.
constexpr std::size_t kReleaseStride = 4096;

/// The pages of a mapped capture file behind a chunk's pass, from the chunk's first packet on;
/// nothing when its bytes are not such a mapping.
std::optional<PassedPagesRelease> passedPagesOf(const PacketSnapshot& first) {
    const auto* cache = dynamic_cast<const MappedFileDataCache*>(first.dataCache.get());
    const auto bytes = cache ? first.bytes() : std::nullopt;
    const auto region = bytes ? mappedFileRegion(cache->fileBytes()) : std::nullopt;
    if (!region) return std::nullopt;
    const std::byte* start = bytes->span().data();
    return PassedPagesRelease(std::span<const std::byte>(start, region->wholeFile.data() + region->wholeFile.size()), true);
}

/// One chunk's counts, keyed by interned text: no text is copied or hashed per packet.
struct ChunkTally {
    /// Few names, met in about the same order packet after packet: a short list beats a hash.
    std::vector<std::pair<InternedString, std::int64_t>> protocols;
    std::unordered_map<const void*, LayerPathCount> histories;
    std::int64_t analysed = 0;

    void countProtocol(InternedString name) {
        for (auto& [known, n] : protocols) {
            if (known == name) {
                ++n;
                return;
            }
        }
        protocols.emplace_back(name, 1);
    }
};

/// Whether the run must stop: its task was cancelled or the window asked it to.
bool stopRequested(const std::shared_ptr<std::atomic<bool>>& cancelled, const QORSharedMemoryQueue& queue) {
    return (cancelled && cancelled->load(std::memory_order_relaxed)) || queue.shouldTerminate();
}

}  // namespace

std::size_t chunkSize(std::size_t snapshotCount, std::size_t processors) {
    const std::size_t perChunkDivisor = std::max<std::size_t>(1, processors) * 4;
    return std::max<std::size_t>(1, (snapshotCount + perChunkDivisor - 1) / perChunkDivisor);
}

std::size_t activeProcessorCount() {
    return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

ProtocolTally count(const std::vector<PacketSnapshot>& snapshots, QORSharedMemoryQueue& sharedMemory, bool withHistories,
                    std::size_t processors) {
    if (snapshots.empty()) throw APIErrorException(APIError::missingData, "no packets to count");
    const std::size_t size = chunkSize(snapshots.size(), processors);
    const std::size_t chunks = (snapshots.size() + size - 1) / size;
    std::vector<ChunkTally> tallies(chunks);
    const auto cancelled = Task::currentCancellationFlag();
    std::atomic<bool> stopped{false};

    auto countChunk = [&](std::size_t chunk) {
        ChunkTally& tally = tallies[chunk];
        SnapshotAnalyser analyser;
        const std::size_t begin = chunk * size, end = std::min(snapshots.size(), begin + size);
        ChunkProgress progress([&](std::int64_t n) { sharedMemory.appendBytesRead(static_cast<double>(n)); });
        // A chunk reads its packets front to back: the pages it has passed leave resident memory
        // (they stay in the page cache), so a count holds a few pages per chunk, not the file.
        std::optional<PassedPagesRelease> pages = begin < end ? passedPagesOf(snapshots[begin]) : std::nullopt;
        const std::byte* passed = nullptr;
        for (std::size_t i = begin; i < end; ++i) {
            if (stopped.load(std::memory_order_relaxed) || stopRequested(cancelled, sharedMemory)) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const PacketSnapshot& snapshot = snapshots[i];
            if (i + PacketSnapshot::kPrefetchDistance < end) snapshots[i + PacketSnapshot::kPrefetchDistance].prefetch();
            try {
                if (auto found = analyser.announcements(snapshot, kMinimumPacketBytes)) {
                    ++tally.analysed;
                    passed = found->bytes.data() + found->bytes.size();
                    for (const InternedString name : found->nextProtocols)
                        if (name.hasValue()) tally.countProtocol(name);
                    if (withHistories && found->history.hasValue() && !found->history.view().empty()) {
                        LayerPathCount& path = tally.histories[found->history.identity()];
                        ++path.frames;
                        path.bytes += snapshot.realLength;
                    }
                }
            } catch (const std::exception& e) {
                // An analyzer that fails on its bytes costs the packet, not the run.
                QOR_LOG(kLogTag, e.what());
            }
            progress.advance();
            if (pages && passed && (i - begin) % kReleaseStride == kReleaseStride - 1) pages->doneUpTo(passed);
        }
        progress.finish();
    };
    observedParallelFor(tbb::blocked_range<std::size_t>(0, chunks, 1), [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t chunk = range.begin(); chunk != range.end(); ++chunk) countChunk(chunk);
    });
    // A request that comes once every chunk has ended is too late to stop anything: the count stands.
    if (stopped.load()) {
        sharedMemory.setDidTerminate(true);
        throw APIErrorException(APIError::user_cancelled);
    }

    // Names are merged by their text; interned text lives as long as the process.
    ProtocolTally result;
    std::unordered_map<const void*, LayerPathCount> histories;
    for (const ChunkTally& tally : tallies) {
        result.analysedPackets += tally.analysed;
        for (const auto& [name, n] : tally.protocols) result.protocols[std::string(name.view())] += n;
        for (const auto& [history, counted] : tally.histories) histories[history] += counted;
    }
    for (const auto& [history, counted] : histories)
        result.histories.emplace(std::string(InternedString::fromIdentity(history).view()), counted);
    return result;
}

}  // namespace qor::ProtocolStatisticCounting

namespace qor {

void ProtocolTally::add(const ProtocolTally& other) {
    analysedPackets += other.analysedPackets;
    for (const auto& [name, n] : other.protocols) protocols[name] += n;
    for (const auto& [history, counted] : other.histories) histories[history] += counted;
}

}  // namespace qor
