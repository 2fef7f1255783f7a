// Classifying the packets of a trace on all cores, then grouping their events into sessions.

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"

#include <tbb/blocked_range.h>

#include <atomic>

#include "QORPlatform/Task.hpp"
#include "../support/ObservedParallelFor.hpp"

namespace qor {

std::vector<SubscriberSession> SubscriberSessionBuilder::buildSessions(std::size_t count, const PacketSource& source) {
    // Big enough that a batch's classifier and result list are lost in its work, small enough
    // that the batches spread evenly over the workers.
    constexpr std::size_t kBatch = 512;
    const std::size_t batches = (count + kBatch - 1) / kBatch;
    std::vector<std::vector<RawSessionEvent>> results(batches);
    const auto cancelled = Task::currentCancellationFlag();
    std::atomic<bool> stopped{false};
    observedParallelFor(tbb::blocked_range<std::size_t>(0, batches, 1), [&](const tbb::blocked_range<std::size_t>& range) {
        SessionClassifier classifier;
        for (std::size_t b = range.begin(); b != range.end(); ++b) {
            if (stopped.load(std::memory_order_relaxed)) return;
            if (cancelled && cancelled->load(std::memory_order_relaxed)) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const std::size_t begin = b * kBatch, end = std::min(count, begin + kBatch);
            auto& out = results[b];
            for (std::size_t i = begin; i < end; ++i) {
                auto packet = source(i);
                if (!packet) continue;
                if (auto event = classifier.classify(*packet)) out.push_back(std::move(*event));
            }
        }
    });
    if (stopped.load() || (cancelled && cancelled->load())) return {};
    std::size_t total = 0;
    for (const auto& batch : results) total += batch.size();
    std::vector<RawSessionEvent> events;
    events.reserve(total);
    for (auto& batch : results) {
        std::move(batch.begin(), batch.end(), std::back_inserter(events));
        std::vector<RawSessionEvent>().swap(batch);
    }
    return group(std::move(events));
}

std::vector<SubscriberSession> SubscriberSessionBuilder::buildSessions(const std::vector<PacketSnapshot>& snapshots) {
    return buildSessions(snapshots.size(), [&](std::size_t i) -> std::optional<SessionPacket> {
        const PacketSnapshot& snapshot = snapshots[i];
        auto bytes = snapshot.bytes();
        if (!bytes) return std::nullopt;
        return SessionPacket{snapshot.packetId,  snapshot.dateReceived, snapshot.captureLength, snapshot.realLength,
                             snapshot.linkType,  snapshot.linkTypeString, std::move(*bytes)};
    });
}

}  // namespace qor
