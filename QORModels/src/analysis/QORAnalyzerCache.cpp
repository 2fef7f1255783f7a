#include "QORModels/analysis/QORAnalyzerCache.hpp"

#include <algorithm>

#include "QORCommonTools/NotificationHelpers.hpp"
#include "QORDependencies/Enumerations.hpp"

namespace qor {

QORAnalyzerCache::QORAnalyzerCache(std::weak_ptr<QORPacketProtocol> packet) {
    _state.withLock([&](auto& s) { s.packet = std::move(packet); });
}

QORAnalyzerCache::~QORAnalyzerCache() {
    auto token = _state.withLock([](auto& s) { return std::move(s.clearAnalyzingCacheObserver); });
    if (token) NotificationCenter::defaultCenter().removeObserver(token);
}

AnalyzerChain QORAnalyzerCache::analyzersCache() const {
    return _state.withLock([](const auto& s) { return s.analyzersCache; });
}

void QORAnalyzerCache::setAnalyzerCache(AnalyzerChain list) {
    _state.withLock([&](auto& s) { s.analyzersCache = std::move(list); });
}

void QORAnalyzerCache::append(const AnalyzerRef& analyzer) {
    if (!analyzer) return;
    _state.withLock([&](auto& s) {
        bool present = std::any_of(s.analyzersCache.begin(), s.analyzersCache.end(),
                                   [&](const AnalyzerRef& a) { return a && a->isEqual(*analyzer); });
        if (!present) s.analyzersCache.push_back(analyzer);
    });
}

void QORAnalyzerCache::append(AnalyzerChain list) { setAnalyzerCache(std::move(list)); }

AnalyzerChain QORAnalyzerCache::storeIfEmpty(AnalyzerChain list) {
    return _state.withLock([&](auto& s) {
        if (s.analyzersCache.empty()) s.analyzersCache = std::move(list);
        return s.analyzersCache;
    });
}

void QORAnalyzerCache::clearCache() {
    AnalyzerChain dropped;  // released outside the lock
    _state.withLock([&](auto& s) {
        if (s.analyzersCache.empty()) return;
        dropped.swap(s.analyzersCache);
        s.packet.reset();
    });
}

bool QORAnalyzerCache::shouldTerminate() const { return _state.withLock([](const auto& s) { return s.shouldTerminate; }); }
void QORAnalyzerCache::setShouldTerminate(bool v) { _state.withLock([&](auto& s) { s.shouldTerminate = v; }); }
bool QORAnalyzerCache::didTerminate() const { return _state.withLock([](const auto& s) { return s.didTerminate; }); }
void QORAnalyzerCache::setDidTerminate(bool v) { _state.withLock([&](auto& s) { s.didTerminate = v; }); }

std::shared_ptr<QORPacketProtocol> QORAnalyzerCache::packet() const {
    return _state.withLock([](const auto& s) { return s.packet.lock(); });
}

void QORAnalyzerCache::setPacket(std::weak_ptr<QORPacketProtocol> packet) {
    _state.withLock([&](auto& s) { s.packet = std::move(packet); });
}

void QORAnalyzerCache::setupClearAnalyzingCacheNotificationObservation() {
    bool exists = _state.withLock([](const auto& s) { return static_cast<bool>(s.clearAnalyzingCacheObserver); });
    if (exists) return;
    std::weak_ptr<NSObject> weakSelf = weak_from_this();
    auto token = addUnsafeObserver(NotificationCenter::defaultCenter(),
                                   std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)), nullptr, nullptr,
                                   [weakSelf](const Notification&) {
                                       if (auto self = std::static_pointer_cast<QORAnalyzerCache>(weakSelf.lock())) {
                                           self->clearCache();
                                       }
                                   });
    bool stored = _state.withLock([&](auto& s) {
        if (s.clearAnalyzingCacheObserver) return false;
        s.clearAnalyzingCacheObserver = token;
        return true;
    });
    if (!stored) NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace qor
