#pragma once
// The progress and stop state that a long operation shares with the window that shows it.

#include <atomic>

#include "QORDependencies/QORSharedMemoryProtocol.hpp"

namespace qor {

/// How far a long background operation is (`bytesRead`, in the unit the operation chooses:
/// packets evaluated by a display filter, packets counted by the protocol statistics), whether
/// the user asked it to stop (`shouldTerminate`) and whether it has stopped (`didTerminate`).
///
/// Every operation is atomic: concurrent `appendBytesRead` calls from many worker threads never
/// lose an addition, and a reader sees each update whole. The object is shared between the
/// operation and its window through `std::shared_ptr`; the contract's `progress`/`shouldStop`
/// are `bytesRead`/`shouldTerminate` under their contract names.
class QORSharedMemoryQueue final : public QORSharedMemoryProtocol {
public:
    QORSharedMemoryQueue() = default;

    void setBytesRead(double value) { bytesRead_.store(value, std::memory_order_relaxed); }
    void appendBytesRead(double value) { bytesRead_.fetch_add(value, std::memory_order_relaxed); }
    void setShouldTerminate(bool flag) { shouldTerminate_.store(flag, std::memory_order_release); }
    void setDidTerminate(bool flag) { didTerminate_.store(flag, std::memory_order_release); }
    [[nodiscard]] double bytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }
    [[nodiscard]] bool shouldTerminate() const { return shouldTerminate_.load(std::memory_order_acquire); }
    [[nodiscard]] bool didTerminate() const { return didTerminate_.load(std::memory_order_acquire); }

    [[nodiscard]] double progress() const override { return bytesRead(); }
    void setProgress(double value) override { setBytesRead(value); }
    [[nodiscard]] bool shouldStop() const override { return shouldTerminate(); }
    void setShouldStop(bool value) override { setShouldTerminate(value); }
    /// Back to the state of a new object: no progress, no request to stop, not stopped.
    void reset() override {
        setBytesRead(0);
        setShouldTerminate(false);
        setDidTerminate(false);
    }

private:
    std::atomic<double> bytesRead_{0};
    std::atomic<bool> shouldTerminate_{false};
    std::atomic<bool> didTerminate_{false};
};

}  // namespace qor
