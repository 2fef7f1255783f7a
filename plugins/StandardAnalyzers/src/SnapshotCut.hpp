#pragma once
// Telling a message cut short by the capture's snapshot length from one that lies.

#include <optional>
#include <string>
#include <string_view>

#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::standard {

/// The note a summary line ends with when the capture kept fewer bytes than the message has.
inline constexpr std::string_view kPacketSizeLimited = "[Packet size limited during capture]";

/// Whether the bytes an analyzer was made from were cut short by the capture: the packet's
/// captured length is below its length on the wire and `mine` runs to the end of the captured
/// bytes. A message too short for its own header is then kept (it was on the wire whole, only
/// the capture left part of it out) and says so; a message too short in a packet that was
/// captured whole lies about itself and is refused.
bool cutBySnapshot(const Data& mine, const PacketRef& packet);

/// `summary` with `kPacketSizeLimited` appended (directly, as the packet list shows it) when
/// `cut`; the note alone when there is no summary.
std::optional<std::string> noteCut(std::optional<std::string> summary, bool cut);

}  // namespace qor::standard
