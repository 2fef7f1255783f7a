// The packet record's analysis side: lazy analysis, protocol offsets, the summary line,
// attribute values, source and destination strings, and the plug-in lookup table's doors.

#include <algorithm>
#include <tuple>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "PacketAttributeValue.hpp"
#include "QORPacketFields.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {

using namespace std::string_view_literals;

namespace {

constexpr std::size_t kMaxAnalysedBytes = UINT16_MAX;  // the walk counts bytes in 16 bits

/// The first link of the chain whose class is `cls` or a subclass of it, with its position in
/// the chain and the offset of its header in the packet (the header sizes before it, in 16 bits).
struct Owner {
    ChainLink link;
    std::size_t position;
    std::uint16_t offset;
};
std::optional<Owner> ownerOf(const CompactAnalyzerChain& chain, const QORPluginAnalyzerClass& cls) {
    std::uint16_t offset = 0;
    const auto links = chain.links();
    for (std::size_t position = 0; position < links.size(); ++position) {
        const auto* linkClass = AnalyzerClassIndex::classAt(links[position].classIndex);
        if (linkClass && (linkClass == &cls || linkClass->isSubclassOf(cls))) return Owner{links[position], position, offset};
        offset = static_cast<std::uint16_t>(offset + links[position].protocolSize);
    }
    return std::nullopt;
}

PacketRef selfRef(const QORPacket& packet) {
    return std::static_pointer_cast<QORPacketProtocol>(std::const_pointer_cast<NSObject>(packet.shared_from_this()));
}

}  // namespace

CompactAnalyzerChain QORPacket::analysedLinks() const { return analysedLinks(nullptr, nullptr); }

CompactAnalyzerChain QORPacket::analysedLinks(ListingSighting* sighting, bool* walked) const {
    if (CompactAnalyzerChain stored; storedLinks(stored)) return stored;
    if (!hasFilePath()) return {};

    auto self = std::static_pointer_cast<QORPacket>(std::const_pointer_cast<NSObject>(shared_from_this()));
    // The walk only looks at analyzers while it runs.
    auto bytes = data();
    const Data packetData = bytes ? bytes->unownedView() : Data::nothingSelected();
    CacheAnalyzer analyzer = walk(self, packetData, sighting);
    CompactAnalyzerChain built = analyzer.takeLinks();
    if (built.empty()) {
        analyzer.apply(*self);
        return {};
    }
    // Two threads may analyse the same packet at once; the first chain stored wins and only its
    // analysis is written into the packet, so the stored chain and the fields agree.
    bool ours = false;
    CompactAnalyzerChain stored = storeLinksIfEmpty(std::move(built), ours);
    if (ours) {
        if (walked) *walked = true;
        analyzer.apply(*self);
        // Computed from the chain now stored (keys as views: no length to measure per packet).
        for (std::string_view key : {"cachedAnalyzers"sv, "packetInfoOverview"sv, "packetSourceString"sv, "packetDestinationString"sv})
            self->didChangeValueForKey(key);
    }
    return stored;
}

CacheAnalyzer QORPacket::walk(PacketRef self, const Data& packetData, ListingSighting* sighting) const {
    CacheAnalyzer::Options options;
    options.packetLengthUnified = packetLengthUnified();
    const InternedString linkName = packetLinkTypeName();
    options.packetLinkTypeString = linkName.hasValue() ? linkName : InternedString::emptyText();
    {
        // What analysis wrote before (or a creator set), read under one lock, not one per field.
        std::lock_guard guard(lock_);
        options.sourceIPAddress = extras_ ? extras_->ipSrc : std::string();
        options.destinationIPAddress = extras_ ? extras_->ipDst : std::string();
        options.packetInfoOverview = extras_ ? extras_->infoOverview : std::string();
        options.packetIPVersion = packetIPVersion_;
        options.packetProtocolHistory = packetProtocolHistory_;
        options.packetProtocol = packetProtocol_;
    }
    if (sighting) options.sighting = std::ref(*sighting);
    // The walk reads the packet's bytes, never its file, so it is not handed the path (copying
    // a path for every packet cost more than some analyzers).
    return CacheAnalyzer(std::move(self), std::nullopt, {}, packetData,
                         static_cast<std::uint16_t>(std::min(packetData.size(), kMaxAnalysedBytes)), std::move(options));
}

bool QORPacket::analyse() const {
    // An analysed packet answers without the packet's lock; any other goes on to
    // `analysedLinks`, which looks for a stored chain under the lock before it walks.
    if (analysisStored()) return true;
    return !analysedLinks().empty();
}

std::optional<AnalyzerChain> QORPacket::cachedAnalyzers() const {
    if (!analyse()) return std::nullopt;
    // The packet makes the analyzers of its stored links from its own bytes (its cache may have
    // let go of its packet when a clear notification emptied it); a chain handed to the cache
    // whole comes back as it is.
    auto links = analysedLinks();
    AnalyzerChain chain;
    if (links.empty()) {
        chain = cacheManager()->analyzersCache();
    } else {
        auto bytes = data();
        const Data& all = bytes ? *bytes : Data::nothingSelected();
        auto self = selfRef(*this);
        chain.reserve(links.size());
        for (const auto& link : links.links()) {
            auto analyzer = CompactAnalyzerChain::make(link, all, self);
            if (!analyzer) break;
            chain.push_back(std::move(analyzer));
        }
    }
    if (chain.empty()) return std::nullopt;
    return chain;
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
    auto chain = analysedLinks();
    auto bytes = data();
    if (chain.empty() || !bytes) return std::nullopt;
    auto self = selfRef(*this);
    std::uint16_t offset = 0;
    for (const auto& link : chain.links()) {
        bool named = false;
        CompactAnalyzerChain::inspect(link, *bytes, self, [&](const QORPluginAnalyzerProtocol& a) { named = a.protocolName() == name; });
        if (named) {
            if (offset == 0 || offset > bytes->size()) return std::nullopt;
            return bytes->slice(offset);
        }
        offset = static_cast<std::uint16_t>(offset + link.protocolSize);
    }
    return std::nullopt;
}

std::string QORPacket::packetInfoOverview() const {
    if (auto stored = _packetInfoOverview(); !stored.empty()) return stored;
    auto chain = analysedLinks();
    if (chain.empty()) return {};
    auto bytes = data();
    const Data& all = bytes ? *bytes : Data::nothingSelected();
    std::uint16_t offset = 0;
    for (std::size_t i = 0; i + 1 < chain.size(); ++i) offset = static_cast<std::uint16_t>(offset + chain[i].protocolSize);
    std::string info;
    CompactAnalyzerChain::inspect(chain.back(), all, selfRef(*this), [&](const QORPluginAnalyzerProtocol& last) {
        if (offset != 0 && bytes && offset <= bytes->size()) {
            if (auto text = last.protocolInfo(bytes->slice(offset))) {
                info = std::move(*text);
                return;
            }
        }
        info = last.protocolInfo().value_or("");
    });
    return info;
}

namespace {

/// Variant A: a fresh analyzer of the attribute's class over the attribute's bytes, counted from
/// the start of the packet.
std::optional<std::string> linkAddress(const QORPacket& packet, const std::optional<QORPlugInAnalyzerAttribute>& attribute) {
    if (!attribute || !attribute->plugInAnalyzerClass) return std::nullopt;
    auto bytes = packet.data();
    if (!bytes) return std::nullopt;
    Data slice = attributeSlice(*bytes, 0, *attribute);
    std::optional<std::string> address;
    attribute->plugInAnalyzerClass->inspect(slice, selfRef(packet), [&](const QORPluginAnalyzerProtocol& a) {
        address = a.value(attribute->attributeKey, slice).asString();
    });
    return address;
}

std::optional<Value> attributeValue(const QORPacket& packet, std::string_view key) {
    return attributeValue(packet, PluginLookupTable::current()->attribute(key));
}

const QORPlugInAnalyzerAttribute* pointer(const std::optional<QORPlugInAnalyzerAttribute>& attribute) {
    return attribute ? &*attribute : nullptr;
}

}  // namespace

/// Link-layer addresses come from the plug-in attribute "etherSrc"/"etherDst"; a packet whose
/// bytes or attribute are unavailable shows the address its creator set, if any.
std::optional<std::string> QORPacket::packetEtherSrc() const {
    if (auto address = linkAddress(*this, PluginLookupTable::current()->endpointAttributes.etherSrc)) return address;
    return _packetEtherSrc();
}

std::optional<std::string> QORPacket::packetEtherDst() const {
    if (auto address = linkAddress(*this, PluginLookupTable::current()->endpointAttributes.etherDst)) return address;
    return _packetEtherDst();
}

namespace {

/// The attribute values of two attributes that the same analyzer answers (a header's source and
/// destination), found with one walk of the chain and one analyzer: what `attributeValue` gives
/// for each.
std::pair<std::optional<Value>, std::optional<Value>> attributeValues(const QORPacket& packet, const QORPlugInAnalyzerAttribute* a,
                                                                      const QORPlugInAnalyzerAttribute* b) {
    if (!a || !b || a->plugInAnalyzerClass != b->plugInAnalyzerClass || !a->plugInAnalyzerClass) {
        return {attributeValue(packet, a), attributeValue(packet, b)};
    }
    auto chain = packet.analysedLinks();
    if (chain.empty()) return {Value(), Value()};
    auto owner = ownerOf(chain, *a->plugInAnalyzerClass);
    auto bytes = packet.data();
    if (!owner || !bytes) return {Value(), Value()};
    Value one, two;
    CompactAnalyzerChain::inspect(owner->link, *bytes, selfRef(packet), [&](const QORPluginAnalyzerProtocol& analyzer) {
        one = analyzer.value(a->attributeKey, attributeSlice(*bytes, owner->offset, *a));
        two = analyzer.value(b->attributeKey, attributeSlice(*bytes, owner->offset, *b));
    });
    return {std::move(one), std::move(two)};
}

/// How many IPv4 and IPv6 layers a protocol history names.
std::pair<int, int> ipLayers(InternedString history) {
    int ipv4 = 0, ipv6 = 0;
    std::string_view rest = history.view();
    for (;;) {
        auto dash = rest.find('-');
        std::string_view part = rest.substr(0, dash);
        if (part == "IP") ++ipv4;
        if (part == "IPv6") ++ipv6;
        if (dash == std::string_view::npos) break;
        rest.remove_prefix(dash + 1);
    }
    return {ipv4, ipv6};
}

using Endpoints = std::pair<std::optional<std::string>, std::optional<std::string>>;

/// Both endpoints of a packet whose history is `history` as far as they come without its stored
/// chain: the link-layer addresses for packets without IP, else the addresses the walk noted in
/// `sighting` at the first IP header (IPv4 when the history has one). Nothing when neither
/// answers; `linkAddresses` are the link-layer addresses looked up on the way (for a packet
/// without IP), for the caller that goes on.
std::optional<Endpoints> sightedEndpoints(const QORPacket& packet, InternedString history, ListingSighting& sighting,
                                          Endpoints& linkAddresses) {
    const auto [ipv4, ipv6] = ipLayers(history);
    if (ipv4 == 0 && ipv6 == 0) {
        linkAddresses = {packet.packetEtherSrc(), packet.packetEtherDst()};
        if (linkAddresses.first && linkAddresses.second) return linkAddresses;
        if (linkAddresses.first || linkAddresses.second) return std::nullopt;
    }
    // The walk notes the addresses at the first link whose class answers both attributes of the
    // pair (the link the attribute lookup reads), and only when one class does.
    auto& noted = ipv4 > 0 ? sighting.ipv4 : sighting.ipv6;
    if (noted.link) return Endpoints{std::move(noted.source), std::move(noted.destination)};
    return std::nullopt;
}

/// Source and destination: the link-layer addresses for packets without IP, else the IP address
/// attributes of the first IP analyzer of the chain (IPv4 when the history has one). With a
/// sighting of the walk that made the packet's chain, the addresses it noted at that analyzer
/// (taken from the sighting).
std::pair<std::optional<std::string>, std::optional<std::string>> endpointStrings(const QORPacket& packet, bool source,
                                                                                  bool destination,
                                                                                  ListingSighting* sighting = nullptr) {
    const InternedString history = packet.packetProtocolHistoryInterned();
    if (!history.hasValue()) return {};
    const auto [ipv4, ipv6] = ipLayers(history);
    std::optional<std::string> src, dst;
    if (sighting && source && destination) {
        Endpoints linkAddresses;
        if (auto found = sightedEndpoints(packet, history, *sighting, linkAddresses)) return std::move(*found);
        std::tie(src, dst) = std::move(linkAddresses);
    } else if (ipv4 == 0 && ipv6 == 0) {
        if (source) src = packet.packetEtherSrc();
        if (destination) dst = packet.packetEtherDst();
        if ((!source || src) && (!destination || dst)) return {src, dst};
    }
    // Only a packet the walk did not note addresses for looks at the attributes.
    const auto table = PluginLookupTable::current();
    const auto& attributes = table->endpointAttributes;
    const QORPlugInAnalyzerAttribute* srcAttribute = pointer(ipv4 > 0 ? attributes.ip4Src : attributes.ip6Src);
    const QORPlugInAnalyzerAttribute* dstAttribute = pointer(ipv4 > 0 ? attributes.ip4Dst : attributes.ip6Dst);
    auto text = [](const std::optional<Value>& v) { return v ? v->asString() : std::nullopt; };
    if (source && destination && !src && !dst) {
        auto [s, d] = attributeValues(packet, srcAttribute, dstAttribute);
        return {text(s), text(d)};
    }
    if (source && !src) src = text(attributeValue(packet, srcAttribute));
    if (destination && !dst) dst = text(attributeValue(packet, dstAttribute));
    return {src, dst};
}

}  // namespace

QORPacket::ListingTexts QORPacket::listingTexts(ListingAnalysis analysis) const {
    if (analysis == ListingAnalysis::once) {
        if (!analysisStored()) {
            if (auto texts = listingTextsOnce()) return std::move(*texts);
        }
    }
    ListingSighting sighting;
    bool walked = false;
    const CompactAnalyzerChain chain = analysedLinks(&sighting, &walked);
    ListingTexts texts;
    if (!walked) {  // analysed before (or by another thread at the same time)
        texts.summary = packetInfoOverview();
        std::tie(texts.source, texts.destination) = packetEndpointStrings();
    } else {
        if (auto stored = _packetInfoOverview(); !stored.empty()) {
            texts.summary = std::move(stored);
        } else if (!chain.empty() && sighting.summaryLink == chain.size() - 1) {
            texts.summary = std::move(sighting.summary);
        } else {
            texts.summary = packetInfoOverview();
        }
        std::tie(texts.source, texts.destination) = endpointStrings(*this, true, true, &sighting);
    }
    texts.protocol = packetProtocolInterned();
    return texts;
}

std::optional<QORPacket::ListingTexts> QORPacket::listingTextsOnce() const {
    // What `analysedLinks` and `listingTexts` would store and read back, taken from the walk
    // itself; a packet whose texts need its stored chain is left to them.
    if (!hasFilePath()) return std::nullopt;
    auto bytes = data();
    const Data packetData = bytes ? bytes->unownedView() : Data::nothingSelected();
    ListingSighting sighting;
    const CacheAnalyzer analyzer = walk(selfRef(*this), packetData, &sighting);
    const CompactAnalyzerChain& chain = analyzer.links();
    if (chain.empty()) return std::nullopt;
    ListingTexts texts;
    if (const auto& stored = analyzer.packetInfoOverviewText(); stored && !stored->empty()) {
        texts.summary = *stored;
    } else if (sighting.summaryLink == chain.size() - 1) {
        texts.summary = std::move(sighting.summary);
    } else {
        return std::nullopt;
    }
    const InternedString history = analyzer.packetProtocolHistoryInterned();
    Endpoints linkAddresses;
    auto endpoints = sightedEndpoints(*this, history.hasValue() ? history : InternedString::emptyText(), sighting, linkAddresses);
    if (!endpoints) return std::nullopt;
    std::tie(texts.source, texts.destination) = std::move(*endpoints);
    texts.protocol = analyzer.packetProtocolInterned();
    return texts;
}

std::optional<std::string> QORPacket::packetSourceString() const { return endpointStrings(*this, true, false).first; }
std::optional<std::string> QORPacket::packetDestinationString() const { return endpointStrings(*this, false, true).second; }
std::pair<std::optional<std::string>, std::optional<std::string>> QORPacket::packetEndpointStrings() const {
    return endpointStrings(*this, true, true);
}

Value QORPacket::valueForUndefinedKey(std::string_view key) const {
    if (auto value = attributeValue(*this, key)) return *value;
    auto table = PluginLookupTable::current();
    for (const auto& [keyPath, cls] : table->columnBindings) {
        if (keyPath.find(key) == std::string::npos || !cls) continue;
        auto chain = analysedLinks();
        if (chain.empty()) return {};
        auto owner = ownerOf(chain, *cls);
        auto bytes = data();
        if (!owner) return {};
        // The analyzer answers by the name of its property.
        Value value;
        CompactAnalyzerChain::inspect(owner->link, bytes ? *bytes : Data::nothingSelected(), selfRef(*this),
                                      [&](const QORPluginAnalyzerProtocol& a) { value = a.valueForKey(key); });
        return value;
    }
    return {};
}

void QORPacket::redissect() {
    if (!hasFilePath()) return;
    clearStoredAnalysis();
    (void)analyse();
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
    options.packetLinkTypeString = InternedString(start);
    options.packetLengthUnified = length;
    options.table = std::move(table);
    CacheAnalyzer analyzer(packet, std::nullopt, {}, data, static_cast<std::uint16_t>(std::min(data.size(), kMaxAnalysedBytes)),
                           std::move(options));
    return analyzer.getAnalyzers();
}

}  // namespace qor
