#include "QORModels/analysis/QORAnalyzerCache.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "QORCommonTools/NotificationHelpers.hpp"
#include "QORDependencies/Enumerations.hpp"

namespace qor {

QORAnalyzerCache::QORAnalyzerCache(std::weak_ptr<QORPacketProtocol> packet) {
    _state.withLock([&](auto& s) { s.packet = std::move(packet); });
}

namespace {
/// Clear-analysing-cache notifications posted so far, counted by one process-wide observer.
std::atomic<std::uint64_t> postedClears{0};
}  // namespace

void QORAnalyzerCache::AnalyzerCacheState::catchUp() {
    if (!observing) return;
    std::uint64_t posted = postedClears.load(std::memory_order_acquire);
    if (posted == seenClears) return;
    seenClears = posted;
    if (empty()) return;
    drop();
    packet.reset();
}

QORAnalyzerCache::~QORAnalyzerCache() = default;

template <class F>
decltype(auto) QORAnalyzerCache::update(F&& f) const {
    return _state.withLock([&](AnalyzerCacheState& s) -> decltype(auto) {
        s.catchUp();
        struct Publish {  // after `f`, whichever way it returns
            const QORAnalyzerCache& cache;
            const AnalyzerCacheState& state;
            ~Publish() { cache.publish(state); }
        } publish{*this, s};
        return f(s);
    });
}

void QORAnalyzerCache::publish(const AnalyzerCacheState& s) const {
    std::uint64_t filled = 0;
    if (!s.empty()) filled = s.observing ? s.seenClears + 2 : kFilledUnobserved;
    filled_.store(filled, std::memory_order_release);
}

AnalyzerChain QORAnalyzerCache::analyzersCache() const {
    CompactAnalyzerChain links;
    std::shared_ptr<QORPacketProtocol> owner;
    AnalyzerChain chain = update([&](auto& s) {
        if (!s.analyzersCache && !s.links.empty()) {
            links = s.links;
            owner = s.packet.lock();
        }
        return s.objects();
    });
    if (links.empty()) return chain;
    // Made outside the lock: analyzers may ask their packet for its bytes.
    auto bytes = owner ? owner->data() : std::nullopt;
    const Data& all = bytes ? *bytes : Data::nothingSelected();
    chain.reserve(links.size());
    for (const auto& link : links.links()) {
        auto analyzer = CompactAnalyzerChain::make(link, all, owner);
        if (!analyzer) break;
        chain.push_back(std::move(analyzer));
    }
    return chain;
}

void QORAnalyzerCache::setAnalyzerCache(AnalyzerChain list) {
    update([&](auto& s) {
        s.links.clear();
        s.setObjects(std::move(list));
    });
}

void QORAnalyzerCache::append(const AnalyzerRef& analyzer) {
    if (!analyzer) return;
    AnalyzerChain chain = analyzersCache();
    bool present = std::any_of(chain.begin(), chain.end(), [&](const AnalyzerRef& a) { return a && a->isEqual(*analyzer); });
    if (present) return;
    chain.push_back(analyzer);
    setAnalyzerCache(std::move(chain));
}

void QORAnalyzerCache::append(AnalyzerChain list) { setAnalyzerCache(std::move(list)); }

AnalyzerChain QORAnalyzerCache::storeIfEmpty(AnalyzerChain list, bool* stored) {
    AnalyzerChain unused;  // a chain that lost the race is released outside the lock
    bool kept = false;
    update([&](auto& s) {
        kept = s.empty();
        if (kept) s.setObjects(std::move(list));
        else unused = std::move(list);
    });
    if (stored) *stored = kept;
    return analyzersCache();
}

CompactAnalyzerChain QORAnalyzerCache::storeLinksIfEmpty(CompactAnalyzerChain links, bool* stored) {
    return update([&](auto& s) {
        const bool kept = s.empty();
        if (stored) *stored = kept;
        if (kept) s.links = std::move(links);
        return s.links;
    });
}

CompactAnalyzerChain QORAnalyzerCache::links() const {
    return update([](auto& s) { return s.links; });
}

bool QORAnalyzerCache::storedLinks(CompactAnalyzerChain& out) const {
    return update([&](auto& s) {
        if (s.empty()) return false;
        out = s.links;
        return true;
    });
}

bool QORAnalyzerCache::isEmpty() const {
    // Filled, and no clear notification posted since it last looked: no lock needed.
    const std::uint64_t filled = filled_.load(std::memory_order_acquire);
    if (filled == kFilledUnobserved) return false;
    if (filled > kFilledUnobserved && filled - 2 == postedClears.load(std::memory_order_acquire)) return false;
    return update([](auto& s) { return s.empty(); });
}

void QORAnalyzerCache::clearCache() {
    std::unique_ptr<AnalyzerChain> dropped;  // released outside the lock
    update([&](auto& s) {
        if (s.empty()) return;
        dropped = std::move(s.analyzersCache);
        s.links.clear();
        s.packet.reset();
    });
}

bool QORAnalyzerCache::shouldTerminate() const { return _state.withLock([](auto& s) { return s.shouldTerminate; }); }
void QORAnalyzerCache::setShouldTerminate(bool v) { _state.withLock([&](auto& s) { s.shouldTerminate = v; }); }
bool QORAnalyzerCache::didTerminate() const { return _state.withLock([](auto& s) { return s.didTerminate; }); }
void QORAnalyzerCache::setDidTerminate(bool v) { _state.withLock([&](auto& s) { s.didTerminate = v; }); }

std::shared_ptr<QORPacketProtocol> QORAnalyzerCache::packet() const {
    return update([](auto& s) { return s.packet.lock(); });
}

void QORAnalyzerCache::setPacket(std::weak_ptr<QORPacketProtocol> packet) {
    update([&](auto& s) {
        s.packet = std::move(packet);
    });
}

std::uint64_t QORAnalyzerCache::observedClears() {
    // Once per process; a function-local static rather than std::call_once, which writes two
    // thread-local words on every call, and this runs for every packet analysed.
    static const bool observing = [] {
        addUnsafeObserver(NotificationCenter::defaultCenter(), std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)),
                          nullptr, nullptr,
                          [](const Notification&) { postedClears.fetch_add(1, std::memory_order_acq_rel); });
        return true;
    }();
    (void)observing;
    return postedClears.load(std::memory_order_acquire);
}

std::uint64_t QORAnalyzerCache::clearsPosted() noexcept { return postedClears.load(std::memory_order_acquire); }

void QORAnalyzerCache::setupClearAnalyzingCacheNotificationObservation() {
    (void)observedClears();
    update([](auto& s) {
        if (s.observing) return;
        s.observing = true;
        s.seenClears = postedClears.load(std::memory_order_acquire);
    });
}

void QORAnalyzerCache::adoptLinks(CompactAnalyzerChain links, std::uint64_t clears) {
    (void)observedClears();
    std::unique_ptr<AnalyzerChain> dropped;  // released outside the lock
    update([&](auto& s) {
        dropped = std::move(s.analyzersCache);
        s.links = std::move(links);
        s.observing = true;
        s.seenClears = clears;
        s.catchUp();  // stale already when a clear came between the walk and now
    });
}

}  // namespace qor
