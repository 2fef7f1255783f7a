#pragma once
// Conversations written as captures byte by byte, read back through the real reader and plug-in;
// TCP streams built segment by segment for the stream interpreters the plug-in registers.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/streams/TCPStream.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test {

/// Client 10.0.0.1 and server 10.0.0.2 unless given (ports below); one packet of a conversation.
struct WirePacket {
    bool fromClient = true;
    std::uint32_t seq = 0;
    std::uint8_t flags = 0x18;  // PSH ACK
    std::string payload;
    double time = 0;            ///< seconds, microsecond precision
    std::uint16_t clientPort = 51000;
    std::uint16_t serverPort = 80;
    bool udp = false;
    /// Ethernet padding after the IP datagram (its length does not count it).
    std::size_t padding = 0;
    std::array<std::uint8_t, 4> clientAddress{10, 0, 0, 1};
    std::array<std::uint8_t, 4> serverAddress{10, 0, 0, 2};
};

/// An Ethernet/IPv4 capture of the packets, in the order given, read by the library's reader
/// (packet ids from 1) and snapshotted on this thread, which becomes the main thread.
std::vector<PacketSnapshot> snapshotsOf(const std::vector<WirePacket>& packets);

/// The snapshots of a capture file read by the library's reader.
std::vector<PacketSnapshot> snapshotsOf(const std::string& captureName);

/// The interpreter type whose `streamDisplayName` is `name`, from the stream interpreter registry
/// once the standard plug-in is loaded (`AnalyzerHarness`); throws when there is none.
std::shared_ptr<const QORStreamInterpreting> streamInterpreter(std::string_view name);

/// One segment's payload: who sent it, when, in which packet.
struct Sent {
    TCPSegment::Direction direction;
    std::string bytes;
    double time = 0;
    std::int64_t packetId = 0;
};

/// A stream between 10.0.0.1:50000 (client) and 10.0.0.2:`serverPort` whose segments carry
/// `sent` in order, each direction's bytes appended with one index span per segment.
TCPStream streamOf(const std::vector<Sent>& sent, std::uint16_t serverPort = 80);
/// Client and server bytes in one segment each (packets 1 and 2, times 1 and 2).
TCPStream streamOf(std::string client, std::string server, std::uint16_t serverPort = 80);

}  // namespace qor::test
