#pragma once
// One packet record of a capture file as its reader finds it, before any packet object exists.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "QORPlatform/InternedString.hpp"

namespace qor {

/// What a capture file's record says of its packet: where the captured bytes lie in the file,
/// the header's lengths and time, and the link type. A reader makes a packet from it
/// (`QORPacket::fromRecord`), or hands it as it is to a caller that needs no packet object (a
/// pass that only locates each packet's bytes).
struct CaptureRecord {
    /// From 1, in file order.
    std::int64_t packetId = 0;
    std::uint32_t dataLocation = 0;
    std::uint32_t captureLength = 0;
    std::uint32_t realLength = 0;
    std::uint32_t linkType = 0;
    /// Seconds since the epoch.
    double dateReceived = 0;
    /// The time of the file's first packet.
    double dateReference = 0;
    /// The link type's name as the protocol-strings cache gives it (the null handle for none).
    InternedString linkName;
    /// The pcapng interface the packet came in on (its index, and its name when it has one);
    /// nothing for classic pcap.
    std::optional<std::uint32_t> interfaceIndex;
    InternedString interfaceName;
    /// A pcapng packet block's comment and flags options, when it has them.
    std::optional<std::string> comment;
    std::optional<std::uint32_t> flags;
};

/// Receives the records of a capture one at a time, in file order; returns false to stop the
/// read. The record is the reader's: valid for the call only.
using RecordSink = std::function<bool(const CaptureRecord&)>;

}  // namespace qor
