#include "QORModels/streams/UDPFlowReassembler.hpp"

#include <algorithm>
#include <deque>
#include <functional>

#include "SnapshotExtraction.hpp"

namespace qor {
namespace {

constexpr std::size_t kUDPHeaderLength = 8;

std::optional<RawUDPDatagram> extract(SnapshotAnalyser& analyser, const PacketSnapshot& snapshot) {
    auto layer = analyser.find(snapshot, "UDP", 0);
    if (!layer || layer->offset > layer->bytes.size() || layer->bytes.size() - layer->offset < kUDPHeaderLength)
        return std::nullopt;
    const Data& bytes = layer->bytes;
    RawUDPDatagram datagram;
    datagram.packetId = snapshot.packetId;
    datagram.timestamp = snapshot.dateReceived;
    datagram.srcPort = static_cast<std::uint16_t>((bytes[layer->offset] << 8) | bytes[layer->offset + 1]);
    datagram.dstPort = static_cast<std::uint16_t>((bytes[layer->offset + 2] << 8) | bytes[layer->offset + 3]);
    // Neither the UDP length nor the IP length is consulted: padding stays in the payload.
    datagram.payload = bytes.slice(layer->offset + kUDPHeaderLength);
    datagram.protocolName = std::string(layer->lastLayerName);
    if (datagram.protocolName != "UDP") {
        auto info = analyser.lastLayerInfo(*layer, datagram.payload);
        if (info && !info->empty() && *info != "NA") datagram.info = std::move(info);
    }
    datagram.srcIP = std::move(layer->sourceIP);
    datagram.dstIP = std::move(layer->destinationIP);
    return datagram;
}

}  // namespace

UDPFlowKey::UDPFlowKey(const std::string& srcIP, std::uint16_t srcPort, const std::string& dstIP, std::uint16_t dstPort) {
    auto key = TCPStreamKey::between({srcIP, srcPort}, {dstIP, dstPort});
    endpointA = std::move(key.endpointA);
    endpointB = std::move(key.endpointB);
}

std::string UDPFlowKey::displayString() const { return endpointText(endpointA) + " \u2194 " + endpointText(endpointB); }

std::size_t UDPFlowKeyHash::operator()(const UDPFlowKey& key) const noexcept {
    return TCPStreamKeyHash{}(TCPStreamKey::View{key.endpointA.ip, key.endpointA.port, key.endpointB.ip, key.endpointB.port});
}

bool operator==(const UDPFlowKey& key, const TCPStreamKey::View& view) noexcept { return view.sees(key.endpointA, key.endpointB); }

std::int64_t UDPFlow::totalBytes() const noexcept {
    std::int64_t total = 0;
    for (const auto& d : datagrams) total += static_cast<std::int64_t>(d.payload.size());
    return total;
}

std::string UDPFlow::title() const { return endpointText(clientEndpoint) + " \u2192 " + endpointText(serverEndpoint); }

std::string UDPFlow::protocolLabel() const {
    for (const auto& d : datagrams)
        if (d.protocolName != "UDP") return d.protocolName;
    return "UDP";
}

UDPFlow UDPFlowReassembler::buildFlow(const UDPFlowKey& key, std::vector<RawUDPDatagram> datagrams) {
    std::stable_sort(datagrams.begin(), datagrams.end(),
                     [](const RawUDPDatagram& a, const RawUDPDatagram& b) { return a.timestamp < b.timestamp; });
    UDPFlow flow;
    flow.key = key;
    flow.clientEndpoint = datagrams.empty() ? key.endpointA : UDPFlowKey::Endpoint{datagrams.front().srcIP, datagrams.front().srcPort};
    flow.serverEndpoint = flow.clientEndpoint == key.endpointA ? key.endpointB : key.endpointA;
    flow.datagrams.reserve(datagrams.size());
    for (auto& d : datagrams) {
        const bool fromClient = d.srcIP == flow.clientEndpoint.ip && d.srcPort == flow.clientEndpoint.port;
        flow.datagrams.push_back(UDPDatagram{d.packetId,
                                             fromClient ? TCPSegment::Direction::clientToServer : TCPSegment::Direction::serverToClient,
                                             std::move(d.payload), d.timestamp, std::move(d.protocolName), std::move(d.info)});
    }
    if (!flow.datagrams.empty()) {
        flow.startTime = flow.datagrams.front().timestamp;
        flow.endTime = flow.datagrams.back().timestamp;
    }
    return flow;
}

std::vector<RawUDPDatagram> UDPFlowReassembler::extractDatagrams(const std::vector<PacketSnapshot>& snapshots,
                                                                 const SnapshotProgress& onProgress) {
    return extractInBatches<RawUDPDatagram>(snapshots, onProgress, extract).value_or(std::vector<RawUDPDatagram>());
}

UDPFlowReassembler::Reassembly UDPFlowReassembler::reassembleOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                                     std::int64_t selectedPacketId) {
    Reassembly result;
    auto extracted = extractInBatches<RawUDPDatagram>(snapshots, {}, extract);
    if (!extracted) return result;
    UDPDatagramGroups groups;
    const auto selected = addNotingPacket(groups, std::move(*extracted), selectedPacketId);
    for (std::size_t i = 0; i < groups.size(); ++i)
        result.availableFlows.push_back(AvailableFlow{groups.keys()[i], static_cast<std::int64_t>(groups.records(i).size())});
    if (selected) result.flow = buildFlow(groups.keys()[*selected], groups.take(*selected));
    return result;
}

std::optional<UDPFlow> UDPFlowReassembler::reassembleOffMain(const std::vector<PacketSnapshot>& snapshots, const UDPFlowKey& flowKey) {
    auto extracted = extractInBatches<RawUDPDatagram>(snapshots, {}, extract);
    if (!extracted) return std::nullopt;
    std::vector<RawUDPDatagram> mine;
    for (auto& d : *extracted) {
        if (d.key() == flowKey) mine.push_back(std::move(d));
    }
    if (mine.empty()) return std::nullopt;
    return buildFlow(flowKey, std::move(mine));
}

std::vector<UDPFlow> UDPFlowReassembler::reassembleAllOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                              const SnapshotProgress& onProgress) {
    auto extracted = extractInBatches<RawUDPDatagram>(snapshots, onProgress, extract);
    if (!extracted) return {};
    return reassembleAllOffMain(UDPDatagramGroups(std::move(*extracted)));
}

std::vector<UDPFlow> UDPFlowReassembler::reassembleAllOffMain(UDPDatagramGroups groups) {
    std::vector<UDPFlow> flows;
    flows.reserve(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) flows.push_back(buildFlow(groups.keys()[i], groups.take(i)));
    return flows;
}

std::vector<StreamMessage> UDPFlowReassembler::messages(const UDPFlow& flow) {
    std::vector<StreamMessage> messages;
    messages.reserve(flow.datagrams.size());
    for (const auto& d : flow.datagrams) {
        std::string summary = d.protocolName;
        if (d.info && !d.info->empty()) {
            summary += " \u00b7 " + *d.info;
        } else {
            summary += " " + std::to_string(d.payload.size()) + " bytes";
        }
        const bool request = d.direction == TCPSegment::Direction::clientToServer;
        messages.emplace_back(d.direction, request ? StreamMessageKind::request : StreamMessageKind::reply, std::move(summary),
                              std::vector<DetailRow>{}, d.payload.empty() ? std::nullopt : std::optional<Data>(d.payload),
                              StreamBodyHint::binary(), std::nullopt, std::vector<std::int64_t>{d.id}, d.timestamp, std::nullopt,
                              false);
    }
    return messages;
}

std::optional<std::vector<Pairing>> UDPFlowReassembler::pairings(const UDPFlow& flow) {
    std::vector<Pairing> pairings;
    std::deque<std::size_t> waiting;  // request indexes, oldest first
    for (std::size_t i = 0; i < flow.datagrams.size(); ++i) {
        if (flow.datagrams[i].direction == TCPSegment::Direction::clientToServer) {
            waiting.push_back(i);
            continue;
        }
        if (waiting.empty()) continue;  // a reply to a request the capture does not hold
        const std::size_t request = waiting.front();
        waiting.pop_front();
        pairings.emplace_back(static_cast<std::int64_t>(request), static_cast<std::int64_t>(i),
                              "UDP " + std::to_string(flow.datagrams[request].payload.size()) + "B \u2192 " +
                                  std::to_string(flow.datagrams[i].payload.size()) + "B",
                              PairingStatus::matched);
    }
    for (std::size_t request : waiting)
        pairings.emplace_back(static_cast<std::int64_t>(request), std::nullopt, "UDP request (no reply)", PairingStatus::unmatched);
    if (pairings.empty()) return std::nullopt;
    return pairings;
}

}  // namespace qor
