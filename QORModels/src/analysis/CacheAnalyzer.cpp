// The analyzer-chain walk of one packet.

#include "QORModels/analysis/CacheAnalyzer.hpp"

#include <algorithm>
#include <tuple>

#include "QORLog/QORLog.hpp"
#include "QORModels/analysis/DefaultPacketPlugIn.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "AddressTextMemo.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/CacheAnalyzer";
constexpr std::int32_t kFamilyIPv4 = 2;
constexpr std::int32_t kFamilyIPv6 = 30;
// Where the addresses lie in an IPv4 header (RFC 791) and an IPv6 header (RFC 8200).
constexpr std::size_t kIPv4SourceOffset = 12, kIPv4DestinationOffset = 16, kIPv4AddressLength = 4;
constexpr std::size_t kIPv6SourceOffset = 8, kIPv6DestinationOffset = 24, kIPv6AddressLength = 16;

std::uint16_t clamp16(std::uint64_t v) { return static_cast<std::uint16_t>(std::min<std::uint64_t>(v, UINT16_MAX)); }

}  // namespace

CacheAnalyzer::CacheAnalyzer(PacketRef packet, std::optional<std::filesystem::path> fileURL, AnalyzerChain analyzers,
                             Data packetData, std::uint16_t payloadSize, Options&& options)
    : packet_(std::move(packet)),
      fileURL_(std::move(fileURL)),
      analyzers_(std::move(analyzers)),
      packetData_(std::move(packetData)),
      payloadSize_(payloadSize),
      allProtoSize_(options.allProtoSize.value_or(0)),
      sourceIPAddress_(std::move(options.sourceIPAddress)),
      destinationIPAddress_(std::move(options.destinationIPAddress)),
      table_(options.table ? std::move(options.table) : PluginLookupTable::current()),
      sighting_(options.sighting ? &options.sighting->get() : nullptr),
      observer_(options.layerObserver),
      announced_(options.announcedProtocols ? &options.announcedProtocols->get() : nullptr),
      stopAfter_(options.stopAfter) {
    const QORPacketProtocol* p = options.unanalysedPacket ? nullptr : packet_.get();
    packetProtocol_ = options.packetProtocol.hasValue() ? options.packetProtocol
                                                        : (p ? InternedString::from(p->packetProtocol()) : InternedString());
    if (options.packetInfoOverview) {
        packetInfoOverview_ = options.packetInfoOverview;
    } else if (p) {
        packetInfoOverview_ = p->_packetInfoOverview();
    }
    if (options.packetIPVersion) {
        packetIPVersion_ = options.packetIPVersion;
    } else if (p) {
        packetIPVersion_ = p->packetIPVersion();
    }
    packetLengthUnified_ = options.packetLengthUnified.value_or(p ? p->packetLengthUnified() : 0);
    packetProtocolHistory_ = options.packetProtocolHistory.hasValue()
                                 ? options.packetProtocolHistory
                                 : (p ? InternedString::from(p->packetProtocolHistory()) : InternedString());
    packetLinkTypeString_ = options.packetLinkTypeString.hasValue()
                                ? options.packetLinkTypeString
                                : (p ? InternedString::from(p->packetLinkTypeString()) : InternedString());
    try {
        walkChain();
    } catch (const APIErrorException& e) {
        QOR_LOG(kLogTag, e.what());
        links_.clear();
        if (announced_) announced_->clear();
        analyzers_.clear();
        analyzersMade_ = true;
    }
}

CacheAnalyzer::CacheAnalyzer(PacketRef packet, std::optional<std::filesystem::path> fileURL, AnalyzerChain analyzers,
                             Data packetData, std::uint16_t payloadSize)
    : CacheAnalyzer(std::move(packet), std::move(fileURL), std::move(analyzers), std::move(packetData), payloadSize, Options()) {}

ChainLink CacheAnalyzer::headLink() {
    // The class lives as long as the process, and a class keeps its number once it has one.
    static const std::uint16_t headIndex = AnalyzerClassIndex::indexOf(DefaultPacketProtocolAnalyzer::analyzerClassRef());
    return ChainLink{headIndex, 0, 0, 0};
}

Data CacheAnalyzer::payload() const {
    return packetData_.slice(static_cast<std::size_t>(payloadOffset_), payloadSize_);
}

void CacheAnalyzer::updateProtocol(InternedString analyzerName, InternedString lookupName) {
    if (analyzerName.hasValue() && analyzerName != packetProtocol_) {
        packetProtocol_ = analyzerName;
    } else if (packetProtocol_ != lookupName) {
        packetProtocol_ = lookupName;
    }
}

AnalyzerChain CacheAnalyzer::processAnalyzers() {
    analyzersMade_ = false;
    analyzers_.clear();
    walkChain();
    return getAnalyzers();
}

const AnalyzerChain& CacheAnalyzer::getAnalyzers() const {
    if (!analyzersMade_) {
        analyzersMade_ = true;
        analyzers_.clear();
        analyzers_.reserve(links_.size());
        for (const auto& link : links_.links()) {
            auto analyzer = CompactAnalyzerChain::make(link, packetData_, packet_);
            if (!analyzer) break;  // a class that refuses bytes it once took: the chain ends there
            analyzers_.push_back(std::move(analyzer));
        }
    }
    return analyzers_;
}

void CacheAnalyzer::walkChain() {
    if (announced_) announced_->clear();
    if (payloadSize_ == 0) {
        QOR_LOG(kLogTag, "no payload");
        throw APIErrorException(APIError::missingData, "no payload");
    }
    links_.clear();
    // The built-in packet analyzer is always made (from no bytes), so the walk only notes it.
    const ChainLink head = headLink();
    if (head.classIndex == 0) return;
    appendLink(head, InternedString());  // the built-in analyzer names nothing after it
    InternedString history = InternedString::emptyText();  // the history text starts empty
    InternedString next;
    const PluginLookupTable& table = *table_;

    // The link step: the chain starts with the analyzer named after the link type.
    const InternedString linkName = packetLinkTypeString_.hasValue() ? packetLinkTypeString_ : InternedString::emptyText();
    const PluginLookupTable::FoundClass found = table.analyzerClass(linkName);
    if (const AnalyzerClassRef* cls = found.cls) {
        const std::uint16_t index = found.chainIndex;
        const Data slice = payload();
        std::uint16_t size = 0;
        InternedString name;
        const bool made = index != 0 && (*cls)->inspect(slice, packet_, [&](const QORPluginAnalyzerProtocol& link) {
            size = link.protocolSize();
            name = link.protocolNameInterned();
            next = link.nextProtocolInterned();
            // The link header may be the first IP header (raw IP captures).
            if (sighting_ && found.addressRoles && std::uint32_t{allProtoSize_} + size <= kMaxAllProtoSize)
                noteAddresses(link, found.addressRoles, allProtoSize_);
            if (observer_ && std::uint32_t{allProtoSize_} + size <= kMaxAllProtoSize)
                observer_->layer(links_.size(), name.hasValue() ? name : linkName, link, slice, next);
        });
        const std::uint32_t sum = std::uint32_t{allProtoSize_} + size;
        if (made && sum <= kMaxAllProtoSize) {
            updateProtocol(name, linkName);
            if (packetProtocol_.hasValue()) history = packetProtocol_;
            appendLink(ChainLink{index, static_cast<std::uint16_t>(payloadOffset_), static_cast<std::uint16_t>(slice.size()), size}, next);
            allProtoSize_ = static_cast<std::uint16_t>(sum);
            if (packetLengthUnified_ > allProtoSize_ && packetData_.size() >= packetLengthUnified_) {
                payloadOffset_ = allProtoSize_;
                payloadSize_ = clamp16(packetLengthUnified_ - allProtoSize_);
            }
        } else {
            next = InternedString();
        }
    }

    int stalls = 0;
    while (next.hasValue() && links_.size() < kMaxChainLength) {
        const InternedString name = next;
        const auto before = std::make_tuple(allProtoSize_, payloadOffset_, payloadSize_);
        const std::size_t linksBefore = links_.size();
        next = protocolStep(name, table, history);
        if (allProtoSize_ <= kMinimumEthernetFrame && packetLengthUnified_ <= kMaxPaddedFrameLength) {
            packetPadding_ = kMinimumEthernetFrame - allProtoSize_;
        }
        packetProtocolHistory_ = history;
        if (stopAfter_.hasValue() && links_.size() > linksBefore && packetProtocol_ == stopAfter_) break;
        // A step that neither explains bytes nor moves the payload window makes no progress.
        if (before == std::make_tuple(allProtoSize_, payloadOffset_, payloadSize_)) {
            if (++stalls >= kMaxStallSteps || next == name) break;
        } else {
            stalls = 0;
        }
    }
}

InternedString CacheAnalyzer::protocolStep(InternedString name, const PluginLookupTable& table, InternedString& history) {
    static const InternedString kIPv4Name("IP"), kIPv6Name("IPv6");
    const PluginLookupTable::FoundClass found = table.analyzerClass(name);
    const AnalyzerClassRef* cls = found.cls;
    if (!cls) return {};
    const std::uint16_t index = found.chainIndex;
    if (index == 0) return {};
    const Data slice = payload();
    const bool takesIPv4 = name == kIPv4Name && packetIPVersion_ != kFamilyIPv4;
    const bool takesIPv6 = name == kIPv6Name && packetIPVersion_ != kFamilyIPv6;
    // The addresses are rendered only when someone asks for them: the walk notes which header
    // they come from.

    std::uint16_t size = 0;
    bool hasPayload = true;
    std::optional<std::uint64_t> declared;
    InternedString protocolName, next;
    const bool made = (*cls)->inspect(slice, packet_, [&](const QORPluginAnalyzerProtocol& analyzer) {
        size = analyzer.protocolSize();
        if (std::uint32_t{allProtoSize_} + size > kMaxAllProtoSize) return;  // not taken: see below
        protocolName = analyzer.protocolNameInterned();
        next = analyzer.nextProtocolInterned();
        hasPayload = analyzer.hasPayload();
        if (hasPayload) declared = analyzer.value("payloadSize", slice).asUInt();
        if (sighting_) sight(analyzer, found.addressRoles, allProtoSize_, next);
        if (observer_) observer_->layer(links_.size(), protocolName.hasValue() ? protocolName : name, analyzer, slice, next);
    });
    if (!made) return {};
    const std::uint32_t sum = std::uint32_t{allProtoSize_} + size;
    if (sum > kMaxAllProtoSize) return {};  // the headers cannot all be in one packet

    updateProtocol(protocolName, name);
    if (takesIPv4 || takesIPv6) {
        packetIPVersion_ = takesIPv4 ? kFamilyIPv4 : kFamilyIPv6;
        addressLink_ = static_cast<std::uint8_t>(links_.size() + 1);
    }

    if (hasPayload) {
        if (declared && *declared <= payloadSize_) {
            payloadSize_ = static_cast<std::uint16_t>(*declared);
        } else if (size <= payloadSize_) {
            payloadSize_ = static_cast<std::uint16_t>(payloadSize_ - size);
        }
    } else {
        payloadSize_ = 0;
    }

    appendLink(ChainLink{index, static_cast<std::uint16_t>(payloadOffset_), static_cast<std::uint16_t>(slice.size()), size}, next);
    allProtoSize_ = static_cast<std::uint16_t>(sum);
    if (packetProtocol_.hasValue()) history = InternedString::joined(history, '-', packetProtocol_);
    if (packetLengthUnified_ > allProtoSize_ && packetData_.size() >= packetLengthUnified_) {
        payloadOffset_ = allProtoSize_;
        if (!hasPayload) payloadSize_ = clamp16(packetLengthUnified_ - allProtoSize_);
    }
    return next;
}

void CacheAnalyzer::noteAddresses(const QORPluginAnalyzerProtocol& analyzer, std::uint8_t addressRoles, std::uint16_t headerOffset) {
    const auto link = static_cast<std::uint8_t>(std::min<std::size_t>(links_.size(), UINT8_MAX));
    const PluginLookupTable::EndpointAttributes& attributes = table_->endpointAttributes;
    // A role says that both attributes of the pair are there and name the analyzer's class.
    auto note = [&](ListingSighting::Addresses& addresses, const QORPlugInAnalyzerAttribute& source,
                    const QORPlugInAnalyzerAttribute& destination) {
        if (addresses.link) return;
        addresses.link = link;
        addresses.source = analyzer.value(source.attributeKey, attributeSlice(packetData_, headerOffset, source)).asString();
        addresses.destination = analyzer.value(destination.attributeKey, attributeSlice(packetData_, headerOffset, destination)).asString();
    };
    if (addressRoles & PluginLookupTable::kIPv4Addresses) note(sighting_->ipv4, *attributes.ip4Src, *attributes.ip4Dst);
    if (addressRoles & PluginLookupTable::kIPv6Addresses) note(sighting_->ipv6, *attributes.ip6Src, *attributes.ip6Dst);
}

void CacheAnalyzer::noteSummary(const QORPluginAnalyzerProtocol& analyzer, std::uint16_t headerOffset) {
    const auto link = static_cast<std::uint8_t>(std::min<std::size_t>(links_.size(), UINT8_MAX));
    // The summary line's rule: the header's own bytes onwards when they can be given, else the
    // analyzer's summary of what it was made from.
    std::optional<std::string> text;
    if (headerOffset != 0 && headerOffset <= packetData_.size()) text = analyzer.protocolInfo(packetData_.slice(headerOffset));
    if (!text) text = analyzer.protocolInfo();
    sighting_->summaryLink = link;
    sighting_->summary = text ? std::move(*text) : std::string();
}

namespace {

/// The address texts the IP analyzer of `link` renders: the source's when `source`, the
/// destination's when `destination` (each left empty otherwise), from one analyzer.
std::pair<std::string, std::string> renderAddresses(const ChainLink& link, std::int32_t family, bool source, bool destination,
                                                    const Data& bytes, const PacketRef& packet) {
    const bool v4 = family == kFamilyIPv4;
    const std::size_t length = v4 ? kIPv4AddressLength : kIPv6AddressLength;
    const Data slice = CompactAnalyzerChain::bytesOf(link, bytes);
    std::pair<std::string, std::string> texts;
    CompactAnalyzerChain::inspect(link, bytes, packet, [&](const QORPluginAnalyzerProtocol& analyzer) {
        auto render = [&](const char* key, std::size_t offset, std::string& text) {
            Value v = analyzer.value(key, slice.checkedSlice(offset, length).value_or(Data()));
            if (const std::string* t = v.stringPtr()) text = *t;
        };
        if (source) render(v4 ? "ip4SrcAddr" : "ip6SrcAddr", v4 ? kIPv4SourceOffset : kIPv6SourceOffset, texts.first);
        if (destination)
            render(v4 ? "ip4DstAddr" : "ip6DstAddr", v4 ? kIPv4DestinationOffset : kIPv6DestinationOffset, texts.second);
    });
    return texts;
}

}  // namespace

std::string CacheAnalyzer::addressText(const ChainLink& link, std::int32_t family, bool source, const Data& bytes,
                                       const PacketRef& packet) {
    auto texts = renderAddresses(link, family, source, !source, bytes, packet);
    return source ? std::move(texts.first) : std::move(texts.second);
}

std::pair<std::string, std::string> CacheAnalyzer::addressTexts(const ChainLink& link, std::int32_t family, const Data& bytes,
                                                                const PacketRef& packet) {
    return renderAddresses(link, family, true, true, bytes, packet);
}

std::optional<std::span<const std::byte>> CacheAnalyzer::addressBytes(const ChainLink& link, std::int32_t family,
                                                                      const Data& bytes) {
    // The destination follows the source directly in both headers.
    const bool v4 = family == kFamilyIPv4;
    const std::size_t length = v4 ? kIPv4AddressLength : kIPv6AddressLength;
    static_assert(kIPv4DestinationOffset == kIPv4SourceOffset + kIPv4AddressLength &&
                  kIPv6DestinationOffset == kIPv6SourceOffset + kIPv6AddressLength);
    const auto pair = CompactAnalyzerChain::bytesOf(link, bytes).checkedSlice(v4 ? kIPv4SourceOffset : kIPv6SourceOffset, 2 * length);
    if (!pair) return std::nullopt;
    return pair->span();
}

std::optional<std::string> CacheAnalyzer::sourceIPAddress() const {
    if (addressLink_ == 0) return sourceIPAddress_;
    return addressText(links_[addressLink_ - 1], packetIPVersion_.value_or(kFamilyIPv4), true, packetData_, packet_);
}

std::optional<std::string> CacheAnalyzer::destinationIPAddress() const {
    if (addressLink_ == 0) return destinationIPAddress_;
    return addressText(links_[addressLink_ - 1], packetIPVersion_.value_or(kFamilyIPv4), false, packetData_, packet_);
}

std::pair<std::string, std::string> CacheAnalyzer::ipAddresses() const {
    if (addressLink_ == 0) return {sourceIPAddress_.value_or(""), destinationIPAddress_.value_or("")};
    const ChainLink& link = links_[addressLink_ - 1];
    const std::int32_t family = packetIPVersion_.value_or(kFamilyIPv4);
    return addressTextMemo().texts(link, family, packetData_, [&] { return addressTexts(link, family, packetData_, packet_); });
}

void CacheAnalyzer::apply(QORPacket& packet) const {
    packet.setAnalysedFields({packetProtocol_,
                              packetProtocolHistory_.hasValue() ? packetProtocolHistory_ : InternedString::emptyText(),
                              packetIPVersion_.value_or(kFamilyIPv4), packetPadding_.value_or(0), packetInfoOverview_.value_or(""),
                              addressLink_});  // with a link, the packet renders the addresses from its chain
    if (addressLink_ != 0) return;
    if (sourceIPAddress_) packet.set_packetIPSrc(*sourceIPAddress_);
    if (destinationIPAddress_) packet.set_packetIPDst(*destinationIPAddress_);
}

}  // namespace qor
