// The packet record's analysis side: lazy analysis, protocol offsets, the summary line,
// attribute values, source and destination strings, and the plug-in lookup table's doors.

#include <algorithm>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPacketFields.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {

constexpr std::size_t kMaxAnalysedBytes = UINT16_MAX;  // the walk counts bytes in 16 bits

/// The first analyzer of the chain whose class is `cls` or a subclass of it.
const AnalyzerRef* ownerOf(const AnalyzerChain& chain, const QORPluginAnalyzerClass& cls) {
    for (const auto& a : chain) {
        if (a && a->analyzerClass().isSubclassOf(cls)) return &a;
    }
    return nullptr;
}

/// The bytes of an attribute: from the owner's offset plus the attribute's offset, for the
/// attribute's length (clamped to the bytes that exist).
Data attributeSlice(const Data& bytes, std::uint16_t ownerOffset, const QORPlugInAnalyzerAttribute& attribute) {
    std::uint64_t from = std::uint64_t{ownerOffset} + attribute.attributeOffset;
    if (from > bytes.size()) return Data();
    return bytes.slice(static_cast<std::size_t>(from), attribute.attributeLength);
}

}  // namespace

std::optional<AnalyzerChain> QORPacket::cachedAnalyzers() const {
    auto cache = cacheManager();
    auto chain = cache->analyzersCache();
    if (!chain.empty()) return chain;
    auto path = filePath();
    if (!path) return std::nullopt;

    auto self = std::static_pointer_cast<QORPacket>(std::const_pointer_cast<NSObject>(shared_from_this()));
    // Every analyzer of the chain keeps slices of these bytes. Handing them out under an owner of
    // their own (which holds the file's) keeps the reference counting of all those slices on
    // this packet, which one thread analyses, instead of on the one counter that every packet of
    // the file shares, which every analysing thread would write to.
    auto bytes = data();
    const Data packetData =
        bytes ? Data::wrap(std::make_shared<const Data>(*bytes), bytes->span()) : Data::nothingSelected();
    CacheAnalyzer::Options options;
    options.packetLengthUnified = packetLengthUnified();
    options.packetLinkTypeString = packetLinkTypeString().value_or("");
    options.sourceIPAddress = _packetIPSrc();
    options.destinationIPAddress = _packetIPDst();
    options.packetIPVersion = packetIPVersion();
    options.packetProtocolHistory = packetProtocolHistory();
    CacheAnalyzer analyzer(self, std::move(path), {}, packetData,
                           static_cast<std::uint16_t>(std::min(packetData.size(), kMaxAnalysedBytes)), std::move(options));
    AnalyzerChain built = analyzer.takeAnalyzers();
    if (built.empty()) {
        analyzer.apply(*self);
        return std::nullopt;
    }
    // Two threads may analyse the same packet at once; the first chain stored wins and only its
    // analysis is written into the packet, so the stored chain and the fields agree.
    built.shrink_to_fit();  // kept for the packet's life: no spare room (moves, no reference counts)
    bool ours = false;
    AnalyzerChain stored = cache->storeIfEmpty(std::move(built), &ours);
    if (ours) {
        analyzer.apply(*self);
        cache->setupClearAnalyzingCacheNotificationObservation();
    }
    return stored;
}

void QORPacket::setCachedAnalyzers(const std::optional<AnalyzerChain>& analyzers) {
    if (analyzers) cacheManager()->append(*analyzers);
}

std::optional<std::uint16_t> QORPacket::protocolOffset(const AnalyzerChain& chain, const QORPluginAnalyzerProtocol* analyzer) {
    std::uint16_t offset = 0;
    for (const auto& a : chain) {
        if (a.get() == analyzer || (a && analyzer && a->isEqual(*analyzer))) return offset;
        offset = static_cast<std::uint16_t>(offset + a->protocolSize());
    }
    return std::nullopt;
}

std::optional<Data> QORPacket::dataForProtocolName(std::string_view name) const {
    auto chain = cachedAnalyzers();
    if (!chain) return std::nullopt;
    auto it = std::find_if(chain->begin(), chain->end(), [&](const AnalyzerRef& a) { return a && a->protocolName() == name; });
    if (it == chain->end()) return std::nullopt;
    auto offset = protocolOffset(*chain, it->get());
    auto bytes = data();
    if (!offset || *offset == 0 || !bytes || *offset > bytes->size()) return std::nullopt;
    return bytes->slice(*offset);
}

std::string QORPacket::packetInfoOverview() const {
    if (auto stored = _packetInfoOverview(); !stored.empty()) return stored;
    auto chain = cachedAnalyzers();
    if (!chain || chain->empty()) return {};
    const AnalyzerRef& last = chain->back();
    auto offset = protocolOffset(*chain, last.get());
    auto bytes = data();
    if (offset && *offset != 0 && bytes && *offset <= bytes->size()) {
        if (auto info = last->protocolInfo(bytes->slice(*offset))) return *info;
    }
    return last->protocolInfo().value_or("");
}

namespace {

/// Variant A: a fresh analyzer of the attribute's class over the attribute's bytes, counted from
/// the start of the packet.
std::optional<std::string> linkAddress(const QORPacket& packet, std::string_view key) {
    auto table = PluginLookupTable::current();
    auto it = table->attributeByKey.find(key);
    if (it == table->attributeByKey.end() || !it->second.plugInAnalyzerClass) return std::nullopt;
    auto bytes = packet.data();
    if (!bytes) return std::nullopt;
    const auto& attribute = it->second;
    Data slice = attributeSlice(*bytes, 0, attribute);
    auto self = std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(packet.shared_from_this()));
    auto analyzer = attribute.plugInAnalyzerClass->make(slice, self);
    if (!analyzer) return std::nullopt;
    return analyzer->value(key, slice).asString();
}

/// Variant B's first branch: the attribute's value from the first cached analyzer of its class.
std::optional<Value> attributeValue(const QORPacket& packet, std::string_view key) {
    auto table = PluginLookupTable::current();
    auto it = table->attributeByKey.find(key);
    if (it == table->attributeByKey.end()) return std::nullopt;
    const auto& attribute = it->second;
    if (!attribute.plugInAnalyzerClass) return Value();
    auto chain = packet.cachedAnalyzers();
    if (!chain) return Value();
    const AnalyzerRef* owner = ownerOf(*chain, *attribute.plugInAnalyzerClass);
    auto bytes = packet.data();
    if (!owner || !bytes) return Value();
    auto offset = QORPacket::protocolOffset(*chain, owner->get()).value_or(0);
    return (*owner)->value(key, attributeSlice(*bytes, offset, attribute));
}

}  // namespace

/// Link-layer addresses come from the plug-in attribute "etherSrc"/"etherDst"; a packet whose
/// bytes or attribute are unavailable shows the address its creator set, if any.
std::optional<std::string> QORPacket::packetEtherSrc() const {
    if (auto address = linkAddress(*this, "etherSrc")) return address;
    return _packetEtherSrc();
}

std::optional<std::string> QORPacket::packetEtherDst() const {
    if (auto address = linkAddress(*this, "etherDst")) return address;
    return _packetEtherDst();
}

namespace {

/// Source or destination: the link-layer address for packets without IP, else the IP address
/// attribute of the IP analyzer in the chain.
std::optional<std::string> endpointString(const QORPacket& packet, bool source) {
    auto history = packet.packetProtocolHistory();
    if (!history) return std::nullopt;
    int ipv4 = 0, ipv6 = 0;
    std::string_view rest(*history);
    for (;;) {
        auto dash = rest.find('-');
        std::string_view part = rest.substr(0, dash);
        if (part == "IP") ++ipv4;
        if (part == "IPv6") ++ipv6;
        if (dash == std::string_view::npos) break;
        rest.remove_prefix(dash + 1);
    }
    if (ipv4 == 0 && ipv6 == 0) {
        if (auto link = source ? packet.packetEtherSrc() : packet.packetEtherDst()) return link;
    }
    const char* key = ipv4 > 0 ? (source ? "ip4SrcAddr" : "ip4DstAddr") : (source ? "ip6SrcAddr" : "ip6DstAddr");
    auto value = attributeValue(packet, key);
    if (!value) return std::nullopt;
    return value->asString();
}

}  // namespace

std::optional<std::string> QORPacket::packetSourceString() const { return endpointString(*this, true); }
std::optional<std::string> QORPacket::packetDestinationString() const { return endpointString(*this, false); }

Value QORPacket::valueForUndefinedKey(std::string_view key) const {
    if (auto value = attributeValue(*this, key)) return *value;
    auto table = PluginLookupTable::current();
    for (const auto& [keyPath, cls] : table->columnBindings) {
        if (keyPath.find(key) == std::string::npos || !cls) continue;
        auto chain = cachedAnalyzers();
        if (!chain) return {};
        const AnalyzerRef* owner = ownerOf(*chain, *cls);
        if (!owner) return {};
        // The analyzer answers by the name of its property.
        return (*owner)->valueForKey(key);
    }
    return {};
}

void QORPacket::redissect() {
    if (!hasFilePath()) return;
    cacheManager()->clearCache();
    (void)cachedAnalyzers();
}

void QORPacket::snapshotPluginRegistry() {
    assertMainThread("QORPacket::snapshotPluginRegistry");
    auto provider = DefaultInjection::plugInControllingProvider();
    if (!provider) return;
    PluginLookupTable::publish(PluginLookupTable::build(provider->plugInStructs()));
}

AnalyzerClassRef QORPacket::pluginAnalyzerClass(std::string_view protocolName) {
    auto table = PluginLookupTable::current();
    auto it = table->analyzerClassByProtocol.find(protocolName);
    return it == table->analyzerClassByProtocol.end() ? nullptr : it->second;
}

std::optional<std::int64_t> QORPacket::pluginHeaderSize(std::string_view protocolName) {
    auto table = PluginLookupTable::current();
    auto it = table->headerSizeByProtocol.find(protocolName);
    if (it == table->headerSizeByProtocol.end()) return std::nullopt;
    return it->second;
}

/// The chain starts at the analyzer registered for `baseProtocol`; when there is none (or the
/// name is empty) it starts at the analyzer of the protocol named after `etherType`, so a caller
/// that holds bytes after an Ethernet header can pass just the ether type. The temporary packet
/// has the bytes' length as its captured and real length and no file.
AnalyzerChain QORPacket::analyzers(const Data& data, std::string_view baseProtocol, std::optional<std::uint32_t> etherType) {
    if (data.empty()) return {};
    auto table = PluginLookupTable::current();
    std::string start(baseProtocol);
    if (!table->analyzerClassByProtocol.contains(start) && etherType) {
        if (auto etherName = ProtocolsStringsCache::sharedCache().etherTypeString(*etherType)) start = *etherName;
    }
    auto packet = QORPacket::create();
    auto length = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), UINT32_MAX));
    packet->setCaptureLength(length);
    packet->setRealLength(length);
    CacheAnalyzer::Options options;
    options.packetLinkTypeString = start;
    options.packetLengthUnified = length;
    options.table = std::move(table);
    CacheAnalyzer analyzer(packet, std::nullopt, {}, data, static_cast<std::uint16_t>(std::min(data.size(), kMaxAnalysedBytes)),
                           std::move(options));
    return analyzer.getAnalyzers();
}

}  // namespace qor
