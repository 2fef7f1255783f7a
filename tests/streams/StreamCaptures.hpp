#pragma once
// Conversations written as captures byte by byte, read back through the real reader and plug-in.

#include <cstdint>
#include <string>
#include <vector>

#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test {

/// Client 10.0.0.1 and server 10.0.0.2 (ports below); one packet of a conversation.
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
};

/// An Ethernet/IPv4 capture of the packets, in the order given, read by the library's reader
/// (packet ids from 1) and snapshotted on this thread, which becomes the main thread.
std::vector<PacketSnapshot> snapshotsOf(const std::vector<WirePacket>& packets);

/// The snapshots of a capture file read by the library's reader.
std::vector<PacketSnapshot> snapshotsOf(const std::string& captureName);

}  // namespace qor::test
