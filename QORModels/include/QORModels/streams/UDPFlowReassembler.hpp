#pragma once
// Grouping UDP datagrams into flows, read as requests and replies.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/streams/ConversationGroups.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/streams/StreamMessage.hpp"
#include "QORModels/streams/TCPStream.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"

namespace qor {

/// A direction-free flow key: `endpointA` is always the lesser endpoint (same order as TCP's).
struct UDPFlowKey {
    using Endpoint = TCPStreamKey::Endpoint;
    Endpoint endpointA;
    Endpoint endpointB;

    UDPFlowKey() = default;
    UDPFlowKey(const std::string& srcIP, std::uint16_t srcPort, const std::string& dstIP, std::uint16_t dstPort);
    /// ip A ":" port A " ↔ " ip B ":" port B.
    [[nodiscard]] std::string displayString() const;
    friend bool operator==(const UDPFlowKey&, const UDPFlowKey&) = default;
};

/// Hashes a key and a view of the same endpoints alike, so either finds the other.
struct UDPFlowKeyHash {
    using is_transparent = void;
    std::size_t operator()(const UDPFlowKey& key) const noexcept;
    std::size_t operator()(const TCPStreamKey::View& key) const noexcept { return TCPStreamKeyHash{}(key); }
};

/// Whether `key` has the endpoints `view` sees.
bool operator==(const UDPFlowKey& key, const TCPStreamKey::View& view) noexcept;

/// One UDP datagram of a packet, as the extraction step reads it.
struct RawUDPDatagram {
    std::int64_t packetId = 0;
    std::string srcIP, dstIP;
    std::uint16_t srcPort = 0, dstPort = 0;
    Data payload;  ///< from byte 8 of the UDP header to the end of the captured bytes (padding kept)
    double timestamp = 0;
    std::string protocolName;  ///< the history's last layer name
    std::optional<std::string> info;
    [[nodiscard]] UDPFlowKey key() const { return UDPFlowKey(srcIP, srcPort, dstIP, dstPort); }
    /// `key()` seen in this record's texts.
    [[nodiscard]] TCPStreamKey::View keyView() const noexcept { return TCPStreamKey::View::between(srcIP, srcPort, dstIP, dstPort); }
};

/// UDP datagrams gathered by flow.
using UDPDatagramGroups = ConversationGroups<UDPFlowKey, UDPFlowKeyHash, RawUDPDatagram>;

struct UDPDatagram {
    std::int64_t id = 0;  ///< the packet id
    TCPSegment::Direction direction = TCPSegment::Direction::clientToServer;
    Data payload;
    double timestamp = 0;
    std::string protocolName;  ///< the highest layer the analysis recognised; "UDP" for none above it
    std::optional<std::string> info;  ///< that layer's one-line summary
};

struct UDPFlow {
    UDPFlowKey key;
    std::vector<UDPDatagram> datagrams;  ///< ascending time
    UDPFlowKey::Endpoint clientEndpoint;
    UDPFlowKey::Endpoint serverEndpoint;
    double startTime = 0;
    double endTime = 0;

    [[nodiscard]] std::int64_t packetCount() const noexcept { return static_cast<std::int64_t>(datagrams.size()); }
    [[nodiscard]] std::int64_t totalBytes() const noexcept;
    [[nodiscard]] double duration() const noexcept { return endTime - startTime; }
    /// client ip ":" client port " → " server ip ":" server port.
    [[nodiscard]] std::string title() const;
    /// The first `protocolName` other than "UDP", or "UDP".
    [[nodiscard]] std::string protocolLabel() const;
};

/// Groups the UDP datagrams of packet snapshots into flows and reads a flow as messages and
/// first-in, first-out request/reply pairings, without any protocol interpreter. Stateless.
///
/// Extraction works as `TCPStreamReassembler`'s does (the packet analysis pipeline over each
/// snapshot, on all cores, in batches, results in snapshot order, so flows come in the order
/// of their first packet; addresses from the IP header that carries the datagram); the `OffMain` operations block their caller, are meant for a
/// background task, give nothing when that task is cancelled, and never throw.
class UDPFlowReassembler {
public:
    UDPFlowReassembler() = delete;

    struct AvailableFlow {
        UDPFlowKey key;
        std::int64_t packetCount = 0;
    };
    struct Reassembly {
        std::vector<AvailableFlow> availableFlows;  ///< in order of first packet
        std::optional<UDPFlow> flow;                ///< the flow of the selected packet
    };

    static Reassembly reassembleOffMain(const std::vector<PacketSnapshot>& snapshots, std::int64_t selectedPacketId);
    static std::optional<UDPFlow> reassembleOffMain(const std::vector<PacketSnapshot>& snapshots, const UDPFlowKey& flowKey);
    /// Every flow, in order of first packet (what a listing of UDP conversations needs);
    /// progress as for TCP.
    static std::vector<UDPFlow> reassembleAllOffMain(const std::vector<PacketSnapshot>& snapshots,
                                                     const SnapshotProgress& onProgress = {});
    /// The same for datagrams already extracted and gathered by flow, added in the order
    /// `extractDatagrams` gives them.
    static std::vector<UDPFlow> reassembleAllOffMain(UDPDatagramGroups groups);

    /// One message per datagram: requests from the client, replies from the server.
    static std::vector<StreamMessage> messages(const UDPFlow& flow);
    /// Replies matched to requests first in, first out, then the requests left unanswered;
    /// nothing when there is no pairing at all.
    static std::optional<std::vector<Pairing>> pairings(const UDPFlow& flow);

    /// The extraction step alone, in snapshot order.
    static std::vector<RawUDPDatagram> extractDatagrams(const std::vector<PacketSnapshot>& snapshots,
                                                        const SnapshotProgress& onProgress = {});
    /// The flow of one key's datagrams (any order); a flow without datagrams has `endpointA` as
    /// its client.
    static UDPFlow buildFlow(const UDPFlowKey& key, std::vector<RawUDPDatagram> datagrams);
};

}  // namespace qor
