// Building a TCP stream from one conversation's segments, and reading a segment from a packet.

#include <algorithm>

#include "QORModels/streams/TCPStreamReassembler.hpp"

namespace qor {
namespace {

constexpr std::size_t kTCPHeaderMinimum = 20;
constexpr std::size_t kIPv4HeaderMinimum = 20;
constexpr std::size_t kIPv6HeaderLength = 40;

std::uint16_t be16(const Data& d, std::size_t at) { return static_cast<std::uint16_t>((d[at] << 8) | d[at + 1]); }
std::uint32_t be32(const Data& d, std::size_t at) {
    return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) | d[at + 3];
}

/// Serial-number arithmetic (RFC 1982): the signed 32-bit value of `a - b` modulo 2^32.
std::int32_t serialDistance(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b); }

/// Where the IP datagram that starts at `ipOffset` ends in `bytes`, from its own length field.
std::optional<std::size_t> ipDatagramEnd(const Data& bytes, std::size_t ipOffset) {
    const auto first = bytes.byteAt(ipOffset);
    if (!first) return std::nullopt;
    switch (*first >> 4) {
        case 4: {
            if (bytes.size() < ipOffset + 4) return std::nullopt;
            const std::size_t total = be16(bytes, ipOffset + 2);
            if (total < kIPv4HeaderMinimum) return std::nullopt;
            return ipOffset + total;
        }
        case 6:
            if (bytes.size() < ipOffset + 6) return std::nullopt;
            return ipOffset + kIPv6HeaderLength + be16(bytes, ipOffset + 4);
        default:
            return std::nullopt;
    }
}

/// Puts one direction's payload-carrying segments back in sequence order from `next = isn + 1`
/// (see `buildStream`): `place(segment, skip)` hears each segment that adds bytes, in order, with
/// how many of its first bytes lie under bytes already placed. Segments are sorted by sequence
/// number (the longer first among equals); one wholly under placed bytes adds nothing.
template <class Segment, class Place>
void placeInOrder(std::vector<const Segment*>& segments, std::optional<std::uint32_t> isn, Place&& place) {
    if (segments.empty()) return;
    std::stable_sort(segments.begin(), segments.end(), [](const Segment* a, const Segment* b) {
        if (a->sequenceNumber == b->sequenceNumber) return a->payload.size() > b->payload.size();
        return serialDistance(a->sequenceNumber, b->sequenceNumber) < 0;
    });
    // Without a SYN from this side (a capture that began mid-conversation) the data starts at the
    // segment that sorts first: starting at sequence number 1 would keep only what lies less
    // than 2^31 ahead of it, which for a random initial number is half the conversations.
    std::uint32_t next = isn ? *isn + 1 : segments.front()->sequenceNumber;
    for (const Segment* s : segments) {
        const std::uint32_t seq = s->sequenceNumber;
        const auto length = static_cast<std::uint32_t>(s->payload.size());
        const std::uint32_t end = seq + length;
        if (serialDistance(end, next) <= 0) continue;  // all of it placed already
        std::size_t skip = 0;
        if (serialDistance(seq, next) < 0) skip = next - seq;  // the overlap with placed bytes
        place(*s, skip);
        if (serialDistance(next, end) < 0) next = end;
    }
}

/// One direction's payload put back in sequence order (see `placeInOrder`), from the stream's
/// segments in time order.
void assemble(const std::vector<TCPSegment>& all, TCPSegment::Direction direction, std::optional<std::uint32_t> isn, Data& data,
              ByteToSegmentIndex& index) {
    std::vector<const TCPSegment*> segments;
    std::size_t capacity = 0;
    for (const auto& s : all) {
        if (s.direction == direction && !s.payload.empty()) {
            segments.push_back(&s);
            capacity += s.payload.size();
        }
    }
    if (segments.empty()) return;
    std::vector<std::byte> bytes;
    bytes.reserve(capacity);
    index.spans.reserve(segments.size());
    placeInOrder(segments, isn, [&](const TCPSegment& s, std::size_t skip) {
        const auto before = static_cast<std::int64_t>(bytes.size());
        bytes.insert(bytes.end(), s.payload.begin() + static_cast<std::ptrdiff_t>(skip), s.payload.end());
        index.spans.push_back(ByteSpan{ByteRange{before, static_cast<std::int64_t>(bytes.size())}, {s.id}, s.timestamp});
    });
    data = Data(std::move(bytes));
}

/// One conversation's segments in time order, who opened it (the first SYN without ACK names
/// the client; without one, the first segment's sender) and each side's first SYN's sequence
/// number.
struct Opening {
    std::vector<RawTCPSegment*> ordered;
    TCPStreamKey::Endpoint client, server;
    std::optional<std::uint32_t> clientISN, serverISN;

    [[nodiscard]] bool fromClient(const RawTCPSegment& s) const { return s.srcPort == client.port && s.srcIP == client.ip; }
};

Opening open(std::vector<RawTCPSegment>& segments) {
    Opening o;
    o.ordered.reserve(segments.size());
    for (auto& s : segments) o.ordered.push_back(&s);
    std::stable_sort(o.ordered.begin(), o.ordered.end(),
                     [](const RawTCPSegment* a, const RawTCPSegment* b) { return a->timestamp < b->timestamp; });
    const RawTCPSegment* opener = o.ordered.front();
    for (const auto* s : o.ordered) {
        if ((s->flags.rawValue & (TCPSegment::TCPFlags::syn | TCPSegment::TCPFlags::ack)) == TCPSegment::TCPFlags::syn) {
            opener = s;
            break;
        }
    }
    o.client = opener->source();
    o.server = opener->destination();
    for (const auto* s : o.ordered) {
        if (!s->flags.contains(TCPSegment::TCPFlags::syn)) continue;
        auto& isn = o.fromClient(*s) ? o.clientISN : o.serverISN;
        if (!isn) isn = s->sequenceNumber;
    }
    return o;
}

/// What a stream and its summary both say of the opening: key, who is client and server, first
/// and last segment times.
template <class Built>
void describeOpening(Built& built, const TCPStreamKey& key, const Opening& o) {
    built.key = key;
    built.clientEndpoint = o.client;
    built.serverEndpoint = o.server;
    built.startTime = o.ordered.front()->timestamp;
    built.endTime = o.ordered.back()->timestamp;
}

}  // namespace

std::optional<RawTCPSegment> TCPStreamReassembler::parseSegment(const Data& packetBytes, std::size_t tcpOffset,
                                                                std::optional<std::size_t> ipOffset) {
    if (tcpOffset >= packetBytes.size()) return std::nullopt;
    Data tcp = packetBytes.slice(tcpOffset);
    if (ipOffset) {
        // The IP datagram's own length drops link-layer padding and trailers after it.
        if (auto end = ipDatagramEnd(packetBytes, *ipOffset); end && *end >= tcpOffset) {
            const std::size_t length = *end - tcpOffset;
            if (length >= kTCPHeaderMinimum && length < tcp.size()) tcp = tcp.slice(0, length);
        }
    }
    if (tcp.size() < kTCPHeaderMinimum) return std::nullopt;
    const std::size_t headerLength = static_cast<std::size_t>(tcp[12] >> 4) * 4;  // options are skipped, not read
    if (headerLength < kTCPHeaderMinimum) return std::nullopt;
    RawTCPSegment segment;
    segment.srcPort = be16(tcp, 0);
    segment.dstPort = be16(tcp, 2);
    segment.sequenceNumber = be32(tcp, 4);
    segment.acknowledgmentNumber = be32(tcp, 8);
    segment.flags.rawValue = tcp[13];
    if (tcp.size() > headerLength) segment.payload = tcp.slice(headerLength);
    return segment;
}

std::optional<TCPStream> TCPStreamReassembler::buildStream(const TCPStreamKey& key, std::vector<RawTCPSegment> segments) {
    if (segments.empty()) return std::nullopt;
    const Opening o = open(segments);
    TCPStream stream;
    describeOpening(stream, key, o);
    stream.clientISN = o.clientISN.value_or(0);
    stream.serverISN = o.serverISN.value_or(0);
    stream.segments.reserve(o.ordered.size());
    for (auto* s : o.ordered) {
        // The records are this call's own: their payloads move into the stream.
        stream.segments.push_back(TCPSegment{s->packetId,
                                             o.fromClient(*s) ? TCPSegment::Direction::clientToServer : TCPSegment::Direction::serverToClient,
                                             s->sequenceNumber, s->acknowledgmentNumber, s->flags, std::move(s->payload), s->timestamp});
    }
    assemble(stream.segments, TCPSegment::Direction::clientToServer, o.clientISN, stream.clientToServerData, stream.clientByteIndex);
    assemble(stream.segments, TCPSegment::Direction::serverToClient, o.serverISN, stream.serverToClientData, stream.serverByteIndex);
    return stream;
}

std::optional<TCPStreamSummary> TCPStreamReassembler::summarizeStream(const TCPStreamKey& key, std::vector<RawTCPSegment> segments) {
    if (segments.empty()) return std::nullopt;
    const Opening o = open(segments);
    TCPStreamSummary summary;
    describeOpening(summary, key, o);
    summary.segmentCount = static_cast<std::int64_t>(o.ordered.size());
    // The same placing as the stream's, counting the bytes placed instead of copying them.
    std::vector<const RawTCPSegment*> client, server;
    for (const auto* s : o.ordered) {
        if (!s->payload.empty()) (o.fromClient(*s) ? client : server).push_back(s);
    }
    const auto count = [](std::int64_t& total) {
        return [&total](const RawTCPSegment& s, std::size_t skip) { total += static_cast<std::int64_t>(s.payload.size() - skip); };
    };
    placeInOrder(client, o.clientISN, count(summary.clientToServerBytes));
    placeInOrder(server, o.serverISN, count(summary.serverToClientBytes));
    return summary;
}

}  // namespace qor
