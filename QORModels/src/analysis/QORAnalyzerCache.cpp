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
std::atomic<std::uint64_t> clearsPosted{0};
std::once_flag clearObserverOnce;
}  // namespace

void QORAnalyzerCache::AnalyzerCacheState::catchUp() {
    if (!observing) return;
    std::uint64_t posted = clearsPosted.load(std::memory_order_acquire);
    if (posted == seenClears) return;
    seenClears = posted;
    if (analyzersCache.empty()) return;
    analyzersCache.clear();
    packet.reset();
}

QORAnalyzerCache::~QORAnalyzerCache() = default;

AnalyzerChain QORAnalyzerCache::analyzersCache() const {
    return _state.withLock([](auto& s) {
        s.catchUp();
        return s.analyzersCache;
    });
}

void QORAnalyzerCache::setAnalyzerCache(AnalyzerChain list) {
    _state.withLock([&](auto& s) {
        s.catchUp();
        s.analyzersCache = std::move(list);
    });
}

void QORAnalyzerCache::append(const AnalyzerRef& analyzer) {
    if (!analyzer) return;
    _state.withLock([&](auto& s) {
        s.catchUp();
        bool present = std::any_of(s.analyzersCache.begin(), s.analyzersCache.end(),
                                   [&](const AnalyzerRef& a) { return a && a->isEqual(*analyzer); });
        if (!present) s.analyzersCache.push_back(analyzer);
    });
}

void QORAnalyzerCache::append(AnalyzerChain list) { setAnalyzerCache(std::move(list)); }

AnalyzerChain QORAnalyzerCache::storeIfEmpty(AnalyzerChain list, bool* stored) {
    AnalyzerChain unused;  // a chain that lost the race is released outside the lock
    auto kept = _state.withLock([&](auto& s) {
        s.catchUp();
        const bool empty = s.analyzersCache.empty();
        if (stored) *stored = empty;
        if (empty) s.analyzersCache = std::move(list);
        else unused = std::move(list);
        return s.analyzersCache;
    });
    return kept;
}

void QORAnalyzerCache::clearCache() {
    AnalyzerChain dropped;  // released outside the lock
    _state.withLock([&](auto& s) {
        s.catchUp();
        if (s.analyzersCache.empty()) return;
        dropped.swap(s.analyzersCache);
        s.packet.reset();
    });
}

bool QORAnalyzerCache::shouldTerminate() const { return _state.withLock([](auto& s) { return s.shouldTerminate; }); }
void QORAnalyzerCache::setShouldTerminate(bool v) { _state.withLock([&](auto& s) { s.shouldTerminate = v; }); }
bool QORAnalyzerCache::didTerminate() const { return _state.withLock([](auto& s) { return s.didTerminate; }); }
void QORAnalyzerCache::setDidTerminate(bool v) { _state.withLock([&](auto& s) { s.didTerminate = v; }); }

std::shared_ptr<QORPacketProtocol> QORAnalyzerCache::packet() const {
    return _state.withLock([](auto& s) {
        s.catchUp();
        return s.packet.lock();
    });
}

void QORAnalyzerCache::setPacket(std::weak_ptr<QORPacketProtocol> packet) {
    _state.withLock([&](auto& s) {
        s.catchUp();
        s.packet = std::move(packet);
    });
}

void QORAnalyzerCache::setupClearAnalyzingCacheNotificationObservation() {
    std::call_once(clearObserverOnce, [] {
        addUnsafeObserver(NotificationCenter::defaultCenter(), std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)),
                          nullptr, nullptr,
                          [](const Notification&) { clearsPosted.fetch_add(1, std::memory_order_acq_rel); });
    });
    _state.withLock([](auto& s) {
        if (s.observing) return;
        s.observing = true;
        s.seenClears = clearsPosted.load(std::memory_order_acquire);
    });
}

}  // namespace qor
