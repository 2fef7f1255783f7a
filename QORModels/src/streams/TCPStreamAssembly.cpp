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

/// One direction's payload put back in sequence order from `next = isn + 1` (see `buildStream`),
/// from the stream's segments in time order.
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
    std::stable_sort(segments.begin(), segments.end(), [](const TCPSegment* a, const TCPSegment* b) {
        if (a->sequenceNumber == b->sequenceNumber) return a->payload.size() > b->payload.size();
        return serialDistance(a->sequenceNumber, b->sequenceNumber) < 0;
    });
    std::vector<std::byte> bytes;
    bytes.reserve(capacity);
    index.spans.reserve(segments.size());
    // Without a SYN from this side (a capture that began mid-conversation) the data starts at the
    // segment that sorts first: starting at sequence number 1 would keep only what lies less
    // than 2^31 ahead of it, which for a random initial number is half the conversations.
    std::uint32_t next = isn ? *isn + 1 : segments.front()->sequenceNumber;
    for (const auto* s : segments) {
        const std::uint32_t seq = s->sequenceNumber;
        const auto length = static_cast<std::uint32_t>(s->payload.size());
        const std::uint32_t end = seq + length;
        if (serialDistance(end, next) <= 0) continue;  // all of it placed already
        std::size_t skip = 0;
        if (serialDistance(seq, next) < 0) skip = next - seq;  // the overlap with placed bytes
        const auto before = static_cast<std::int64_t>(bytes.size());
        bytes.insert(bytes.end(), s->payload.begin() + skip, s->payload.end());
        index.spans.push_back(ByteSpan{ByteRange{before, static_cast<std::int64_t>(bytes.size())}, {s->id}, s->timestamp});
        if (serialDistance(next, end) < 0) next = end;
    }
    data = Data(std::move(bytes));
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
    std::vector<RawTCPSegment*> ordered;
    ordered.reserve(segments.size());
    for (auto& s : segments) ordered.push_back(&s);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const RawTCPSegment* a, const RawTCPSegment* b) { return a->timestamp < b->timestamp; });

    TCPStream stream;
    stream.key = key;
    // The first SYN without ACK names the client; without one, the first segment's sender.
    const RawTCPSegment* opener = ordered.front();
    for (const auto* s : ordered) {
        if ((s->flags.rawValue & (TCPSegment::TCPFlags::syn | TCPSegment::TCPFlags::ack)) == TCPSegment::TCPFlags::syn) {
            opener = s;
            break;
        }
    }
    stream.clientEndpoint = opener->source();
    stream.serverEndpoint = opener->destination();
    stream.startTime = ordered.front()->timestamp;
    stream.endTime = ordered.back()->timestamp;

    bool clientHasISN = false, serverHasISN = false;
    stream.segments.reserve(ordered.size());
    for (auto* s : ordered) {
        const bool fromClient = s->srcPort == stream.clientEndpoint.port && s->srcIP == stream.clientEndpoint.ip;
        if (s->flags.contains(TCPSegment::TCPFlags::syn)) {
            bool& has = fromClient ? clientHasISN : serverHasISN;
            if (!has) {
                has = true;
                (fromClient ? stream.clientISN : stream.serverISN) = s->sequenceNumber;
            }
        }
        // The records are this call's own: their payloads move into the stream.
        stream.segments.push_back(TCPSegment{s->packetId,
                                             fromClient ? TCPSegment::Direction::clientToServer : TCPSegment::Direction::serverToClient,
                                             s->sequenceNumber, s->acknowledgmentNumber, s->flags, std::move(s->payload), s->timestamp});
    }
    assemble(stream.segments, TCPSegment::Direction::clientToServer, clientHasISN ? std::optional(stream.clientISN) : std::nullopt,
             stream.clientToServerData, stream.clientByteIndex);
    assemble(stream.segments, TCPSegment::Direction::serverToClient, serverHasISN ? std::optional(stream.serverISN) : std::nullopt,
             stream.serverToClientData, stream.serverByteIndex);
    return stream;
}

}  // namespace qor
