// L2TP and RADIUS analyzers, on messages built byte by byte, including lying AVP and attribute
// lengths.

#include "accessanalyzers/AccessTestSupport.hpp"

namespace qor::test::access {
namespace {

/// IETF AVPs of (type, value), each with the mandatory bit and a correct length.
Bytes avps(std::initializer_list<std::pair<std::uint16_t, Data>> list) {
    Bytes b(true);
    for (const auto& [type, value] : list) b.u16(static_cast<std::uint16_t>(0x8000 | (6 + value.size()))).u16(0).u16(type).raw(value);
    return b;
}

/// A control message: T, L and S set, version 2, with the AVPs after the 12-byte header.
Data control(std::uint16_t tunnel, std::uint16_t session, const Bytes& avps, std::optional<std::uint16_t> claimed = {}) {
    Bytes b(true);
    b.u16(0xC802).u16(claimed.value_or(static_cast<std::uint16_t>(12 + avps.size()))).u16(tunnel).u16(session);
    b.u16(0).u16(0).raw(avps.data());
    return b.data();
}

TEST(L2TPAnalyzer, ReadsControlMessagesWithTheRowsSessionsRead) {
    auto sccrq = control(0, 0, avps({{0, bytes({0x00, 0x01})},                  // Message Type SCCRQ
                                     {2, bytes({0x01, 0x00})},                  // Protocol Version 1.0
                                     {7, Data::fromString("lac-1")},            // Host Name
                                     {9, bytes({0x00, 0x05})},                  // Assigned Tunnel ID
                                     {3, bytes({0x00, 0x00, 0x00, 0x03})}}));   // Framing Capabilities
    auto hidden = avps({{0, bytes({0x00, 0x06})}});
    hidden.u16(0xC00a).u16(0).u16(7).raw({1, 2, 3, 4});  // M and H: the host name is hidden
    expectAccessRows({
        {"L2TPAnalyzer", sccrq, "SCCRQ, tunnel 0, session 0, Host Name lac-1",
         {{"Tunnel ID", "0"}, {"Session ID", "0"}, {"Message Type", "SCCRQ (1)"}, {"Host Name", "lac-1"},
          {"Assigned Tunnel ID", "5"}, {"Protocol Version", "1.0"}, {"Framing Capabilities", "0x00000003 synchronous asynchronous"}},
         {}, static_cast<long>(sccrq.size()), "",
         {{"l2tpMessageType", "1"}, {"l2tpHostName", "lac-1"}, {"l2tpAssignedTunnelId", "5"}, {"l2tpAssignedSessionId", "<none>"}}},
        {"L2TPAnalyzer", control(9, 0, Bytes(true)), "ZLB, tunnel 9, session 0"},
        // A hidden AVP's value is encrypted: its field gives nothing.
        {"L2TPAnalyzer", control(9, 0, hidden), "HELLO, tunnel 9, session 0", {{"Host Name", "hidden: 01020304"}}, {}, -1, nullptr,
         {{"l2tpMessageType", "6"}, {"l2tpHostName", "<none>"}}},
        // CDN: the result code without its error code, the session id it assigns.
        {"L2TPAnalyzer", control(5, 0, avps({{0, bytes({0x00, 0x0e})}, {1, bytes({0x00, 0x03, 0x00, 0x00})}, {14, bytes({0x12, 0x34})}})),
         "CDN, tunnel 5, session 0", {{"Result Code", "Call disconnected for administrative reasons (3), error 0"}}, {}, -1, nullptr,
         {{"l2tpResultCode", "3"}, {"l2tpAssignedSessionId", "4660"}, {"l2tpHostName", "<none>"}}},
        // A data message without a length field (with one: nb6-http.pcap in CaptureAgreement).
        {"L2TPAnalyzer", bytes({0x00, 0x02, 0, 4, 0, 8, 0xc0, 0x21}), nullptr, {}, {}, 6, "PPP"},
    });
}

TEST(L2TPAnalyzer, LyingLengthsEndTheWalkAndOtherVersionsAreRefused) {
    auto lying = [](std::uint16_t word) {
        auto list = avps({{0, bytes({0x00, 0x02})}});
        list.u16(word).u16(0).u16(7).raw("host").raw(avps({{9, bytes({0x00, 0x05})}}).data());  // never reached
        return control(1, 0, list);
    };
    const char* malformed = "SCCRP, tunnel 1, session 0 [Malformed AVP]";
    auto truncated = control(1, 0, avps({{0, bytes({0x00, 0x06})}}), 0xFFFF);  // a message length past the bytes
    expectAccessRows({
        {"L2TPAnalyzer", lying(0x83ff), malformed, {{"Message Type", "SCCRP (2)"}, {"Malformed AVP", nullptr}}, {"Assigned Tunnel ID"},
         -1, nullptr, {{"l2tpHostName", "<none>"}, {"l2tpAssignedTunnelId", "<none>"}}},
        {"L2TPAnalyzer", lying(0x8000), malformed, {{"Message Type", "SCCRP (2)"}, {"Malformed AVP", nullptr}}, {"Assigned Tunnel ID"}},
        {"L2TPAnalyzer", lying(0x8005), malformed, {{"Message Type", "SCCRP (2)"}, {"Malformed AVP", nullptr}}, {"Assigned Tunnel ID"}},
        {"L2TPAnalyzer", truncated, nullptr, {{"Truncated", nullptr}, {"Message Type", "HELLO (6)"}}, {}, static_cast<long>(truncated.size())},
    });
    // Version 3, a control header cut short, and an offset past the end.
    expectRefused("L2TPAnalyzer", {bytes({0xc8, 0x03, 0x00, 0x0c, 0, 0, 0, 0, 0, 0, 0, 0}), bytes({0xc8, 0x02, 0x00, 0x0c, 0, 0, 0, 0, 0}),
                                   bytes({0x02, 0x02, 0x00, 0x20, 0, 1, 0, 2})});
}

/// A RADIUS packet: the 20-byte header (authenticator 0x11 repeated) and the attributes.
Data radius(std::uint8_t code, std::uint8_t id, const Bytes& attributes, std::optional<std::uint16_t> claimed = {}) {
    Bytes b(true);
    b.u8(code).u8(id).u16(claimed.value_or(static_cast<std::uint16_t>(20 + attributes.size())));
    for (int i = 0; i < 16; ++i) b.u8(0x11);
    b.raw(attributes.data());
    return b.data();
}

/// RADIUS attributes of (type, value), each with a correct length.
Bytes attrs(std::initializer_list<std::pair<std::uint8_t, Data>> list) {
    Bytes b(true);
    for (const auto& [type, value] : list) b.u8(type).u8(static_cast<std::uint8_t>(2 + value.size())).raw(value);
    return b;
}

// IPv4-mapped IPv6 addresses and prefixes print their IPv4 part as a dotted quad, as tshark does:
// for the second packet in a UDP datagram to port 1812, `tshark -r <capture> -V` (TShark 4.0.17) shows
//   AVP: t=NAS-IPv6-Address(95) l=18 val=::ffff:192.0.2.1
//   AVP: t=Framed-IPv6-Prefix(97) l=20 val=::ffff:192.0.2.1/128
TEST(RADIUSAnalyzer, ReadsCodesAndAttributesAtTopLevel) {
    auto packet = radius(4, 42, attrs({{1, Data::fromString("bob@isp")}, {4, bytes({192, 168, 1, 1})},
                                       {5, bytes({0, 0, 0, 7})}, {8, bytes({10, 1, 2, 3})},
                                       {31, Data::fromString("00:11:22:33:44:55")}, {40, bytes({0, 0, 0, 1})},
                                       {44, Data::fromString("0000002A")}, {26, bytes({0, 0, 0x0d, 0xe9, 1, 2})}}));
    auto mapped = bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1});
    auto prefix = bytes({0, 128, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1});
    expectAccessRows({
        {"RADIUSAnalyzer", packet, "Accounting-Request (id 42), User-Name bob@isp, Start",
         {{"Code", "Accounting-Request (4)"}, {"User-Name", "bob@isp"}, {"NAS-IP-Address", "192.168.1.1"},
          {"NAS-Port", "7"}, {"Framed-IP-Address", "10.1.2.3"}, {"Calling-Station-Id", "00:11:22:33:44:55"},
          {"Acct-Status-Type", "Start (1)"}, {"Acct-Session-Id", "0000002A"}, {"Vendor-Specific", "vendor 3561, 0102"}},
         {}, static_cast<long>(packet.size()), nullptr,
         {{"radiusCode", "4"}, {"radiusUserName", "bob@isp"}, {"radiusAcctSessionId", "0000002A"}, {"radiusAcctStatusType", "1"},
          {"radiusNASIPAddress", "192.168.1.1"}}},
        {"RADIUSAnalyzer", radius(1, 7, attrs({{95, mapped}, {97, prefix}})), nullptr,
         {{"NAS-IPv6-Address", "::ffff:192.0.2.1"}, {"Framed-IPv6-Prefix", "::ffff:192.0.2.1/128"}}},
    });
}

TEST(RADIUSAnalyzer, LyingAttributeAndPacketLengthsBoundTheWalk) {
    auto lying = [](std::uint8_t length) {
        auto attributes = attrs({{1, Data::fromString("eve")}});
        attributes.u8(18).u8(length).raw("msg").raw(attrs({{44, Data::fromString("never")}}).data());
        return radius(2, 1, attributes);
    };
    // Length covers the header and User-Name only; the bytes after are UDP or Ethernet padding.
    auto packet = radius(1, 1, attrs({{1, Data::fromString("in")}, {44, Data::fromString("out")}}), 24);
    expectAccessRows({
        {"RADIUSAnalyzer", lying(0), nullptr, {{"User-Name", "eve"}, {"Malformed Attribute", nullptr}}, {"Acct-Session-Id"}, -1, nullptr,
         {{"radiusUserName", "eve"}, {"radiusAcctSessionId", "<none>"}, {"radiusAcctStatusType", "<none>"}}},
        {"RADIUSAnalyzer", lying(1), nullptr, {{"User-Name", "eve"}, {"Malformed Attribute", nullptr}}, {"Acct-Session-Id"}},
        {"RADIUSAnalyzer", lying(200), nullptr, {{"User-Name", "eve"}, {"Malformed Attribute", nullptr}}, {"Acct-Session-Id"}},
        {"RADIUSAnalyzer", packet, nullptr, {{"User-Name", "in"}}, {"Acct-Session-Id"}, 24},
    });
    EXPECT_FALSE(makeAnalyzer("RADIUSAnalyzer", packet.slice(0, 19)));
}

}  // namespace
}  // namespace qor::test::access
