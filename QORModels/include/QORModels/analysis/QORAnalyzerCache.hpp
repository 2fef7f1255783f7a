#pragma once
// The per-packet store of analyzers.

#include <cstdint>
#include <memory>

#include "QORDependencies/QORAnalyzerCacheProcotol.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// Holds one packet's analyzer chain. Every access to the state takes the cache's own lock for
/// the access only; any thread may call it, and the clear notification may arrive on any thread.
///
/// Hearing the clear-analysing-cache notification: rather than one notification-centre observer
/// per packet (a million registrations for a large capture, each an allocation under the
/// centre's lock), one process-wide observer counts the notifications, and each observing cache
/// applies the clears it has not yet seen at its next access. What a caller sees is the same: once
/// the notification has been posted, the cache reads empty and has dropped its packet reference;
/// the analyzer objects themselves are released at that next access.
class QORAnalyzerCache final : public NSObject, public QORAnalyzerCacheProcotol {
public:
    explicit QORAnalyzerCache(std::weak_ptr<QORPacketProtocol> packet = {});
    ~QORAnalyzerCache() override;

    [[nodiscard]] AnalyzerChain analyzersCache() const override;
    void setAnalyzerCache(AnalyzerChain list) override;
    /// Appends unless an equal analyzer (object equality) is already there.
    void append(const AnalyzerRef& analyzer) override;
    /// Replaces the whole cache with the list.
    void append(AnalyzerChain list) override;
    /// Stores `list` when the cache is empty and gives the chain the cache holds afterwards: `list`
    /// itself, or the chain another thread stored first. Lets concurrent analyses of one packet
    /// agree on one chain. `stored`, when given, learns whether `list` was the one kept.
    AnalyzerChain storeIfEmpty(AnalyzerChain list, bool* stored = nullptr);
    /// Empties a non-empty cache and drops its packet reference; an empty cache keeps it.
    void clearCache() override;
    [[nodiscard]] bool shouldTerminate() const override;
    void setShouldTerminate(bool value) override;
    [[nodiscard]] bool didTerminate() const override;
    void setDidTerminate(bool value) override;
    /// Observes the clear-analysing-cache notification once (later calls do nothing).
    void setupClearAnalyzingCacheNotificationObservation() override;

    [[nodiscard]] std::shared_ptr<QORPacketProtocol> packet() const;
    void setPacket(std::weak_ptr<QORPacketProtocol> packet);
    [[nodiscard]] std::string_view className() const override { return "QORAnalyzerCache"; }

private:
    struct AnalyzerCacheState {
        AnalyzerChain analyzersCache;
        bool shouldTerminate = false;
        bool didTerminate = false;
        std::weak_ptr<QORPacketProtocol> packet;
        bool observing = false;       // set up to hear the clear notification
        std::uint64_t seenClears = 0; // clear notifications already applied
        /// Applies clear notifications posted since the last access (see the class comment).
        void catchUp();
    };
    mutable Locked<AnalyzerCacheState> _state;
};

}  // namespace qor
