// The protocol statistics process of one document.

#include "QORModels/statistics/QORProtocolStatisticProcessManagement.hpp"

#include <system_error>

#include "QORModels/analysis/PacketsProvider.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/support/QORURLNode.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor {
namespace {

std::optional<double> fileSizeAt(const std::optional<std::filesystem::path>& url) {
    if (!url) return std::nullopt;
    std::error_code error;
    const auto size = std::filesystem::file_size(*url, error);
    if (error) return std::nullopt;
    return static_cast<double>(size);
}

/// Whether two file URLs name the same file: the same path, or (both existing) the same file
/// reached through links or another spelling.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a == b) return true;
    std::error_code error;
    const bool equivalent = std::filesystem::equivalent(a, b, error);
    return !error && equivalent;
}

}  // namespace

QORProtocolStatisticProcessManagement::QORProtocolStatisticProcessManagement(
    const std::shared_ptr<PacketsProvider>& provider, std::shared_ptr<QORSharedMemoryQueue> sharedMemoryQueue,
    const std::shared_ptr<QORDataCache>& fileCache, std::shared_ptr<const QORURLNode> fileNode,
    std::optional<PCAPFileHeader> pcapHeader)
    : sharedMemoryQueue_(std::move(sharedMemoryQueue)),
      fileCache_(fileCache),
      fileNode_(std::move(fileNode)),
      provider_(provider),
      filesize_(fileSizeAt(fileNode_ ? fileNode_->url() : std::nullopt)),
      pcapFileHeader_(std::move(pcapHeader)) {}

QORProtocolStatisticProcessManagement::~QORProtocolStatisticProcessManagement() = default;

std::vector<PacketSnapshot> QORProtocolStatisticProcessManagement::snapshotPackets(const PacketsProvider& provider) const {
    // objects(from:to:) gives each packet the document's file cache when it has none.
    return TCPStreamReassembler::snapshot(provider.objects(0, provider.numberOfItems()));
}

std::future<QORProtocolStatisticProcessManagement::Result> QORProtocolStatisticProcessManagement::startAnalyzing(bool refresh) {
    std::promise<Result> promise;
    auto future = promise.get_future();
    const auto provider = provider_.lock();
    const auto url = fileNode_ ? fileNode_->url() : std::nullopt;
    if (!provider || !url || !sameFile(*url, provider->fileURL()) || !sharedMemoryQueue_) {
        promise.set_exception(std::make_exception_ptr(QORProtocolStatisticError::undefined()));
        return future;
    }
    {
        std::lock_guard guard(lock_);
        if (analyzing_) {
            promise.set_exception(std::make_exception_ptr(QORProtocolStatisticError::alreadyAnalyzing()));
            return future;
        }
        if (!refresh && protocolStatistic_) {
            promise.set_value(Result{*protocolStatistic_, statisticCount_});
            return future;
        }
        analyzing_ = true;
        // Progress 0, and no request to stop left from an earlier run; from here on a request
        // to stop reaches this run.
        sharedMemoryQueue_->reset();
    }

    // The packets are the document's: they are read on the main thread only.
    std::vector<PacketSnapshot> snapshots;
    try {
        snapshots = MainQueue::shared().sync([&] { return snapshotPackets(*provider); });
    } catch (...) {
        std::lock_guard guard(lock_);
        analyzing_ = false;
        promise.set_exception(std::current_exception());
        return future;
    }

    auto self = std::static_pointer_cast<QORProtocolStatisticProcessManagement>(shared_from_this());
    std::lock_guard guard(lock_);  // the task's end waits for the handle to be stored
    task_ = Task::detached([self, snapshots = std::move(snapshots), promise = std::make_shared<std::promise<Result>>(
                                                                         std::move(promise))]() mutable {
        try {
            ProtocolTally tally = ProtocolStatisticCounting::count(snapshots, *self->sharedMemoryQueue_);
            std::vector<PacketSnapshot>().swap(snapshots);  // the snapshots hold the file's cache
            Result result{tally.protocols, tally.analysedPackets};
            {
                std::lock_guard guard(self->lock_);
                self->protocolStatistic_ = std::move(tally.protocols);
                self->statisticCount_ = tally.analysedPackets;
                self->analyzing_ = false;
            }
            promise->set_value(std::move(result));
        } catch (...) {
            {
                std::lock_guard guard(self->lock_);
                self->analyzing_ = false;
            }
            promise->set_exception(std::current_exception());
        }
    });
    return future;
}

ProtocolStatistic QORProtocolStatisticProcessManagement::analyze(const std::vector<PacketSnapshot>& snapshots,
                                                                 QORSharedMemoryQueue& sharedMemory) {
    return ProtocolStatisticCounting::count(snapshots, sharedMemory).protocols;
}

void QORProtocolStatisticProcessManagement::cancelOperations() {
    if (sharedMemoryQueue_) sharedMemoryQueue_->setShouldTerminate(true);
    std::lock_guard guard(lock_);
    if (task_.valid()) task_.cancel();
}

std::optional<ProtocolStatistic> QORProtocolStatisticProcessManagement::protocolStatistic() const {
    std::lock_guard guard(lock_);
    return protocolStatistic_;
}

bool QORProtocolStatisticProcessManagement::isAnalyzing() const {
    std::lock_guard guard(lock_);
    return analyzing_;
}

}  // namespace qor
