#pragma once
// Helpers for the subscriber session tests: sessions of the fixture captures, and access-network
// frames built byte by byte, classified by the standard plug-in's analyzers.

#include <string_view>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test::sessions {

inline constexpr const char* kClient = "02:00:00:00:00:01";
inline constexpr const char* kAC = "02:00:00:00:00:02";

/// The sessions of a file of tests/fixtures/captures, read and built as qor does.
std::vector<SubscriberSession> sessionsOf(std::string_view capture);
/// The raw event of each packet of a capture that gives one, in packet order; each is checked to
/// be the same classified without detail rows, rows aside.
std::vector<RawSessionEvent> eventsOf(std::string_view capture);

/// What the classifier makes of an Ethernet frame, checked in the same way.
std::optional<RawSessionEvent> classifyFrame(const Data& frame);

/// Frames built byte by byte (big-endian): Ethernet (MAC texts, padded to 60 bytes),
/// PPPoE discovery (version 1, type 1) with its tag bytes, a PPPoE session packet carrying one PPP
/// frame, an LCP-format packet (code, identifier, length, body) and its options, dotted IPv4
/// text as 4 bytes, an IPv4 UDP datagram (checksums 0), an L2TPv2 control message (length and
/// sequence present) and its IETF AVPs (mandatory, optionally hidden), an L2TPv2 data message
/// carrying a PPP frame (FF 03, protocol, packet).
Data ethernet(std::string_view dst, std::string_view src, std::uint16_t etherType, const Data& payload);
Data pppoeDiscovery(std::uint8_t code, std::uint16_t session, const Data& tags);
Data pppoeSession(std::uint16_t session, std::uint16_t protocol, const Data& packet);
Data controlPacket(std::uint8_t code, std::uint8_t id, const Data& body);
Data option(std::uint8_t type, const Data& value);
Data ipv4(std::string_view text);
Data udp(std::string_view src, std::string_view dst, std::uint16_t srcPort, std::uint16_t dstPort, const Data& payload);
Data l2tpControl(std::uint16_t tunnel, std::uint16_t session, const Data& avps);
Data l2tpData(std::uint16_t tunnel, std::uint16_t session, std::uint16_t protocol, const Data& packet);
Data avp(std::uint16_t type, const Data& value, bool hidden = false);
Data u16(std::uint16_t value);
Data text(std::string_view value);
Data concat(std::initializer_list<Data> parts);

}  // namespace qor::test::sessions
