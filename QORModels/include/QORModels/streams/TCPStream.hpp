#pragma once
// A TCP conversation put back together: its segments, each direction's bytes in sequence order
// and the index from those bytes back to the packets that carried them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor {

/// A half-open range of byte offsets in one direction's assembled data.
struct ByteRange {
    std::int64_t lowerBound = 0;
    std::int64_t upperBound = 0;
    [[nodiscard]] std::int64_t count() const noexcept { return upperBound - lowerBound; }
    [[nodiscard]] bool isEmpty() const noexcept { return upperBound <= lowerBound; }
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

/// One TCP segment of a conversation, as the packet that carried it showed it.
struct TCPSegment {
    enum class Direction { clientToServer, serverToClient };

    /// The header's flags byte as it stands on the wire.
    struct TCPFlags {
        static constexpr std::uint8_t fin = 1, syn = 2, rst = 4, psh = 8, ack = 16, urg = 32, ece = 64, cwr = 128;
        std::uint8_t rawValue = 0;
        [[nodiscard]] bool contains(std::uint8_t flag) const noexcept { return (rawValue & flag) == flag; }
        /// The set flags in the fixed order SYN, ACK, FIN, RST, PSH, URG, ECE, CWR, joined by ", ".
        [[nodiscard]] std::string description() const;
        friend bool operator==(const TCPFlags&, const TCPFlags&) = default;
    };

    std::int64_t id = 0;  ///< the packet id of the carrying packet
    Direction direction = Direction::clientToServer;
    std::uint32_t sequenceNumber = 0;
    std::uint32_t acknowledgmentNumber = 0;
    TCPFlags flags;
    Data payload;  ///< the bytes after the TCP header (may be empty)
    double timestamp = 0;
};

/// A direction-free conversation key: `endpointA` is always the lesser endpoint.
struct TCPStreamKey {
    /// Ordered by the plain text order of `ip`, then by `port`.
    struct Endpoint {
        std::string ip;
        std::uint16_t port = 0;
        friend bool operator==(const Endpoint&, const Endpoint&) = default;
        friend auto operator<=>(const Endpoint&, const Endpoint&) = default;
    };

    Endpoint endpointA;
    Endpoint endpointB;

    /// A direction-free key seen in place, in the texts of the record it is read from: what a
    /// conversation's key is looked up by without making one for every record.
    struct View {
        std::string_view ipA;
        std::uint16_t portA = 0;
        std::string_view ipB;
        std::uint16_t portB = 0;
        /// The view of the key between these two endpoints, in either direction (the lesser first,
        /// in the order of `Endpoint`).
        static View between(std::string_view ip, std::uint16_t port, std::string_view otherIP, std::uint16_t otherPort) noexcept;
        /// Whether the view sees endpoints `a` and `b` as A and B.
        [[nodiscard]] bool sees(const Endpoint& a, const Endpoint& b) const noexcept {
            return a.port == portA && b.port == portB && a.ip == ipA && b.ip == ipB;
        }
    };

    /// The key of a segment between these two endpoints, in either direction.
    static TCPStreamKey between(Endpoint one, Endpoint other);
    /// ":" port A " ↔ :" port B, for example ":443 ↔ :51000".
    [[nodiscard]] std::string shortLabel() const;
    friend bool operator==(const TCPStreamKey&, const TCPStreamKey&) = default;
};

/// Hashes a key and a view of the same endpoints alike, so either finds the other.
struct TCPStreamKeyHash {
    using is_transparent = void;
    std::size_t operator()(const TCPStreamKey& key) const noexcept;
    std::size_t operator()(const TCPStreamKey::View& key) const noexcept;
};

/// Whether `key` has the endpoints `view` sees.
bool operator==(const TCPStreamKey& key, const TCPStreamKey::View& view) noexcept;

/// Bytes `range` of one direction's data came from packet `packetIds` at `timestamp`.
struct ByteSpan {
    ByteRange range;
    std::vector<std::int64_t> packetIds;
    double timestamp = 0;
};

/// Ascending, contiguous, non-overlapping spans that cover one direction's data exactly.
struct ByteToSegmentIndex {
    std::vector<ByteSpan> spans;
    static ByteToSegmentIndex empty() { return {}; }
};

/// One TCP conversation, assembled. An immutable value once built.
struct TCPStream {
    TCPStreamKey key;
    std::vector<TCPSegment> segments;  ///< all of them, payload-less ones included, in time order
    Data clientToServerData;
    Data serverToClientData;
    ByteToSegmentIndex clientByteIndex;
    ByteToSegmentIndex serverByteIndex;
    std::uint32_t clientISN = 0;  ///< sequence number of the client's first SYN; 0 without one
    std::uint32_t serverISN = 0;
    TCPStreamKey::Endpoint clientEndpoint;
    TCPStreamKey::Endpoint serverEndpoint;
    double startTime = 0;
    double endTime = 0;

    [[nodiscard]] std::int64_t totalBytes() const noexcept {
        return static_cast<std::int64_t>(clientToServerData.size() + serverToClientData.size());
    }
    [[nodiscard]] double duration() const noexcept { return endTime - startTime; }
    /// client ip ":" client port " → " server ip ":" server port.
    [[nodiscard]] std::string title() const;

    struct Location {
        std::optional<double> timestamp;
        std::vector<std::int64_t> packetIds;
    };
    /// The packets that carried any byte of `byteRange` in `direction`'s data (each id once, in
    /// the order first met) and the earliest of their times; nothing for a range no span meets.
    [[nodiscard]] Location locate(ByteRange byteRange, TCPSegment::Direction direction) const;
};

/// What a listing of conversations shows of one TCP conversation: its endpoints, times,
/// segments and how many bytes each direction puts back in order, the figures of the
/// `TCPStream` built from the same segments, worked out without reading a payload byte.
struct TCPStreamSummary {
    TCPStreamKey key;
    TCPStreamKey::Endpoint clientEndpoint;
    TCPStreamKey::Endpoint serverEndpoint;
    double startTime = 0;
    double endTime = 0;
    std::int64_t segmentCount = 0;
    std::int64_t clientToServerBytes = 0;  ///< the stream's `clientToServerData.size()`
    std::int64_t serverToClientBytes = 0;  ///< the stream's `serverToClientData.size()`

    [[nodiscard]] double duration() const noexcept { return endTime - startTime; }
    /// As `TCPStream::title`.
    [[nodiscard]] std::string title() const;
};

/// "ip:port" of an endpoint, shared by the stream and flow titles.
std::string endpointText(const TCPStreamKey::Endpoint& endpoint);

}  // namespace qor
