#include "QORModels/packets/QORPacket.hpp"

#include "QORModels/analysis/CacheAnalyzer.hpp"

#include <fmt/format.h>
#include <mutex>
#include <new>
#include <typeinfo>
#include <utility>

#include "QORCommonTools/QORAnalyzingUtilities.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORKonstantsKeys/QORKonstantsKeys.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/PacketArena.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORPlatform/Localized.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/ThreadLocal.hpp"
#include "QORPlatform/UserDefaults.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "QORPacketFields.hpp"
#include "QORPacketKeys.hpp"

namespace qor {
namespace {
std::atomic<UserDefaults*> resolutionDefaults{nullptr};
}

QORPacket::QORPacket(Passkey) {}
QORPacket::~QORPacket() {
    if (ownLinksState_.load(std::memory_order_relaxed) == kHandedToCache) chain_.cache.~shared_ptr();
}

std::shared_ptr<QORPacket> QORPacket::create() { return std::make_shared<QORPacket>(Passkey{}); }

std::shared_ptr<QORPacket> QORPacket::create(PacketArena* arena) {
    return std::allocate_shared<QORPacket>(PacketArena::Allocator<QORPacket>(arena), Passkey{});
}

std::shared_ptr<QORPacket> QORPacket::fromRecord(const CaptureRecord& record, PacketArena* arena) {
    auto packet = arena ? create(arena) : create();
    packet->setPacketId(record.packetId);
    packet->setDataLocation(record.dataLocation);
    packet->setCaptureLength(record.captureLength);
    packet->setRealLength(record.realLength);
    packet->setLinkType(record.linkType);
    packet->setDateReceived(record.dateReceived);
    packet->setDateReference(record.dateReference);
    packet->set_packetTime(record.dateReceived - record.dateReference);
    packet->setPacketProtocolAndHistory(record.linkName);
    if (record.interfaceIndex) {
        packet->setPcapngInterfaceIndex(*record.interfaceIndex);
        packet->setPcapngInterfaceName(record.interfaceName);
    }
    if (record.comment) packet->setPacketComment(record.comment);
    if (record.flags) packet->setPcapngPacketFlags(record.flags);
    return packet;
}

std::shared_ptr<QORPacket> QORPacket::create(std::shared_ptr<QORAnalyzerCache> cacheManager, std::uint32_t packetPadding,
                                             std::int64_t packetId, std::uint32_t dataLocation,
                                             std::uint32_t packetLengthCaptured, std::uint32_t packetLengthReal,
                                             double packetDateReceived, double packetDateReference,
                                             std::uint32_t packetLinkType, std::optional<std::string> packetProtocol,
                                             std::optional<std::string> packetProtocolHistory, std::int32_t packetIPVersion,
                                             double packetTime, std::optional<std::string> etherSrc,
                                             std::optional<std::string> etherDst, std::string ipSrc, std::string ipDst,
                                             std::optional<NodeList> packetNodes) {
    auto p = create();
    if (cacheManager) {
        cacheManager->setPacket(p);
        new (&p->chain_.cache) std::shared_ptr<QORAnalyzerCache>(std::move(cacheManager));
        p->ownLinksState_.store(kHandedToCache, std::memory_order_release);
    }
    p->packetPadding_ = packetPadding;
    p->packetId_ = packetId;
    p->dataLocation_ = dataLocation;
    p->captureLength_ = packetLengthCaptured;
    p->realLength_ = packetLengthReal;
    p->dateReceived_ = packetDateReceived;
    p->dateReference_ = packetDateReference;
    p->linkType_ = packetLinkType;
    p->packetProtocol_ = InternedString::from(packetProtocol);
    p->packetProtocolHistory_ = InternedString::from(packetProtocolHistory);
    p->packetIPVersion_ = packetIPVersion;
    p->packetTime_ = packetTime;
    if (etherSrc || etherDst) {
        p->extras().etherSrc = std::move(etherSrc);
        p->extras().etherDst = std::move(etherDst);
    }
    if (!ipSrc.empty() || !ipDst.empty()) {
        p->extras().ipSrc = std::move(ipSrc);
        p->extras().ipDst = std::move(ipDst);
    }
    if (packetNodes) p->extras().packetNodes = std::move(packetNodes);
    return p;
}

QORPacket::Extras& QORPacket::extras() {
    if (!extras_) extras_ = std::make_unique<Extras>();
    return *extras_;
}

namespace {
/// `ownLinksState_` for links stored when `clears` clear notifications had been posted (modulo
/// 2^32); below `kFirstMark` when that count cannot be told from the other states.
std::uint32_t linksMark(std::uint64_t clears) noexcept { return static_cast<std::uint32_t>(clears) + 2; }
constexpr std::uint32_t kFirstMark = 2;
}  // namespace

QORAnalyzerCache* QORPacket::cacheObject() const noexcept {
    // The state turns to "handed to the cache" after the cache object is stored, and the
    // object is never replaced: no lock needed to read it.
    if (ownLinksState_.load(std::memory_order_acquire) != kHandedToCache) return nullptr;
    return chain_.cache.get();
}

std::shared_ptr<QORAnalyzerCache> QORPacket::cacheManager() const {
    std::lock_guard guard(lock_);
    // The cache object is rare (a kept analysis stores its chain in the packet): it takes the
    // place of the packet's own links.
    if (ownLinksState_.load(std::memory_order_relaxed) != kHandedToCache) {
        auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(shared_from_this()));
        auto made = std::make_shared<QORAnalyzerCache>(self);
        // The cache takes over the links the packet kept itself, with the notification count
        // they were stored at (the latest count with the same low 32 bits), so a clear posted
        // since empties them there too.
        if (CompactAnalyzerChain own; ownChainLocked(&own)) {
            const std::uint64_t posted = QORAnalyzerCache::clearsPosted();
            const std::uint32_t storedAt = ownLinksState_.load(std::memory_order_relaxed) - kFirstMark;
            made->adoptLinks(std::move(own), posted - static_cast<std::uint32_t>(static_cast<std::uint32_t>(posted) - storedAt));
        }
        ownLinkCount_ = 0;
        new (&chain_.cache) std::shared_ptr<QORAnalyzerCache>(std::move(made));
        ownLinksState_.store(kHandedToCache, std::memory_order_release);
    }
    return chain_.cache;
}

bool QORPacket::ownChainLocked(CompactAnalyzerChain* out) const {
    const std::uint32_t state = ownLinksState_.load(std::memory_order_relaxed);
    if (state < kFirstMark) return false;
    if (state != linksMark(QORAnalyzerCache::clearsPosted())) {  // a clear came since they were stored
        dropOwnLinksLocked();
        return false;
    }
    if (out) {
        out->clear();
        out->push_back(CacheAnalyzer::headLink());
        for (std::size_t i = 0; i + 1 < ownLinkCount_; ++i) out->push_back(chain_.links[i]);
    }
    return true;
}

void QORPacket::dropOwnLinksLocked() const noexcept {
    ownLinkCount_ = 0;
    ownLinksState_.store(kNoOwnLinks, std::memory_order_release);
}

bool QORPacket::ownLinksCurrent() const noexcept {
    const std::uint32_t state = ownLinksState_.load(std::memory_order_acquire);
    return state >= kFirstMark && state == linksMark(QORAnalyzerCache::clearsPosted());
}

bool QORPacket::analysisStored() const {
    if (ownLinksCurrent()) return true;
    const QORAnalyzerCache* made = cacheObject();
    return made && !made->isEmpty();
}

template <class Own, class Cached>
decltype(auto) QORPacket::onChainStore(const Own& own, const Cached& cached) const {
    if (QORAnalyzerCache* made = cacheObject()) return cached(*made);
    {
        std::lock_guard guard(lock_);
        if (!cacheObject()) return own();
    }
    // The cache object was made between the look without the lock and the lock.
    return cached(*cacheObject());
}

bool QORPacket::storedLinks(CompactAnalyzerChain& out) const {
    return onChainStore([&] { return ownChainLocked(&out); }, [&](QORAnalyzerCache& made) { return made.storedLinks(out); });
}

CompactAnalyzerChain QORPacket::storeLinksIfEmpty(CompactAnalyzerChain links, bool& ours) const {
    ours = false;
    // The packet keeps a chain that starts with the built-in packet analyzer (every walk's
    // does) and fits its buffer after it; any other goes to the cache object.
    if (!links.empty() && links[0] == CacheAnalyzer::headLink() && links.size() - 1 <= chain_.links.size()) {
        const std::uint32_t mark = linksMark(QORAnalyzerCache::observedClears());  // sets up the counting once
        std::lock_guard guard(lock_);
        if (!cacheObject() && mark >= kFirstMark) {
            if (CompactAnalyzerChain stored; ownChainLocked(&stored)) return stored;
            std::copy(links.links().begin() + 1, links.links().end(), chain_.links.begin());
            ownLinkCount_ = static_cast<std::uint8_t>(links.size());
            // Stored as of the count read before the lock: a clear posted in between empties
            // them at the next access, as it would have a moment later.
            ownLinksState_.store(mark, std::memory_order_release);
            ours = true;
            return links;
        }
    }
    QORAnalyzerCache& made = *cacheManager();
    CompactAnalyzerChain stored = made.storeLinksIfEmpty(std::move(links), &ours);
    if (ours) made.setupClearAnalyzingCacheNotificationObservation();
    return stored;
}

void QORPacket::clearStoredAnalysis() {
    onChainStore([&] { dropOwnLinksLocked(); }, [](QORAnalyzerCache& made) { made.clearCache(); });
}

QORAnalyzerCache& QORPacket::cache() const {
    if (QORAnalyzerCache* made = cacheObject()) return *made;
    return *cacheManager();
}

std::uint32_t QORPacket::packetPadding() const {
    std::lock_guard guard(lock_);
    return packetPadding_;
}
void QORPacket::setPacketPadding(std::uint32_t v) {
    changeValueForKeys({"packetPadding"}, [&] { return packetPadding() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetPadding_ = v;
    });
}

std::shared_ptr<QORDataCachingProtocol> QORPacket::dataCache() const {
    std::lock_guard guard(lock_);
    return dataCache_;
}
void QORPacket::setDataCache(std::shared_ptr<QORDataCachingProtocol> cache) {
    std::lock_guard guard(lock_);
    dataCache_ = std::move(cache);
}

std::optional<std::string> QORPacket::packetProtocol() const {
    std::lock_guard guard(lock_);
    return packetProtocol_.value();
}
void QORPacket::setPacketProtocol(const std::optional<std::string>& v) {
    auto interned = InternedString::from(v);
    changeValueForKeys({"packetProtocol"}, [&] { return packetProtocol() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetProtocol_ = interned;
    });
}
std::optional<std::string> QORPacket::packetProtocolHistory() const {
    std::lock_guard guard(lock_);
    return packetProtocolHistory_.value();
}
void QORPacket::setPacketProtocolHistory(const std::optional<std::string>& v) {
    auto interned = InternedString::from(v);
    changeValueForKeys({"packetProtocolHistory"}, [&] { return packetProtocolHistory() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetProtocolHistory_ = interned;
    });
}
InternedString QORPacket::packetProtocolInterned() const {
    std::lock_guard guard(lock_);
    return packetProtocol_;
}
InternedString QORPacket::packetProtocolHistoryInterned() const {
    std::lock_guard guard(lock_);
    return packetProtocolHistory_;
}
void QORPacket::setPacketProtocol(InternedString v) {
    changeValueForKeys({"packetProtocol"}, [&] { return packetProtocolInterned() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetProtocol_ = v;
    });
}
void QORPacket::setPacketProtocolHistory(InternedString v) {
    changeValueForKeys({"packetProtocolHistory"}, [&] { return packetProtocolHistoryInterned() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetProtocolHistory_ = v;
    });
}
void QORPacket::setPacketProtocolAndHistory(InternedString name) {
    changeValueForKeys({"packetProtocol", "packetProtocolHistory"}, [] { return true; }, [&] {
        std::lock_guard guard(lock_);
        packetProtocol_ = name;
        packetProtocolHistory_ = name;
    });
}

std::optional<std::string> QORPacket::packetComment() const {
    std::lock_guard guard(lock_);
    return extras_ ? extras_->packetComment : std::nullopt;
}
void QORPacket::setPacketComment(std::optional<std::string> v) {
    changeValueForKeys({"packetComment"}, [&] { return packetComment() != v; }, [&] {
        std::lock_guard guard(lock_);
        if (!v && !extras_) return;
        extras().packetComment = std::move(v);
    });
}

std::optional<std::int64_t> QORPacket::pcapngInterfaceIndex() const {
    if (!(presence_ & kHasInterfaceIndex)) return std::nullopt;
    return pcapngInterfaceIndex_;
}
void QORPacket::setPcapngInterfaceIndex(std::optional<std::int64_t> v) {
    if (v && *v >= 0 && *v <= UINT32_MAX) {
        pcapngInterfaceIndex_ = static_cast<std::uint32_t>(*v);
        presence_ |= kHasInterfaceIndex;
    } else {
        presence_ &= static_cast<std::uint8_t>(~kHasInterfaceIndex);
    }
}
std::optional<std::uint32_t> QORPacket::pcapngPacketFlags() const {
    if (!(presence_ & kHasFlags)) return std::nullopt;
    return pcapngPacketFlags_;
}
void QORPacket::setPcapngPacketFlags(std::optional<std::uint32_t> v) {
    if (v) {
        pcapngPacketFlags_ = *v;
        presence_ |= kHasFlags;
    } else {
        presence_ &= static_cast<std::uint8_t>(~kHasFlags);
    }
}

std::int32_t QORPacket::packetIPVersion() const {
    std::lock_guard guard(lock_);
    return packetIPVersion_;
}
void QORPacket::setPacketIPVersion(std::int32_t v) {
    changeValueForKeys({"packetIPVersion"}, [&] { return packetIPVersion() != v; }, [&] {
        std::lock_guard guard(lock_);
        packetIPVersion_ = v;
    });
}

std::int64_t QORPacket::systemFileNumber() const { return source_ ? source_->systemFileNumber : 0; }
void QORPacket::setSystemFileNumber(std::int64_t v) {
    auto next = std::make_shared<FileSource>(source_ ? *source_ : FileSource{});
    next->systemFileNumber = v;
    source_ = std::move(next);
}
std::optional<std::filesystem::path> QORPacket::filePath() const {
    if (!source_ || source_->path.empty()) return std::nullopt;
    return source_->path;
}
bool QORPacket::hasFilePath() const { return source_ && !source_->path.empty(); }
void QORPacket::setFilePath(std::optional<std::filesystem::path> v) {
    auto next = std::make_shared<FileSource>(source_ ? *source_ : FileSource{});
    next->path = v ? std::move(*v) : std::filesystem::path();
    source_ = std::move(next);
}
void QORPacket::setFileSource(std::shared_ptr<const FileSource> source) { source_ = std::move(source); }

std::optional<double> QORPacket::_packetTime() const {
    if (std::isnan(packetTime_)) return std::nullopt;
    return packetTime_;
}
void QORPacket::set_packetTime(std::optional<double> v) { packetTime_ = v ? *v : std::nan(""); }

std::optional<std::string> QORPacket::_packetEtherSrc() const {
    std::lock_guard guard(lock_);
    return extras_ ? extras_->etherSrc : std::nullopt;
}
std::optional<std::string> QORPacket::_packetEtherDst() const {
    std::lock_guard guard(lock_);
    return extras_ ? extras_->etherDst : std::nullopt;
}
void QORPacket::set_packetEtherSrc(std::optional<std::string> v) {
    changeValueForKeys({"_packetEtherSrc"}, [&] { return _packetEtherSrc() != v; }, [&] {
        std::lock_guard guard(lock_);
        if (!v && !extras_) return;
        extras().etherSrc = std::move(v);
    });
}
void QORPacket::set_packetEtherDst(std::optional<std::string> v) {
    changeValueForKeys({"_packetEtherDst"}, [&] { return _packetEtherDst() != v; }, [&] {
        std::lock_guard guard(lock_);
        if (!v && !extras_) return;
        extras().etherDst = std::move(v);
    });
}

std::string QORPacket::storedIPText(bool source) const {
    std::lock_guard guard(lock_);
    if (!extras_) return {};
    return source ? extras_->ipSrc : extras_->ipDst;
}

std::string QORPacket::ipText(bool source) const {
    std::uint8_t link = 0;
    std::int32_t family = 0;
    {
        std::lock_guard guard(lock_);
        link = addressLink_;
        family = packetIPVersion_;
    }
    if (link == 0) return storedIPText(source);
    auto chain = analysedLinks();
    auto bytes = data();
    if (link > chain.size() || !bytes) return {};
    auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(shared_from_this()));
    return CacheAnalyzer::addressText(chain[link - 1], family, source, *bytes, self);
}

std::string QORPacket::_packetIPSrc() const { return ipText(true); }
std::string QORPacket::_packetIPDst() const { return ipText(false); }

void QORPacket::set_packetIPSrc(std::string v) {
    changeValueForKeys({"_packetIPSrc", "packetIPSourceAddress"}, [&] { return _packetIPSrc() != v; }, [&] {
        bool rendered = false;
        {
            std::lock_guard guard(lock_);
            rendered = addressLink_ != 0;
        }
        std::string other = rendered ? ipText(false) : std::string();
        std::lock_guard guard(lock_);
        if (addressLink_ != 0) {  // keep the other address as it was shown
            addressLink_ = 0;
            extras().ipDst = std::move(other);
        }
        if (v.empty() && !extras_) return;
        extras().ipSrc = std::move(v);
    });
}
void QORPacket::set_packetIPDst(std::string v) {
    changeValueForKeys({"_packetIPDst", "packetIPDestinationAddress"}, [&] { return _packetIPDst() != v; }, [&] {
        bool rendered = false;
        {
            std::lock_guard guard(lock_);
            rendered = addressLink_ != 0;
        }
        std::string other = rendered ? ipText(true) : std::string();
        std::lock_guard guard(lock_);
        if (addressLink_ != 0) {
            addressLink_ = 0;
            extras().ipSrc = std::move(other);
        }
        if (v.empty() && !extras_) return;
        extras().ipDst = std::move(v);
    });
}
void QORPacket::setAnalysedAddressLink(std::uint8_t link) {
    auto differs = [&] {
        std::lock_guard guard(lock_);
        return addressLink_ != link;
    };
    changeValueForKeys({"_packetIPSrc", "packetIPSourceAddress", "_packetIPDst", "packetIPDestinationAddress"}, differs, [&] {
        std::lock_guard guard(lock_);
        addressLink_ = link;
    });
}

std::string QORPacket::_packetInfoOverview() const {
    std::lock_guard guard(lock_);
    return extras_ ? extras_->infoOverview : std::string();
}
void QORPacket::set_packetInfoOverview(std::string v) {
    changeValueForKeys({"_packetInfoOverview", "packetInfoOverview"}, [&] { return _packetInfoOverview() != v; }, [&] {
        std::lock_guard guard(lock_);
        if (v.empty() && !extras_) return;
        extras().infoOverview = std::move(v);
    });
}
void QORPacket::setAnalysedFields(AnalysedFields fields) {
    if (mayBeObserved()) {
        setPacketProtocol(fields.protocol);
        setPacketProtocolHistory(fields.history);
        setPacketIPVersion(fields.ipVersion);
        setPacketPadding(fields.padding);
        set_packetInfoOverview(std::move(fields.infoOverview));
        if (fields.addressLink != 0) setAnalysedAddressLink(fields.addressLink);
        return;
    }
    std::lock_guard guard(lock_);
    packetProtocol_ = fields.protocol;
    packetProtocolHistory_ = fields.history;
    packetIPVersion_ = fields.ipVersion;
    packetPadding_ = fields.padding;
    if (!fields.infoOverview.empty() || extras_) extras().infoOverview = std::move(fields.infoOverview);
    if (fields.addressLink != 0) addressLink_ = fields.addressLink;
}
std::optional<NodeList> QORPacket::packetNodes() const {
    std::lock_guard guard(lock_);
    return extras_ ? extras_->packetNodes : std::nullopt;
}
void QORPacket::setPacketNodes(std::optional<NodeList> v) {
    std::optional<NodeList> old;  // released outside the lock
    std::lock_guard guard(lock_);
    if (!v && !extras_) return;
    old = std::exchange(extras().packetNodes, std::move(v));
}

std::optional<Data> QORPacket::data() const {
    // The lookup runs under the packet's lock (the cache never calls back into packets), which
    // keeps the cache alive without a reference count on the one cache every packet shares.
    std::lock_guard guard(lock_);
    const auto& cache = dataCache_;
    if (!cache) return std::nullopt;
    // A range past 4 GiB cannot be represented; readers never create such a packet.
    std::uint64_t end = std::uint64_t{dataLocation_} + captureLength_;
    if (end > UINT32_MAX) return std::nullopt;
    return cache->object(UInt32Range{dataLocation_, static_cast<std::uint32_t>(end)});
}

void QORPacket::prefetch(bool bytes) const noexcept {
    if (const QORAnalyzerCache* made = cacheObject()) {
        for (std::size_t line = 0; line < sizeof(QORAnalyzerCache); line += 64) __builtin_prefetch(reinterpret_cast<const char*>(made) + line);
    }
    if (!bytes) return;
    std::lock_guard guard(lock_);
    if (dataCache_ && std::uint64_t{dataLocation_} + captureLength_ <= UINT32_MAX) {
        dataCache_->prefetch(UInt32Range{dataLocation_, dataLocation_ + captureLength_});
    }
}

std::optional<Data> QORPacket::storedData() const {
    std::lock_guard guard(lock_);
    const auto& cache = dataCache_;
    std::uint64_t end = std::uint64_t{dataLocation_} + captureLength_;
    if (!cache || end > UINT32_MAX) return std::nullopt;
    UInt32Range range{dataLocation_, static_cast<std::uint32_t>(end)};
    // Only the library's own cache has an unchecked lookup; any other answers as it does.
    auto& c = *cache;
    if (typeid(c) == typeid(QORDataCache)) return static_cast<const QORDataCache&>(c).storedObject(range);
    return cache->object(range);
}

std::vector<std::string> QORPacket::packetRawStringHex() const {
    std::vector<std::string> out;
    auto bytes = data();
    if (!bytes) return out;
    out.reserve(bytes->size());
    for (auto b : *bytes) out.push_back(appendInterpolation(static_cast<std::uint8_t>(b), 16, {}, 2, true));
    return out;
}

std::vector<std::string> QORPacket::packetRawStringASCII() const {
    std::vector<std::string> out;
    auto bytes = data();
    if (!bytes) return out;
    out.reserve(bytes->size());
    for (auto b : *bytes) {
        char c = printableASCII(static_cast<std::uint8_t>(b));
        out.push_back(appendInterpolation(std::string_view(&c, 1), 2, true));
    }
    return out;
}

std::string QORPacket::packetRawString() const {
    std::string out;
    auto bytes = data();
    if (!bytes) return out;
    out.resize(bytes->size());
    std::size_t i = 0;
    for (auto b : *bytes) out[i++] = printableASCII(static_cast<std::uint8_t>(b));
    return out;
}

double QORPacket::packetTime() const {
    if (!std::isnan(packetTime_)) return packetTime_;
    return dateReceived_ - dateReference_;
}

std::uint32_t QORPacket::packetLengthUnified() const { return captureLength_ < realLength_ ? captureLength_ : realLength_; }

std::optional<std::string> QORPacket::packetLinkTypeString() const { return packetLinkTypeName().value(); }

InternedString QORPacket::packetLinkTypeName() const {
    // Few link types per thread: the last one asked for answers without a table lookup while the
    // name tables have not changed (plug-ins name link types when they register).
    struct Recent {
        std::uint64_t generation = UINT64_MAX;
        std::uint32_t linkType = 0;
        InternedString name;
    };
    QOR_INITIAL_EXEC_TLS thread_local Recent recent;
    auto& names = ProtocolsStringsCache::sharedCache();
    const std::uint64_t generation = names.generation();
    if (recent.generation != generation || recent.linkType != linkType_) {
        recent = Recent{generation, linkType_, InternedString::from(names.linkTypeStringForKey(std::to_string(linkType_)))};
    }
    return recent.name;
}

void QORPacket::setResolutionDefaults(UserDefaults* defaults) { resolutionDefaults.store(defaults); }

std::optional<std::string> QORPacket::resolved(const std::string& address) const {
    std::int32_t version = packetIPVersion();
    UserDefaults* defaults = resolutionDefaults.load();
    if (!defaults) defaults = &UserDefaults::standard();
    bool resolve = defaults->boolForKey(std::string(version == 2 ? kPrefIP4Resolve : kPrefIP6Resolve));
    if (resolve && !address.empty()) {
        if (auto name = QORAnalyzingUtilities::hostnameForIPString(address, version == 2 ? 2 : 30)) return name;
        return address;
    }
    return address;
}

std::optional<std::string> QORPacket::packetIPSourceAddress() const { return resolved(_packetIPSrc()); }
std::optional<std::string> QORPacket::packetIPDestinationAddress() const { return resolved(_packetIPDst()); }

std::string QORPacket::pcapngFlagsDescription(std::uint32_t flags) {
    std::string text = fmt::format("0x{:08X}", flags);
    switch (flags & 3u) {
        case 1: text += " (" + localized("inbound", "Analyzer: pcapng packet direction") + ")"; break;
        case 2: text += " (" + localized("outbound", "Analyzer: pcapng packet direction") + ")"; break;
        default: break;
    }
    return text;
}

void QORPacket::invalidateNodes() {
    assertMainThread("QORPacket::invalidateNodes");
    setPacketNodes(std::nullopt);
}

PacketFieldAccessor packetFieldAccessor(std::string_view key) {
    struct Field {
        std::string_view key;
        PacketFieldAccessor read;
    };
    // The properties views and filters bind to, by name; the names filters use for what the
    // record stores under other names: the arrival time as a date, the length on the wire, and
    // the bytes as text and as hex digits.
    static constexpr Field kFields[] = {
        {"packetId", [](const QORPacket& p) -> Value { return p.packetId(); }},
        {"dataLocation", [](const QORPacket& p) -> Value { return p.dataLocation(); }},
        {"captureLength", [](const QORPacket& p) -> Value { return p.captureLength(); }},
        {"realLength", [](const QORPacket& p) -> Value { return p.realLength(); }},
        {"packetDateReceived", [](const QORPacket& p) -> Value { return Date{p.dateReceived()}; }},
        {"packetLengthReal", [](const QORPacket& p) -> Value { return p.realLength(); }},
        {"packetRawString", [](const QORPacket& p) -> Value { return p.packetRawString(); }},
        {"packetRawStringHex",
         [](const QORPacket& p) -> Value {
             Value::List digits;
             for (auto& d : p.packetRawStringHex()) digits.emplace_back(std::move(d));
             return digits;
         }},
        {"dateReceived", [](const QORPacket& p) -> Value { return p.dateReceived(); }},
        {"dateReference", [](const QORPacket& p) -> Value { return p.dateReference(); }},
        {"linkType", [](const QORPacket& p) -> Value { return p.linkType(); }},
        {"packetPadding", [](const QORPacket& p) -> Value { return p.packetPadding(); }},
        {"packetProtocol", [](const QORPacket& p) -> Value { return p.packetProtocol(); }},
        {"packetProtocolHistory", [](const QORPacket& p) -> Value { return p.packetProtocolHistory(); }},
        {"packetComment", [](const QORPacket& p) -> Value { return p.packetComment(); }},
        {"pcapngInterfaceIndex", [](const QORPacket& p) -> Value { return p.pcapngInterfaceIndex(); }},
        {"pcapngInterfaceName", [](const QORPacket& p) -> Value { return p.pcapngInterfaceName(); }},
        {"pcapngPacketFlags", [](const QORPacket& p) -> Value { return p.pcapngPacketFlags(); }},
        {"packetIPVersion", [](const QORPacket& p) -> Value { return p.packetIPVersion(); }},
        {"systemFileNumber", [](const QORPacket& p) -> Value { return p.systemFileNumber(); }},
        {"filePath",
         [](const QORPacket& p) -> Value {
             auto path = p.filePath();
             return path ? Value(path->string()) : Value();
         }},
        {"packetTime", [](const QORPacket& p) -> Value { return p.packetTime(); }},
        {"packetLengthUnified", [](const QORPacket& p) -> Value { return p.packetLengthUnified(); }},
        {"packetLinkTypeString", [](const QORPacket& p) -> Value { return p.packetLinkTypeString(); }},
        {"packetEtherSrc", [](const QORPacket& p) -> Value { return p.packetEtherSrc(); }},
        {"packetEtherDst", [](const QORPacket& p) -> Value { return p.packetEtherDst(); }},
        {"packetIPSourceAddress", [](const QORPacket& p) -> Value { return p.packetIPSourceAddress(); }},
        {"packetIPDestinationAddress", [](const QORPacket& p) -> Value { return p.packetIPDestinationAddress(); }},
        {"packetSourceString", [](const QORPacket& p) -> Value { return p.packetSourceString(); }},
        {"packetDestinationString", [](const QORPacket& p) -> Value { return p.packetDestinationString(); }},
        {"packetInfoOverview", [](const QORPacket& p) -> Value { return p.packetInfoOverview(); }},
        {"_packetInfoOverview", [](const QORPacket& p) -> Value { return p._packetInfoOverview(); }},
        {"_packetIPSrc", [](const QORPacket& p) -> Value { return p._packetIPSrc(); }},
        {"_packetIPDst", [](const QORPacket& p) -> Value { return p._packetIPDst(); }},
        {"data", [](const QORPacket& p) -> Value { return p.data(); }},
        {"nodes",
         [](const QORPacket& p) -> Value {
             // The detail tree is rebuilt on the packet, as `nodes()` does for every caller.
             Value::List list;
             for (auto& n : const_cast<QORPacket&>(p).nodes()) list.emplace_back(std::static_pointer_cast<NSObject>(n));
             return list;
         }},
    };
    for (const Field& field : kFields) {
        if (field.key == key) return field.read;
    }
    return nullptr;
}

Value QORPacket::valueForKey(std::string_view key) const {
    if (const PacketFieldAccessor read = packetFieldAccessor(key)) return read(*this);
    return NSObject::valueForKey(key);
}

std::string QORPacket::description() const {
    return fmt::format("<QORPacket {} len {}/{} link {}>", packetId_, captureLength_, realLength_, linkType_);
}

}  // namespace qor
