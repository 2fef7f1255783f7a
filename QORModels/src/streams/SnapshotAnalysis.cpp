#include "SnapshotAnalysis.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>

#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "../analysis/AddressTextMemo.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {
namespace {
constexpr std::size_t kMaxAnalysedBytes = UINT16_MAX;  // the walk counts bytes in 16 bits
constexpr std::int32_t kFamilyIPv4 = 2, kFamilyIPv6 = 30;

}  // namespace

SnapshotAnalyser::SnapshotAnalyser() : scratch_(QORPacket::create()) {}
SnapshotAnalyser::~SnapshotAnalyser() = default;

CacheAnalyzer SnapshotAnalyser::walk(const PacketSnapshot& snapshot, const Data& view, bool announce, InternedString stopAfter) {
    QORPacket& packet = *scratch_;
    packet.setPacketId(snapshot.packetId);
    packet.setDateReceived(snapshot.dateReceived);
    packet.setDataLocation(snapshot.dataLocation);
    packet.setCaptureLength(snapshot.captureLength);
    packet.setRealLength(snapshot.realLength);
    packet.setLinkType(snapshot.linkType);
    CacheAnalyzer::Options options;
    options.packetLengthUnified = std::min(snapshot.captureLength, snapshot.realLength);
    options.packetLinkTypeString = snapshot.linkTypeString.hasValue() ? snapshot.linkTypeString : InternedString::emptyText();
    options.sourceIPAddress = std::string();
    options.destinationIPAddress = std::string();
    options.packetIPVersion = 0;
    if (announce) options.announcedProtocols = announced_;
    options.stopAfter = stopAfter;
    options.unanalysedPacket = true;
    return CacheAnalyzer(std::static_pointer_cast<QORPacketProtocol>(scratch_), std::nullopt, {}, view,
                         static_cast<std::uint16_t>(std::min(view.size(), kMaxAnalysedBytes)), std::move(options));
}

std::optional<SnapshotAnalyser::Announcements> SnapshotAnalyser::announcements(const PacketSnapshot& snapshot,
                                                                              std::size_t minimumBytes) {
    auto bytes = snapshot.bytes();
    if (!bytes || bytes->empty() || bytes->size() < minimumBytes) return std::nullopt;
    const Data view = bytes->unownedView();  // the walk keeps nothing
    const CacheAnalyzer analyzer = walk(snapshot, view, true);
    return Announcements{announced_, analyzer.packetProtocolHistoryInterned(), bytes->span()};
}

std::optional<AnalysedLayer> SnapshotAnalyser::find(const PacketSnapshot& snapshot, std::string_view layerName,
                                                    std::size_t minimumBytes, bool stopAtLayer) {
    auto bytes = snapshot.bytes();
    if (!bytes || bytes->empty() || bytes->size() < minimumBytes) return std::nullopt;

    // The walk only looks at analyzers while it runs.
    const Data view = bytes->unownedView();
    if (stopAtLayer && stopText_ != layerName) {
        stopText_ = layerName;
        stopName_ = InternedString(layerName);
    }
    CacheAnalyzer analyzer = walk(snapshot, view, false, stopAtLayer ? stopName_ : InternedString());
    const CompactAnalyzerChain& links = analyzer.links();
    const InternedString history = analyzer.packetProtocolHistoryInterned();
    if (!history.hasValue() || links.empty()) return std::nullopt;

    // The history's layers: layer i is analyzed by link i + 1. Interned text lives as long as
    // the process, so the last name can be handed out as a view of it.
    std::string_view rest = history.view();
    std::size_t position = 0;
    std::optional<std::size_t> found;
    std::string_view last, before;  // the last layer, and the one before the layer looked for
    for (;;) {
        const auto dash = rest.find('-');
        const std::string_view name = rest.substr(0, dash);
        if (!found && name == layerName) {
            found = position;
            before = last;
        }
        // A transport header after an ICMP message is the quotation of the datagram that
        // caused an error, not a datagram of its own.
        if (!found && (name == "ICMP" || name == "ICMPv6")) return std::nullopt;
        last = name;
        if (dash == std::string_view::npos) break;
        rest.remove_prefix(dash + 1);
        ++position;
    }
    if (!found || *found + 1 >= links.size()) return std::nullopt;

    AnalysedLayer layer;
    const std::size_t linkIndex = *found + 1;
    for (std::size_t i = 0; i < linkIndex; ++i) layer.offset += links[i].protocolSize;
    if (*found > 0 && links[linkIndex - 1].protocolSize <= layer.offset)
        layer.previousOffset = layer.offset - links[linkIndex - 1].protocolSize;
    layer.lastLayerName = last;
    layer.lastLink = links.back();
    // The addresses of the IP header that carries the layer, as its analyzer renders them; the
    // packet's own addresses when the layer before is no IP header.
    const auto version = layer.previousOffset ? bytes->byteAt(*layer.previousOffset) : std::nullopt;
    const std::int32_t family = !version ? 0 : (*version >> 4) == 4 ? kFamilyIPv4 : (*version >> 4) == 6 ? kFamilyIPv6 : 0;
    if (family != 0 && (before == "IP" || before == "IPv6")) {
        const ChainLink& ipLink = links[linkIndex - 1];
        std::tie(layer.sourceIP, layer.destinationIP) = addressTextMemo().texts(ipLink, family, view, [&] {
            return CacheAnalyzer::addressTexts(ipLink, family, view, std::static_pointer_cast<QORPacketProtocol>(scratch_));
        });
    } else {
        std::tie(layer.sourceIP, layer.destinationIP) = analyzer.ipAddresses();
    }
    layer.bytes = std::move(*bytes);
    return layer;
}

std::optional<std::string> SnapshotAnalyser::lastLayerInfo(const AnalysedLayer& layer, const Data& data) {
    std::optional<std::string> info;
    CompactAnalyzerChain::inspect(layer.lastLink, layer.bytes, std::static_pointer_cast<QORPacketProtocol>(scratch_),
                                  [&](const QORPluginAnalyzerProtocol& analyzer) { info = analyzer.protocolInfo(data); });
    return info;
}

}  // namespace qor
