// Fuzz target for TCP stream assembly: random segment lists (wrapping, overlapping, duplicated
// and out-of-order sequence numbers, both directions, SYNs anywhere) are built into a stream,
// whose invariants are then checked; and the same bytes parsed as a packet's TCP header.
//
// Input: 4 bytes of base sequence number, then 6 bytes per segment: flags (bit 0x80 of the
// first byte: sent by the second endpoint), a signed 16-bit offset from the base, a payload
// length, a time, and a content seed. A payload's byte at sequence number s is s + seed, so
// copies of the same bytes agree unless the seed differs (as a rewritten retransmission does).
//
// Invariants: every segment appears once, in time order; each direction's spans are ascending,
// contiguous from 0 and cover its data exactly; every span's bytes are the tail of the payload
// of the packet it names; no direction holds more bytes than its segments carried.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "QORModels/streams/TCPStreamReassembler.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkDirection(const qor::Data& data, const qor::ByteToSegmentIndex& index, const std::map<std::int64_t, qor::Data>& payloads,
                    std::size_t carried) {
    check(data.size() <= carried);
    std::int64_t next = 0;
    for (const auto& span : index.spans) {
        check(span.range.lowerBound == next);
        check(span.range.upperBound > span.range.lowerBound);
        check(span.packetIds.size() == 1);
        auto it = payloads.find(span.packetIds[0]);
        check(it != payloads.end());
        const auto count = static_cast<std::size_t>(span.range.count());
        check(count <= it->second.size());
        const qor::Data tail = it->second.slice(it->second.size() - count);
        const qor::Data placed = data.slice(static_cast<std::size_t>(span.range.lowerBound), count);
        check(tail == placed);
        next = span.range.upperBound;
    }
    check(next == static_cast<std::int64_t>(data.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes as a packet: TCP and IP header offsets from the first two bytes.
    if (size >= 2) {
        const qor::Data packet = qor::Data::copy({reinterpret_cast<const std::byte*>(data), size});
        (void)qor::TCPStreamReassembler::parseSegment(packet, data[0] % 64, data[1] % 2 ? std::optional<std::size_t>(data[1] % 48) : std::nullopt);
    }
    if (size < 4) return 0;
    const std::uint32_t base = (std::uint32_t{data[0]} << 24) | (std::uint32_t{data[1]} << 16) | (std::uint32_t{data[2]} << 8) | data[3];
    std::vector<qor::RawTCPSegment> segments;
    std::map<std::int64_t, qor::Data> payloads;
    std::size_t carried[2] = {0, 0};
    constexpr std::size_t kRecord = 6, kMaxSegments = 256;
    for (std::size_t at = 4; at + kRecord <= size && segments.size() < kMaxSegments; at += kRecord) {
        const bool second = data[at] & 0x80;
        qor::RawTCPSegment s;
        s.packetId = static_cast<std::int64_t>(segments.size() + 1);
        s.srcIP = second ? "10.0.0.2" : "10.0.0.1";
        s.dstIP = second ? "10.0.0.1" : "10.0.0.2";
        s.srcPort = second ? 80 : 51000;
        s.dstPort = second ? 51000 : 80;
        s.flags.rawValue = data[at] & 0x7F;
        const auto offset = static_cast<std::int16_t>((data[at + 1] << 8) | data[at + 2]);
        s.sequenceNumber = base + static_cast<std::uint32_t>(static_cast<std::int32_t>(offset));
        const std::size_t length = data[at + 3] % 64;
        s.timestamp = data[at + 4];
        const std::uint8_t seed = data[at + 5];
        std::vector<std::byte> bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::byte>(s.sequenceNumber + i + seed);
        s.payload = qor::Data(std::move(bytes));
        payloads[s.packetId] = s.payload;
        carried[second ? 1 : 0] += length;
        segments.push_back(std::move(s));
    }
    if (segments.empty()) {
        check(!qor::TCPStreamReassembler::buildStream({}, {}));
        return 0;
    }
    const qor::TCPStreamKey key = segments[0].key();
    const std::size_t count = segments.size();
    auto stream = qor::TCPStreamReassembler::buildStream(key, segments);
    check(stream.has_value());
    check(stream->segments.size() == count);
    for (std::size_t i = 1; i < count; ++i) check(stream->segments[i - 1].timestamp <= stream->segments[i].timestamp);
    check(stream->startTime == stream->segments.front().timestamp && stream->endTime == stream->segments.back().timestamp);
    const bool clientIsFirst = stream->clientEndpoint.ip == "10.0.0.1";
    checkDirection(stream->clientToServerData, stream->clientByteIndex, payloads, carried[clientIsFirst ? 0 : 1]);
    checkDirection(stream->serverToClientData, stream->serverByteIndex, payloads, carried[clientIsFirst ? 1 : 0]);
    return 0;
}
