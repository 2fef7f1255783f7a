#pragma once
// Recognising application protocols by the first bytes of a TCP or UDP payload.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor::standard {

/// HTTP request methods, as sent (upper case): those of RFC 9110 section 9 and PATCH (RFC 5789);
/// WebDAV's (RFC 4918) and its search method (RFC 5323; the access-control ACL of RFC 3744 is left
/// out, as tshark leaves it); versioning's (RFC 3253); UPnP's event and discovery methods
/// (SUBSCRIBE, UNSUBSCRIBE, NOTIFY, M-SEARCH); and those of widely deployed extensions (Exchange's
/// batch WebDAV methods, POLL, RPC over HTTP's RPC_CONNECT, CCM_POST). This is the set tshark
/// recognises a request line by.
inline constexpr std::array<std::string_view, 40> kHTTPMethods = {
    "GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE", "CONNECT", "PATCH",
    "PROPFIND", "PROPPATCH", "MKCOL", "COPY", "MOVE", "LOCK", "UNLOCK", "SEARCH",
    "REPORT", "CHECKIN", "CHECKOUT", "UNCHECKOUT", "MKWORKSPACE", "UPDATE", "LABEL", "MERGE", "MKACTIVITY",
    "VERSION-CONTROL", "BASELINE-CONTROL",
    "SUBSCRIBE", "UNSUBSCRIBE", "NOTIFY", "M-SEARCH",
    "BCOPY", "BMOVE", "BDELETE", "BPROPFIND", "BPROPPATCH", "POLL", "RPC_CONNECT", "CCM_POST"};
/// The longest method's length.
inline constexpr std::size_t kLongestHTTPMethod = [] {
    std::size_t longest = 0;
    for (auto m : kHTTPMethods) longest = std::max(longest, m.size());
    return longest;
}();

/// Whether `word` is one of `kHTTPMethods`. Bytes that cannot start a method (anything but an
/// upper-case letter) are turned away before the list is searched.
constexpr bool isHTTPMethod(std::string_view word) noexcept {
    if (word.size() < 3 || word.size() > kLongestHTTPMethod || word[0] < 'A' || word[0] > 'Z') return false;
    return std::find(kHTTPMethods.begin(), kHTTPMethods.end(), word) != kHTTPMethods.end();
}

/// Which transport carries a payload.
enum class Transport : std::uint8_t { tcp, udp };

/// Whether a TCP payload starts with a TLS record (RFC 8446 section 5.1, RFC 5246 section 6.2):
///
///     0  content type (1): 20 change cipher spec, 21 alert, 22 handshake, 23 application data
///     1  version (2): 0x0300 (SSL 3.0) to 0x0303 (TLS 1.2; TLS 1.3 records say 1.2 too)
///     3  length (2): 1 to 18431 (2^14 plus the 2048 bytes protection may add, exclusive)
///     5  fragment (the segment may end inside a handshake or application data record)
///
/// A change cipher spec or alert record, being short, must also be whole and end the segment or
/// be followed by another record header, so that five bytes matched by chance are not enough.
/// `wireSize` is the payload's size on the wire: larger than `payload` when the capture's
/// snapshot length cut it. A short record that runs into the bytes the capture left out must then
/// end exactly where the segment did on the wire, and a cut inside the header after it must
/// leave bytes that begin one.
bool looksLikeTLS(std::span<const std::byte> payload, std::size_t wireSize) noexcept;

/// Whether a TCP payload starts with an HTTP/1.x message head: its first line, ended by CR or LF
/// within the segment, is a request line
///
///     METHOD SP target SP "HTTP/1.0" | "HTTP/1.1"
///
/// with a method of RFC 9110 (upper case, as sent), or a status line
///
///     "HTTP/1.0" | "HTTP/1.1" SP 3DIGIT (SP reason | end of line)
///
/// A payload that merely starts with a method name ("GET" followed by anything else) is not HTTP.
bool looksLikeHTTP(std::span<const std::byte> payload) noexcept;

/// Whether a TCP payload starts an SMTP session: the server's greeting
///
///     "220" SP | "-" text containing "SMTP" (as in "220 mail.example.com ESMTP ready") CRLF
///
/// or the client's opening command, "EHLO" or "HELO", SP, a domain, CRLF. Later commands and
/// replies of a session are not recognised on their own: "250 OK" or "DATA" say too little.
bool looksLikeSMTP(std::span<const std::byte> payload) noexcept;

/// Whether a UDP payload is a plausible DNS query or response (RFC 1035 section 4.1.1):
///
///     0  ID (2)   2  QR (1 bit) | opcode (4) | AA TC RD RA Z AD CD | RCODE (4)
///     4  QDCOUNT (2)   6  ANCOUNT (2)   8  NSCOUNT (2)   10 ARCOUNT (2)   12 question...
///
/// The header must be followed by at least one byte, have opcode 0 (a standard query) and keep its
/// counts sane: a query asks exactly one question and has no answer and no authority records; a
/// response repeats at most one question (a server refusing a malformed query may repeat none) and
/// has at most 100 answers; either has at most 10 authority and 10 additional records.
bool looksLikeDNS(std::span<const std::byte> payload) noexcept;

/// The protocol that the payload's content shows ("TLS", "HTTP", "SMTP" over TCP; "DNS" over
/// UDP), or nothing; `wireSize` as for `looksLikeTLS`. The checks read a few bytes each and never
/// allocate.
std::optional<std::string_view> protocolForContent(Transport transport, std::span<const std::byte> payload,
                                                   std::size_t wireSize) noexcept;

/// The protocol a TCP or UDP payload carries. The port map decides when it names a protocol and
/// that protocol's analyzer accepts the payload; otherwise the content decides, except on a system
/// port (below 1024) that no analyzer claims: that port's registered service (SSH on 22, FTP on
/// 21, NetBIOS names on 137, whose messages look like DNS) owns the bytes, whatever they resemble,
/// and this plug-in does not analyse it. The named
/// analyzer is only asked (by inspecting one) when the content points at a different protocol, so
/// the common case costs a port lookup and a few byte comparisons.
InternedString carriedProtocol(Transport transport, std::uint16_t sourcePort, std::uint16_t destinationPort,
                              const Data& payload, const PacketRef& packet);

}  // namespace qor::standard
