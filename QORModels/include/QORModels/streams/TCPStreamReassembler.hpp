#pragma once
// Turning a document's packets into TCP conversations.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "QORModels/streams/ConversationGroups.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/streams/TCPStream.hpp"

namespace qor {

class QORPacket;

/// The TCP header of one packet, with the addresses the packet's analysis found. What the
/// extraction step gives for each snapshot that carries TCP, and what streams are built from.
struct RawTCPSegment {
    std::int64_t packetId = 0;
    std::string srcIP, dstIP;
    std::uint16_t srcPort = 0, dstPort = 0;
    std::uint32_t sequenceNumber = 0, acknowledgmentNumber = 0;
    TCPSegment::TCPFlags flags;
    Data payload;  ///< a slice of the packet's bytes, never a copy
    double timestamp = 0;

    [[nodiscard]] TCPStreamKey::Endpoint source() const { return {srcIP, srcPort}; }
    [[nodiscard]] TCPStreamKey::Endpoint destination() const { return {dstIP, dstPort}; }
    [[nodiscard]] TCPStreamKey key() const { return TCPStreamKey::between(source(), destination()); }
    /// `key()` seen in this record's texts.
    [[nodiscard]] TCPStreamKey::View keyView() const noexcept { return TCPStreamKey::View::between(srcIP, srcPort, dstIP, dstPort); }
};

/// TCP segments gathered by conversation.
using TCPSegmentGroups = ConversationGroups<TCPStreamKey, TCPStreamKeyHash, RawTCPSegment>;

/// Progress of a long operation: (snapshots processed so far, number of snapshots). May be
/// called from any thread, never from two at once.
using SnapshotProgress = std::function<void(std::int64_t done, std::int64_t total)>;

/// Reassembles TCP conversations from packet snapshots. Stateless: every operation works on
/// its arguments alone.
///
/// Work happens in three steps. `snapshot` copies what is needed of each packet on the main
/// thread. Extraction then analyses every snapshot again through the packet analysis pipeline
/// (a packet record of its own and a `CacheAnalyzer` walk, so no document object is touched)
/// and reads its TCP header; it runs on all cores on oneTBB's workers, in batches of
/// consecutive snapshots, and gives the same segments one task per snapshot would. Segments are
/// then grouped by conversation in snapshot order, so `availableStreams` and the streams of
/// `reassembleAllOffMain` come in the order of each conversation's first packet (the order in
/// which tshark numbers its streams), and a stream is built per conversation.
///
/// A segment's addresses are those of the IP header that carries it (the layer just before TCP,
/// rendered by its analyzer), so a conversation tunnelled in another (TCP in IPv6 in L2TP in UDP
/// in IPv4) is keyed by its own endpoints; the packet's own addresses (its first IP header of
/// each version) are used when TCP is not carried in IPv4 or IPv6 directly.
///
/// A direction from which no SYN was captured is assembled from its segment that sorts first in
/// sequence order (its `clientISN`/`serverISN` stays 0), so that a conversation captured in
/// mid-flow keeps all its data, as tshark's follow view shows it.
///
/// The `OffMain` operations block their caller and are meant for a background task (`Task`):
/// they may run on any thread, spread their work over oneTBB's workers and return when it is
/// done. When the task they run in is cancelled (`Task::cancel()`), they stop early and give
/// nothing (no streams, an empty list). They never throw; unusable packets contribute nothing.
class TCPStreamReassembler {
public:
    TCPStreamReassembler() = delete;

    /// One snapshot per packet, in order, leaving out packets without a data cache or file.
    /// Main thread only (asserted).
    static std::vector<PacketSnapshot> snapshot(std::span<const std::shared_ptr<QORPacket>> packets);

    struct AvailableStream {
        TCPStreamKey key;
        std::int64_t packetCount = 0;  ///< TCP segments extracted for the key
    };
    struct Reassembly {
        std::vector<AvailableStream> availableStreams;  ///< each key once, in order of first packet
        std::optional<TCPStream> stream;  ///< the conversation of the selected packet, when it carried TCP
    };

    /// Every conversation's key and segment count, and the stream holding `selectedPacketId`.
    static Reassembly reassembleOffMain(const std::vector<PacketSnapshot>& snapshots, std::int64_t selectedPacketId);
    /// The stream of `streamKey`, or nothing when no segment belongs to it.
    static std::optional<TCPStream> reassembleOffMain(const std::vector<PacketSnapshot>& snapshots, const TCPStreamKey& streamKey);
    /// One stream per conversation, in order of first packet. `onProgress` hears every 0.5 % of
    /// the snapshots extracted and once more at the end.
    static std::vector<TCPStream> reassembleAllOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                       const SnapshotProgress& onProgress = {});
    /// `reassembleAllOffMain` handing each stream to `visit` as soon as it is built, in the same
    /// order, instead of keeping them all: a caller that summarises or prints streams holds one
    /// batch of streams at a time. `visit` runs on the calling thread; false stops.
    static void forEachStreamOffMain(const std::vector<PacketSnapshot>& snapshots, const SnapshotProgress& onProgress,
                                     const std::function<bool(TCPStream&&)>& visit);
    /// The same for segments already extracted and gathered by conversation (a caller that
    /// extracts a capture window by window, never holding all its snapshots, adds each window's
    /// segments in the order `extractSegments` gives them).
    static void forEachStreamOffMain(TCPSegmentGroups groups, const std::function<bool(TCPStream&&)>& visit);
    /// `forEachStreamOffMain` for a listing: each conversation's summary instead of its stream,
    /// in the same order, with the figures its stream would have. No payload byte is read or
    /// copied, so the pages of a mapped capture need not stay resident for it.
    static void forEachSummaryOffMain(TCPSegmentGroups groups, const std::function<bool(TCPStreamSummary&&)>& visit);

    /// The extraction step alone: the segment each snapshot carries, in snapshot order.
    static std::vector<RawTCPSegment> extractSegments(const std::vector<PacketSnapshot>& snapshots,
                                                      const SnapshotProgress& onProgress = {});
    /// The TCP segment in a packet's bytes, given the offset of its TCP header and, when TCP is
    /// carried in IP, the offset of the IP header (whose length cuts padding and trailers off).
    /// Nothing for fewer than 20 TCP bytes or a data offset below 5 (a header shorter than its
    /// fixed part, which no TCP analyzer takes). Addresses, id and time are left for the caller.
    static std::optional<RawTCPSegment> parseSegment(const Data& packetBytes, std::size_t tcpOffset,
                                                     std::optional<std::size_t> ipOffset);
    /// The stream of one conversation's segments (any order); nothing for none.
    static std::optional<TCPStream> buildStream(const TCPStreamKey& key, std::vector<RawTCPSegment> segments);
    /// The summary of the stream `buildStream` makes of the same segments; nothing for none.
    static std::optional<TCPStreamSummary> summarizeStream(const TCPStreamKey& key, std::vector<RawTCPSegment> segments);
};

}  // namespace qor
