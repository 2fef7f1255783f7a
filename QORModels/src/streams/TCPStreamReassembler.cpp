#include "QORModels/streams/TCPStreamReassembler.hpp"

#include <algorithm>

#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "SnapshotExtraction.hpp"

namespace qor {
namespace {

constexpr std::size_t kTCPHeaderMinimum = 20;

std::optional<RawTCPSegment> extract(SnapshotAnalyser& analyser, const PacketSnapshot& snapshot) {
    // A segment needs nothing the walk finds after the TCP header.
    auto layer = analyser.find(snapshot, "TCP", kTCPHeaderMinimum, true);
    if (!layer) return std::nullopt;
    auto segment = TCPStreamReassembler::parseSegment(layer->bytes, layer->offset, layer->previousOffset);
    if (!segment) return std::nullopt;
    segment->packetId = snapshot.packetId;
    segment->timestamp = snapshot.dateReceived;
    segment->srcIP = std::move(layer->sourceIP);
    segment->dstIP = std::move(layer->destinationIP);
    return segment;
}

}  // namespace

std::vector<PacketSnapshot> TCPStreamReassembler::snapshot(std::span<const std::shared_ptr<QORPacket>> packets) {
    assertMainThread("TCPStreamReassembler::snapshot(_:)");
    std::vector<PacketSnapshot> snapshots;
    snapshots.reserve(packets.size());
    PacketSnapshot::SharedPath path;
    for (const auto& packet : packets) {
        if (!packet) continue;
        if (auto s = PacketSnapshot::of(*packet, &path)) snapshots.push_back(std::move(*s));
    }
    return snapshots;
}

std::vector<RawTCPSegment> TCPStreamReassembler::extractSegments(const std::vector<PacketSnapshot>& snapshots,
                                                                 const SnapshotProgress& onProgress) {
    return extractInBatches<RawTCPSegment>(snapshots, onProgress, extract).value_or(std::vector<RawTCPSegment>());
}

TCPStreamReassembler::Reassembly TCPStreamReassembler::reassembleOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                                         std::int64_t selectedPacketId) {
    Reassembly result;
    auto extracted = extractInBatches<RawTCPSegment>(snapshots, {}, extract);
    if (!extracted) return result;
    TCPSegmentGroups groups;
    const auto selected = addNotingPacket(groups, std::move(*extracted), selectedPacketId);
    for (std::size_t i = 0; i < groups.size(); ++i)
        result.availableStreams.push_back(AvailableStream{groups.keys()[i], static_cast<std::int64_t>(groups.records(i).size())});
    if (selected) result.stream = buildStream(groups.keys()[*selected], groups.take(*selected));
    return result;
}

std::optional<TCPStream> TCPStreamReassembler::reassembleOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                                 const TCPStreamKey& streamKey) {
    auto extracted = extractInBatches<RawTCPSegment>(snapshots, {}, extract);
    if (!extracted) return std::nullopt;
    std::vector<RawTCPSegment> mine;
    for (auto& s : *extracted) {
        if (s.key() == streamKey) mine.push_back(std::move(s));
    }
    return buildStream(streamKey, std::move(mine));
}

void TCPStreamReassembler::forEachStreamOffMain(const std::vector<PacketSnapshot>& snapshots, const SnapshotProgress& onProgress,
                                                const std::function<bool(TCPStream&&)>& visit) {
    auto extracted = extractInBatches<RawTCPSegment>(snapshots, onProgress, extract);
    if (extracted) forEachStreamOffMain(TCPSegmentGroups(std::move(*extracted)), visit);
}

namespace {

/// What `build` makes of each conversation of `groups`, on all cores a batch of conversations
/// at a time, handed to `visit` in order; false from `visit`, or a cancelled task, stops.
template <class Built, class Build>
void forEachBuiltOffMain(TCPSegmentGroups& groups, const Build& build, const std::function<bool(Built&&)>& visit) {
    constexpr std::size_t kConversationsPerBatch = 256;
    const auto cancelled = Task::currentCancellationFlag();
    for (std::size_t begin = 0; begin < groups.size(); begin += kConversationsPerBatch) {
        if (cancelled && cancelled->load()) return;
        const std::size_t end = std::min(groups.size(), begin + kConversationsPerBatch);
        std::vector<std::optional<Built>> built(end - begin);
        observedParallelForEach(end - begin, [&](std::size_t k) { built[k] = build(groups.keys()[begin + k], groups.take(begin + k)); });
        for (auto& one : built) {
            if (one && !visit(std::move(*one))) return;
        }
    }
}

}  // namespace

void TCPStreamReassembler::forEachStreamOffMain(TCPSegmentGroups groups, const std::function<bool(TCPStream&&)>& visit) {
    forEachBuiltOffMain<TCPStream>(groups, &buildStream, visit);
}

void TCPStreamReassembler::forEachSummaryOffMain(TCPSegmentGroups groups, const std::function<bool(TCPStreamSummary&&)>& visit) {
    forEachBuiltOffMain<TCPStreamSummary>(groups, &summarizeStream, visit);
}

std::vector<TCPStream> TCPStreamReassembler::reassembleAllOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                                  const SnapshotProgress& onProgress) {
    std::vector<TCPStream> streams;
    forEachStreamOffMain(snapshots, onProgress, [&](TCPStream&& stream) {
        streams.push_back(std::move(stream));
        return true;
    });
    if (Task::isCancelled()) return {};
    return streams;
}

}  // namespace qor
