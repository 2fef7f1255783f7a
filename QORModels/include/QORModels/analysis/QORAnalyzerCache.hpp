#pragma once
// The per-packet store of analyzers.

#include <atomic>
#include <cstdint>
#include <memory>

#include "QORDependencies/QORAnalyzerCacheProcotol.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/UnfairLock.hpp"

namespace qor {

/// Holds one packet's analyzer chain. Every access to the state takes the cache's own lock for
/// the access only, except `isEmpty` on a filled cache (see `filled_`); any thread may call it,
/// and the clear notification may arrive on any thread.
///
/// Hearing the clear-analysing-cache notification: rather than one notification-centre observer
/// per packet (a million registrations for a large capture, each an allocation under the
/// centre's lock), one process-wide observer counts the notifications, and each observing cache
/// applies the clears it has not yet seen at its next access. What a caller sees is the same: once
/// the notification has been posted, the cache reads empty and has dropped its packet reference;
/// the analyzer objects themselves are released at that next access.
///
/// What the walk of the packet's own analysis stores is its links (`CompactAnalyzerChain`): a
/// few bytes per analyzer. `analyzersCache()` makes the analyzers from them, from the packet's
/// bytes, each time it is asked (they answer exactly as the ones the walk saw); a chain handed in
/// whole (`setAnalyzerCache`, `append`) is kept as the objects it is.
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
    /// The same for a walk's links: stores them when the cache is empty; `stored` learns whether
    /// they were kept. Gives the links the cache holds afterwards (empty when it holds objects).
    CompactAnalyzerChain storeLinksIfEmpty(CompactAnalyzerChain links, bool* stored = nullptr);
    /// The stored links (empty when the cache is empty or holds analyzer objects).
    [[nodiscard]] CompactAnalyzerChain links() const;
    /// Whether the cache holds a chain (links or objects).
    [[nodiscard]] bool isEmpty() const;
    /// `!isEmpty()` and, when it holds a chain, its stored links in `out` (left empty when it
    /// holds objects), under one lock: a packet asking for its chain again finds it in one step.
    bool storedLinks(CompactAnalyzerChain& out) const;
    /// Empties a non-empty cache and drops its packet reference; an empty cache keeps it.
    void clearCache() override;
    [[nodiscard]] bool shouldTerminate() const override;
    void setShouldTerminate(bool value) override;
    [[nodiscard]] bool didTerminate() const override;
    void setDidTerminate(bool value) override;
    /// Observes the clear-analysing-cache notification once (later calls do nothing).
    void setupClearAnalyzingCacheNotificationObservation() override;

    /// Stores `links` as a walk's chain stored when `clears` clear notifications had been posted
    /// (they read empty once another is posted), replacing what the cache holds. A packet that
    /// kept its walk's links itself hands them over this way when its cache is first made.
    void adoptLinks(CompactAnalyzerChain links, std::uint64_t clears);
    /// The clear-analysing-cache notifications posted so far in this process. `observedClears`
    /// also sets up, once, the process-wide observer that counts them (`clearsPosted` alone
    /// only reads the count).
    static std::uint64_t observedClears();
    static std::uint64_t clearsPosted() noexcept;

    [[nodiscard]] std::shared_ptr<QORPacketProtocol> packet() const;
    void setPacket(std::weak_ptr<QORPacketProtocol> packet);
    [[nodiscard]] std::string_view className() const override { return "QORAnalyzerCache"; }

private:
    struct AnalyzerCacheState {
        /// A chain handed in whole (rare: most packets hold only their walk's links).
        std::unique_ptr<AnalyzerChain> analyzersCache;
        CompactAnalyzerChain links;
        bool shouldTerminate = false;
        bool didTerminate = false;
        std::weak_ptr<QORPacketProtocol> packet;
        bool observing = false;       // set up to hear the clear notification
        std::uint64_t seenClears = 0; // clear notifications already applied
        /// Applies clear notifications posted since the last access (see the class comment).
        void catchUp();
        [[nodiscard]] bool empty() const { return (!analyzersCache || analyzersCache->empty()) && links.empty(); }
        [[nodiscard]] AnalyzerChain objects() const { return analyzersCache ? *analyzersCache : AnalyzerChain(); }
        void setObjects(AnalyzerChain list) {
            if (list.empty()) analyzersCache.reset();
            else analyzersCache = std::make_unique<AnalyzerChain>(std::move(list));
        }
        void drop() {
            analyzersCache.reset();
            links.clear();
        }
    };
    mutable Locked<AnalyzerCacheState> _state;

    /// What `isEmpty` can tell without the lock: 0 when the cache may be empty (it asks under
    /// the lock), `kFilledUnobserved` when it holds a chain and hears no clear notification, and
    /// otherwise, when it holds a chain, the clear notifications it has applied plus 2: it is
    /// still filled as long as no other notification has been posted. Analysis and filtering ask
    /// every packet whether it is analysed, so the answer for an analysed packet takes no lock.
    mutable std::atomic<std::uint64_t> filled_{0};
    static constexpr std::uint64_t kFilledUnobserved = 1;
    /// Notes in `filled_` what `s` holds; called under the lock after every change.
    void publish(const AnalyzerCacheState& s) const;
    /// Runs `f` on the state under the lock, after applying the clear notifications it has not
    /// seen, and publishes the state it leaves.
    template <class F>
    decltype(auto) update(F&& f) const;
};

}  // namespace qor
