#pragma once
// Counting the protocols that the packets of a document carry, on every core.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "QORModels/streams/PacketSnapshot.hpp"

namespace qor {

class QORSharedMemoryQueue;

/// Protocol name to number of packets that carry it.
using ProtocolStatistic = std::map<std::string, std::int64_t>;

/// The packets and bytes (lengths on the wire) of one protocol history ("ETH-IP-TCP").
struct LayerPathCount {
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
    LayerPathCount& operator+=(const LayerPathCount& other) {
        frames += other.frames;
        bytes += other.bytes;
        return *this;
    }
    friend bool operator==(const LayerPathCount&, const LayerPathCount&) = default;
};

/// What one counting run found.
struct ProtocolTally {
    /// For every protocol name that some analyzer of a packet's chain announces as carried after
    /// it (`nextProtocol()`), the number of such announcements: one per packet and layer, so a
    /// packet with two IP headers adds two to the name its link and outer IP layers announce.
    ProtocolStatistic protocols;
    /// Packets and bytes per protocol history (only when asked for; packets whose walk gives no
    /// history are left out).
    std::map<std::string, LayerPathCount> histories;
    /// The snapshots whose bytes could be read and analysed.
    std::int64_t analysedPackets = 0;

    /// Adds the counts of `other` (a run over other snapshots) to these: the tally of two runs
    /// is the tally one run over both lists gives.
    void add(const ProtocolTally& other);
};

/// The counting rule of the protocol statistics, over packet snapshots.
///
/// The snapshots are cut into consecutive chunks of `chunkSize` snapshots, one oneTBB task per
/// chunk. A chunk analyses its snapshots in order, each again from its bytes through the packet
/// analysis pipeline, exactly as stream reassembly does (a packet record of its own and a
/// `CacheAnalyzer` walk; a snapshot with fewer than 20 bytes, or none, contributes nothing), and
/// counts every protocol name that an analyzer of the chain announces. Progress goes to the
/// shared queue's `bytesRead`, in packets: 50 after every 50 snapshots of a chunk, and the rest
/// when the chunk ends.
///
/// Cancellation: the run stops between two snapshots when the task it runs in (`Task`) is
/// cancelled or the queue's `shouldTerminate` is set (the window's request to stop), and throws
/// `APIErrorException(user_cancelled)`; the queue's `didTerminate` is then set. An empty list
/// throws `APIErrorException(missingData)`.
///
/// Memory: when the snapshots read a memory-mapped capture file (`MappedFileDataCache`), each
/// chunk lets go of the file's pages behind it as it moves on; they stay in the system's page
/// cache, so a count holds a few pages per chunk rather than the whole file.
///
/// Stateless; calls from several threads at once are independent (they share the queue only).
namespace ProtocolStatisticCounting {

/// Snapshots per progress report.
inline constexpr std::int64_t kProgressStep = 50;
/// The fewest bytes a snapshot must have to be analysed (as for TCP extraction).
inline constexpr std::size_t kMinimumPacketBytes = 20;

/// The progress reports of one chunk: `report(50)` after every 50 snapshots, and the number
/// since the last report when the chunk ends (when not 0). One per chunk, used by one thread.
template <class Report>
class ChunkProgress {
public:
    explicit ChunkProgress(Report report) : report_(std::move(report)) {}
    /// One more snapshot of the chunk is done.
    void advance() {
        if (++sinceReport_ == kProgressStep) {
            report_(kProgressStep);
            sinceReport_ = 0;
        }
    }
    /// The chunk has ended.
    void finish() {
        if (sinceReport_ != 0) report_(sinceReport_);
        sinceReport_ = 0;
    }

private:
    Report report_;
    std::int64_t sinceReport_ = 0;
};

/// `max(1, ceil(n / (p × 4)))` for `n` snapshots and `p` processors (0 counts as 1): about four
/// chunks per processor.
[[nodiscard]] std::size_t chunkSize(std::size_t snapshotCount, std::size_t processors);
/// The processors the work spreads over: oneTBB's concurrency for the calling thread, at least 1.
[[nodiscard]] std::size_t activeProcessorCount();

/// Counts `snapshots` as above, with `processors` in the chunk rule. `withHistories` also
/// tallies each packet's protocol history with its frame and byte counts.
[[nodiscard]] ProtocolTally count(const std::vector<PacketSnapshot>& snapshots, QORSharedMemoryQueue& sharedMemory,
                                  bool withHistories = false, std::size_t processors = activeProcessorCount());

}  // namespace ProtocolStatisticCounting

}  // namespace qor
