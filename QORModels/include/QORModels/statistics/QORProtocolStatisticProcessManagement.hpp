#pragma once
// The protocol statistics of one document: packets per protocol, counted on background tasks.

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include "QORCommonTools/PCAPFileHeader.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/statistics/QORProtocolStatisticError.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/Task.hpp"

namespace qor {

class PacketsProvider;
class QORDataCache;
class QORURLNode;

/// The protocol statistics window's model: how many packets of a document carry each protocol.
///
/// A run takes snapshots of the provider's packets on the main thread and counts them off it
/// (`ProtocolStatisticCounting`), reporting progress and taking the request to stop through the
/// shared `QORSharedMemoryQueue` that the window polls.
///
/// Decisions:
/// - `refresh`: true always counts afresh; false gives the kept result when there is one (no
///   work, the queue is left alone) and counts only when there is none.
/// - The result of a run replaces `protocolStatistic` whole (a fresh count of the same packets
///   added to the old one would count them twice); a run that fails or is cancelled leaves it as
///   it was.
/// - The count in the result is the number of packets the statistic was taken over (the
///   snapshots analysed), the base for the window's percentages.
/// - A second `startAnalyzing` while a run has not ended fails with `alreadyAnalyzing`; the
///   running one goes on.
/// - A run starts by putting the queue back to a new state (no progress, no request to stop,
///   not stopped); `shouldTerminate` stops it like `cancelOperations()`, and a run that stops so
///   sets `didTerminate`.
/// - The shared state is the concrete queue, not only its protocol: children add to its count
///   (`appendBytesRead`), which the protocol cannot do without losing additions. A missing queue
///   gives `undefined`.
/// - `filesize` and `pcapFileHeader` are kept for the window (its header line); counting does not
///   read them.
///
/// Thread safety: `startAnalyzing` takes the packets on the main thread (directly when called
/// there, else by waiting for the main queue); the other members may be called from any thread.
class QORProtocolStatisticProcessManagement final : public NSObject {
public:
    /// The statistic and the number of packets it was taken over.
    struct Result {
        ProtocolStatistic statistic;
        std::int64_t count = 0;
    };

    /// Keeps `provider` and `fileCache` weakly; reads the size of the file at the sidebar node's
    /// `url` (nothing when the node has no URL or the file cannot be read).
    QORProtocolStatisticProcessManagement(const std::shared_ptr<PacketsProvider>& provider,
                                          std::shared_ptr<QORSharedMemoryQueue> sharedMemoryQueue,
                                          const std::shared_ptr<QORDataCache>& fileCache,
                                          std::shared_ptr<const QORURLNode> fileNode,
                                          std::optional<PCAPFileHeader> pcapHeader);
    ~QORProtocolStatisticProcessManagement() override;

    /// Starts a run (see the decisions above) and gives its result, or its error: `undefined`
    /// (`QORProtocolStatisticError`) when the provider is gone, the queue is missing, or the
    /// node's URL is absent or not the provider's file; `alreadyAnalyzing`; `missingData` when
    /// no packet gives a snapshot and `user_cancelled` when the run is cancelled
    /// (`APIErrorException`). Every error comes through the future.
    [[nodiscard]] std::future<Result> startAnalyzing(bool refresh);

    /// Counts `snapshots` (`ProtocolStatisticCounting::count`) and gives the statistic; throws
    /// `APIErrorException` with `missingData` for an empty list and `user_cancelled` when
    /// cancelled. Blocks; meant for a background task.
    [[nodiscard]] static ProtocolStatistic analyze(const std::vector<PacketSnapshot>& snapshots,
                                                   QORSharedMemoryQueue& sharedMemory);

    /// Asks the running analysis to stop: sets the queue's `shouldTerminate` and cancels the
    /// run's task. Its future then ends with `user_cancelled`. Nothing else when none runs.
    void cancelOperations();

    /// The last result, nothing before the first run ends.
    [[nodiscard]] std::optional<ProtocolStatistic> protocolStatistic() const;
    /// Whether a run has started and not ended.
    [[nodiscard]] bool isAnalyzing() const;
    [[nodiscard]] const std::shared_ptr<QORSharedMemoryQueue>& sharedMemoryQueue() const { return sharedMemoryQueue_; }
    [[nodiscard]] const std::shared_ptr<const QORURLNode>& fileNode() const { return fileNode_; }
    [[nodiscard]] std::shared_ptr<PacketsProvider> provider() const { return provider_.lock(); }
    [[nodiscard]] std::shared_ptr<QORDataCache> fileCache() const { return fileCache_.lock(); }
    [[nodiscard]] std::optional<double> filesize() const { return filesize_; }
    [[nodiscard]] const std::optional<PCAPFileHeader>& pcapFileHeader() const { return pcapFileHeader_; }
    [[nodiscard]] std::string_view className() const override { return "QORProtocolStatisticProcessManagement"; }

private:
    /// The snapshots of the provider's packets; main thread.
    std::vector<PacketSnapshot> snapshotPackets(const PacketsProvider& provider) const;

    std::shared_ptr<QORSharedMemoryQueue> sharedMemoryQueue_;
    std::weak_ptr<QORDataCache> fileCache_;
    std::shared_ptr<const QORURLNode> fileNode_;
    std::weak_ptr<PacketsProvider> provider_;
    std::optional<double> filesize_;
    std::optional<PCAPFileHeader> pcapFileHeader_;

    mutable std::mutex lock_;  // guards the members below, held only for a copy or a swap
    std::optional<ProtocolStatistic> protocolStatistic_;
    std::int64_t statisticCount_ = 0;
    bool analyzing_ = false;
    Task task_;
};

}  // namespace qor
