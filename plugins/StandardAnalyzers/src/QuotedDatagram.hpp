#pragma once
// The datagram an ICMP or ICMPv6 error message quotes, analysed as layers of its own.

#include <cstdint>
#include <optional>
#include <string>

#include "QORPlatform/Data.hpp"

namespace qor::standard {

/// How many error messages deep quoted datagrams are followed. RFC 1122 (section 3.2.2) and
/// RFC 4443 (section 2.4) forbid errors about errors, so one level covers every honest packet;
/// an error quoted inside an error is shown, but the datagram it quotes in turn is not analysed.
inline constexpr int kMaxQuoteDepth = 1;

/// The protocol that continues an ICMP or ICMPv6 error message after its 8-byte header: the
/// quoted IPv4 or IPv6 header, told by the version nibble of `quoted` (the bytes after the
/// header). Nothing when the version is neither 4 nor 6 or no byte was quoted.
///
/// The quoted layers are analysed by the usual analyzers wrapped in a quoting layer (protocols
/// "Quoted IP", "Quoted IPv6", "Quoted TCP", "Quoted UDP", "Quoted ICMP", "Quoted ICMPv6") that
/// keeps their names, header sizes, details and values, and gives the error message's summary
/// line as theirs, so that the packet reads as the error it is while its protocol history lists
/// the quoted headers ("ETH-IP-ICMP-IP-UDP"). An application protocol after the quoted transport
/// header (DNS, say) is analysed as it is, with its own summary.
std::optional<std::string> quotedDatagramProtocol(const Data& quoted);

}  // namespace qor::standard
