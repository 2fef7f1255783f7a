// The analyzer-chain walk of one packet.

#include "QORModels/analysis/CacheAnalyzer.hpp"

#include <algorithm>
#include <tuple>

#include "QORLog/QORLog.hpp"
#include "QORModels/analysis/DefaultPacketPlugIn.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/CacheAnalyzer";
/// Room for the packet analyzer, a link layer, a tunnel or VLAN, a network, a transport and an
/// application layer.
constexpr std::size_t kTypicalChainLength = 8;
constexpr std::int32_t kFamilyIPv4 = 2;
constexpr std::int32_t kFamilyIPv6 = 30;
// Where the addresses lie in an IPv4 header (RFC 791) and an IPv6 header (RFC 8200).
constexpr std::size_t kIPv4SourceOffset = 12, kIPv4DestinationOffset = 16, kIPv4AddressLength = 4;
constexpr std::size_t kIPv6SourceOffset = 8, kIPv6DestinationOffset = 24, kIPv6AddressLength = 16;

std::uint16_t clamp16(std::uint64_t v) { return static_cast<std::uint16_t>(std::min<std::uint64_t>(v, UINT16_MAX)); }

/// An address value as text; a value that is absent or not text becomes empty text.
std::string addressText(const QORPluginAnalyzerProtocol& a, std::string_view key, const Data& slice, std::size_t offset,
                        std::size_t length) {
    Data bytes = slice.checkedSlice(offset, length).value_or(Data());
    Value v = a.value(key, bytes);
    if (const std::string* text = v.stringPtr()) return *text;
    return {};
}

}  // namespace

CacheAnalyzer::CacheAnalyzer(PacketRef packet, std::optional<std::filesystem::path> fileURL, AnalyzerChain analyzers,
                             Data packetData, std::uint16_t payloadSize, Options options)
    : packet_(std::move(packet)),
      fileURL_(std::move(fileURL)),
      analyzers_(std::move(analyzers)),
      packetData_(std::move(packetData)),
      payloadSize_(payloadSize),
      allProtoSize_(options.allProtoSize.value_or(0)),
      sourceIPAddress_(std::move(options.sourceIPAddress)),
      destinationIPAddress_(std::move(options.destinationIPAddress)),
      table_(options.table ? std::move(options.table) : PluginLookupTable::current()) {
    const QORPacketProtocol* p = packet_.get();
    packetProtocol_ = options.packetProtocol ? options.packetProtocol : (p ? p->packetProtocol() : std::nullopt);
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
    packetProtocolHistory_ = options.packetProtocolHistory ? options.packetProtocolHistory
                                                           : (p ? p->packetProtocolHistory() : std::nullopt);
    packetLinkTypeString_ = options.packetLinkTypeString ? options.packetLinkTypeString
                                                         : (p ? p->packetLinkTypeString() : std::nullopt);
    try {
        walkChain();
    } catch (const APIErrorException& e) {
        QOR_LOG(kLogTag, e.what());
        analyzers_.clear();
    }
}

Data CacheAnalyzer::payload() const {
    return packetData_.slice(static_cast<std::size_t>(payloadOffset_), payloadSize_);
}

void CacheAnalyzer::updateProtocol(const QORPluginAnalyzerProtocol& analyzer, const std::string& lookupName) {
    auto name = analyzer.protocolName();
    if (name && name != packetProtocol_) {
        packetProtocol_ = std::move(name);
    } else if (packetProtocol_ != lookupName) {
        packetProtocol_ = lookupName;
    }
}

AnalyzerChain CacheAnalyzer::processAnalyzers() {
    walkChain();
    return analyzers_;
}

void CacheAnalyzer::walkChain() {
    if (payloadSize_ == 0) {
        QOR_LOG(kLogTag, "no payload");
        throw APIErrorException(APIError::missingData, "no payload");
    }
    analyzers_.clear();
    auto head = DefaultPacketProtocolAnalyzer::create(Data(), packet_);
    if (!head) return;
    analyzers_.reserve(kTypicalChainLength);  // one allocation for the usual chain
    analyzers_.push_back(std::move(head));
    std::string history;
    std::optional<std::string> next;
    const PluginLookupTable& table = *table_;

    // The link step: the chain starts with the analyzer named after the link type.
    const std::string linkName = packetLinkTypeString_.value_or("");
    if (auto it = table.analyzerClassByProtocol.find(linkName); it != table.analyzerClassByProtocol.end() && it->second) {
        if (auto link = it->second->make(payload(), packet_)) {
            std::uint32_t sum = std::uint32_t{allProtoSize_} + link->protocolSize();
            if (sum <= kMaxAllProtoSize) {
                updateProtocol(*link, linkName);
                if (packetProtocol_) history += *packetProtocol_;
                allProtoSize_ = static_cast<std::uint16_t>(sum);
                next = link->nextProtocol();
                analyzers_.push_back(std::move(link));
                if (packetLengthUnified_ > allProtoSize_ && packetData_.size() >= packetLengthUnified_) {
                    payloadOffset_ = allProtoSize_;
                    payloadSize_ = clamp16(packetLengthUnified_ - allProtoSize_);
                }
            }
        }
    }

    int stalls = 0;
    while (next && analyzers_.size() < kMaxChainLength) {
        const std::string name = std::move(*next);
        const auto before = std::make_tuple(allProtoSize_, payloadOffset_, payloadSize_);
        next = protocolStep(name, table, history);
        if (allProtoSize_ <= kMinimumEthernetFrame && packetLengthUnified_ <= kMaxPaddedFrameLength) {
            packetPadding_ = kMinimumEthernetFrame - allProtoSize_;
        }
        packetProtocolHistory_ = history;
        // A step that neither explains bytes nor moves the payload window makes no progress.
        if (before == std::make_tuple(allProtoSize_, payloadOffset_, payloadSize_)) {
            if (++stalls >= kMaxStallSteps || (next && *next == name)) break;
        } else {
            stalls = 0;
        }
    }
}

std::optional<std::string> CacheAnalyzer::protocolStep(const std::string& name, const PluginLookupTable& table, std::string& history) {
    auto it = table.analyzerClassByProtocol.find(name);
    if (it == table.analyzerClassByProtocol.end() || !it->second) return std::nullopt;
    Data slice = payload();
    AnalyzerRef analyzer = it->second->make(slice, packet_);
    if (!analyzer) return std::nullopt;
    const std::uint16_t size = analyzer->protocolSize();
    const std::uint32_t sum = std::uint32_t{allProtoSize_} + size;
    if (sum > kMaxAllProtoSize) return std::nullopt;  // the headers cannot all be in one packet

    updateProtocol(*analyzer, name);

    if (name == "IP" && packetIPVersion_ != kFamilyIPv4) {
        packetIPVersion_ = kFamilyIPv4;
        sourceIPAddress_ = addressText(*analyzer, "ip4SrcAddr", slice, kIPv4SourceOffset, kIPv4AddressLength);
        destinationIPAddress_ = addressText(*analyzer, "ip4DstAddr", slice, kIPv4DestinationOffset, kIPv4AddressLength);
    } else if (name == "IPv6" && packetIPVersion_ != kFamilyIPv6) {
        packetIPVersion_ = kFamilyIPv6;
        sourceIPAddress_ = addressText(*analyzer, "ip6SrcAddr", slice, kIPv6SourceOffset, kIPv6AddressLength);
        destinationIPAddress_ = addressText(*analyzer, "ip6DstAddr", slice, kIPv6DestinationOffset, kIPv6AddressLength);
    }

    std::optional<std::string> next = analyzer->nextProtocol();
    const bool hasPayload = analyzer->hasPayload();
    if (hasPayload) {
        auto declared = analyzer->value("payloadSize", slice).asUInt();
        if (declared && *declared <= payloadSize_) {
            payloadSize_ = static_cast<std::uint16_t>(*declared);
        } else if (size <= payloadSize_) {
            payloadSize_ = static_cast<std::uint16_t>(payloadSize_ - size);
        }
    } else {
        payloadSize_ = 0;
    }

    allProtoSize_ = static_cast<std::uint16_t>(sum);
    analyzers_.push_back(std::move(analyzer));
    if (packetProtocol_) {
        history += '-';
        history += *packetProtocol_;
    }
    if (packetLengthUnified_ > allProtoSize_ && packetData_.size() >= packetLengthUnified_) {
        payloadOffset_ = allProtoSize_;
        if (!hasPayload) payloadSize_ = clamp16(packetLengthUnified_ - allProtoSize_);
    }
    return next;
}

void CacheAnalyzer::apply(QORPacket& packet) const {
    packet.setPacketProtocol(packetProtocol_);
    packet.setPacketProtocolHistory(packetProtocolHistory_.value_or(""));
    packet.setPacketIPVersion(packetIPVersion_.value_or(kFamilyIPv4));
    packet.setPacketPadding(packetPadding_.value_or(0));
    packet.set_packetInfoOverview(packetInfoOverview_.value_or(""));
    if (sourceIPAddress_) packet.set_packetIPSrc(*sourceIPAddress_);
    if (destinationIPAddress_) packet.set_packetIPDst(*destinationIPAddress_);
}

}  // namespace qor
