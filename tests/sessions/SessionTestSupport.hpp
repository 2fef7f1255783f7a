#pragma once
// Helpers for the subscriber session tests: sessions of the fixture captures, and access-network
// frames built byte by byte, classified by the standard plug-in's analyzers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test::sessions {

/// The sessions of a file of tests/fixtures/captures, read and built as qor does.
std::vector<SubscriberSession> sessionsOf(std::string_view capture);
/// The raw event of each packet of a capture that gives one, in packet order.
std::vector<RawSessionEvent> eventsOf(std::string_view capture);

/// What the classifier makes of an Ethernet frame.
std::optional<RawSessionEvent> classifyFrame(const Data& frame, double time = 1.0, std::int64_t id = 1);

/// "02:00:00:00:00:01" as 6 bytes.
Data mac(std::string_view text);
Data ethernet(std::string_view dst, std::string_view src, std::uint16_t etherType, const Data& payload);
/// A PPPoE discovery packet (version 1, type 1) with these tags.
Data pppoeDiscovery(std::uint8_t code, std::uint16_t session, const Data& tags);
Data tag(std::uint16_t type, std::string_view value);
/// A PPPoE session packet carrying one PPP frame of `protocol`.
Data pppoeSession(std::uint16_t session, std::uint16_t protocol, const Data& packet);
/// An LCP-format packet: code, identifier, length, then `body`.
Data controlPacket(std::uint8_t code, std::uint8_t id, const Data& body);
/// A configuration option: type, length, value.
Data option(std::uint8_t type, const Data& value);
Data ipv4(std::string_view text);
/// An IPv4 UDP datagram (checksums left 0).
Data udp(std::string_view src, std::string_view dst, std::uint16_t srcPort, std::uint16_t dstPort, const Data& payload);
/// An L2TPv2 control message (length and sequence present) with these AVPs.
Data l2tpControl(std::uint16_t tunnel, std::uint16_t session, const Data& avps);
/// An L2TPv2 data message carrying a PPP frame (FF 03, protocol, packet).
Data l2tpData(std::uint16_t tunnel, std::uint16_t session, std::uint16_t protocol, const Data& packet);
/// An IETF AVP (mandatory, optionally hidden).
Data avp(std::uint16_t type, const Data& value, bool hidden = false);
Data u16(std::uint16_t value);
Data text(std::string_view value);
Data concat(std::initializer_list<Data> parts);

/// A raw event for the grouping tests: a PPPoE event from `src` to `dst`.
RawSessionEvent pppoeEvent(std::int64_t id, double time, std::string src, std::string dst, std::string protocol,
                           SessionPhase phase, std::uint16_t session = 0);

}  // namespace qor::test::sessions
