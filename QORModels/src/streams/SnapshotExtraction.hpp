#pragma once
// Extracting one record per snapshot (or per index) on all cores, with progress and cancellation.

#include <tbb/blocked_range.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORPlatform/Task.hpp"
#include "SnapshotAnalysis.hpp"

namespace qor {

/// Counts results and reports progress when they reach the next 0.5 % of the snapshots (results
/// arrive a batch at a time, so a small list hears of every batch), then once at the end.
/// Thread-safe; the callback is never run twice at once, and the counts it hears never go down.
class ExtractionProgress {
public:
    ExtractionProgress(const SnapshotProgress& onProgress, std::size_t total)
        : onProgress_(onProgress), total_(static_cast<std::int64_t>(total)), step_(static_cast<double>(total) * 0.005),
          threshold_(step_) {}

    /// `count` more results are in.
    void add(std::size_t count) {
        if (!onProgress_) return;
        std::lock_guard guard(lock_);
        done_ += static_cast<std::int64_t>(count);
        if (step_ > 0) {
            if (static_cast<double>(done_) < threshold_) return;
            while (threshold_ <= static_cast<double>(done_)) threshold_ += step_;
        }
        onProgress_(done_, total_);
    }
    /// All results are in.
    void finish() {
        if (!onProgress_) return;
        std::lock_guard guard(lock_);
        onProgress_(done_, total_);
    }

private:
    const SnapshotProgress& onProgress_;
    std::mutex lock_;
    std::int64_t total_;
    std::int64_t done_ = 0;
    double step_;
    double threshold_;
};

/// Runs `extract(worker, i)` (giving an optional record) for every index below `count` on oneTBB's
/// workers, in batches of consecutive indices with one default-made `Worker` per batch, and gives
/// the records in index order. Nothing when the calling task is cancelled before the end.
template <class Record, class Worker, class Extract>
std::optional<std::vector<Record>> extractInBatches(std::size_t count, const SnapshotProgress& onProgress, const Extract& extract) {
    // Big enough that a batch's worker and result list are lost in its work, small enough that
    // the batches spread evenly over the workers.
    constexpr std::size_t kBatch = 512;
    const std::size_t batches = (count + kBatch - 1) / kBatch;
    std::vector<std::vector<Record>> results(batches);
    ExtractionProgress progress(onProgress, count);
    const auto cancelled = Task::currentCancellationFlag();
    std::atomic<bool> stopped{false};
    observedParallelFor(tbb::blocked_range<std::size_t>(0, batches, 1), [&](const tbb::blocked_range<std::size_t>& range) {
        Worker worker;
        for (std::size_t b = range.begin(); b != range.end(); ++b) {
            if (stopped.load(std::memory_order_relaxed)) return;
            if (cancelled && cancelled->load(std::memory_order_relaxed)) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const std::size_t begin = b * kBatch, end = std::min(count, begin + kBatch);
            auto& out = results[b];
            out.reserve(end - begin);
            for (std::size_t i = begin; i < end; ++i) {
                if (auto record = extract(worker, i)) out.push_back(std::move(*record));
            }
            progress.add(end - begin);
        }
    });
    if (stopped.load() || (cancelled && cancelled->load())) return std::nullopt;
    progress.finish();
    std::size_t total = 0;
    for (const auto& batch : results) total += batch.size();
    std::vector<Record> all;
    all.reserve(total);
    for (auto& batch : results) {
        std::move(batch.begin(), batch.end(), std::back_inserter(all));
        std::vector<Record>().swap(batch);
    }
    return all;
}

/// `extract(analyser, snapshot)` over every snapshot, one `SnapshotAnalyser` per batch.
template <class Record, class Extract>
std::optional<std::vector<Record>> extractInBatches(const std::vector<PacketSnapshot>& snapshots,
                                                    const SnapshotProgress& onProgress, const Extract& extract) {
    return extractInBatches<Record, SnapshotAnalyser>(snapshots.size(), onProgress, [&](SnapshotAnalyser& analyser, std::size_t i) {
        if (i + PacketSnapshot::kPrefetchDistance < snapshots.size()) snapshots[i + PacketSnapshot::kPrefetchDistance].prefetch();
        return extract(analyser, snapshots[i]);
    });
}

/// Adds `records` to `groups` in order, and gives the group that took the first record of packet
/// `selectedPacketId`, when one did.
template <class Groups, class Record>
std::optional<std::size_t> addNotingPacket(Groups& groups, std::vector<Record>&& records, std::int64_t selectedPacketId) {
    std::optional<std::size_t> selected;
    for (auto& record : records) {
        const bool isSelected = record.packetId == selectedPacketId;
        const std::size_t position = groups.add(std::move(record));
        if (isSelected && !selected) selected = position;
    }
    std::vector<Record>().swap(records);
    return selected;
}

}  // namespace qor
