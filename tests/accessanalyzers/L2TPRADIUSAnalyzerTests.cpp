// L2TP and RADIUS analyzers, on messages built byte by byte, including lying AVP and attribute
// lengths.

#include <gtest/gtest.h>

#include "accessanalyzers/AccessTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

/// An IETF AVP with the mandatory bit and a correct length.
void avp(Bytes& b, std::uint16_t type, const Data& value) {
    b.u16(static_cast<std::uint16_t>(0x8000 | (6 + value.size()))).u16(0).u16(type).raw(value);
}

/// A control message: T, L and S set, version 2, with the AVPs after the 12-byte header.
Data control(std::uint16_t tunnel, std::uint16_t session, const Bytes& avps, std::optional<std::uint16_t> claimed = {}) {
    Bytes b(true);
    b.u16(0xC802).u16(claimed.value_or(static_cast<std::uint16_t>(12 + avps.size()))).u16(tunnel).u16(session);
    b.u16(0).u16(0).raw(avps.data());
    return b.data();
}

TEST(L2TPAnalyzer, ReadsAControlMessageWithTheRowsSessionsRead) {
    Bytes avps(true);
    avp(avps, 0, bytes({0x00, 0x01}));              // Message Type SCCRQ
    avp(avps, 2, bytes({0x01, 0x00}));              // Protocol Version 1.0
    avp(avps, 7, Data::fromString("lac-1"));        // Host Name
    avp(avps, 9, bytes({0x00, 0x05}));              // Assigned Tunnel ID
    avp(avps, 3, bytes({0x00, 0x00, 0x00, 0x03}));  // Framing Capabilities
    auto message = control(0, 0, avps);
    auto a = makeAnalyzer("L2TPAnalyzer", message);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolName(), "L2TP");
    EXPECT_EQ(a->protocolSize(), message.size());
    EXPECT_FALSE(a->nextProtocol());
    EXPECT_FALSE(a->hasPayload());
    EXPECT_EQ(a->protocolInfo(), "SCCRQ, tunnel 0, session 0, Host Name lac-1");
    auto nodes = a->protocolNodes(message);
    EXPECT_EQ(topLevelValue(nodes, "Tunnel ID"), "0");
    EXPECT_EQ(topLevelValue(nodes, "Session ID"), "0");
    EXPECT_EQ(topLevelValue(nodes, "Message Type"), "SCCRQ (1)");
    EXPECT_EQ(topLevelValue(nodes, "Host Name"), "lac-1");
    EXPECT_EQ(topLevelValue(nodes, "Assigned Tunnel ID"), "5");
    EXPECT_EQ(topLevelValue(nodes, "Protocol Version"), "1.0");
    EXPECT_EQ(topLevelValue(nodes, "Framing Capabilities"), "0x00000003 synchronous asynchronous");
    EXPECT_EQ(a->value("l2tpMessageType", message).asUInt(), 1u);
}

TEST(L2TPAnalyzer, ReadsTheAssignedSessionOfAnICRPAndTheResultOfACDN) {
    Bytes icrp(true);
    avp(icrp, 0, bytes({0x00, 0x0b}));
    avp(icrp, 14, bytes({0x00, 0x07}));
    auto message = control(5, 3, icrp);
    auto a = makeAnalyzer("L2TPAnalyzer", message);
    ASSERT_TRUE(a);
    auto nodes = a->protocolNodes(message);
    EXPECT_EQ(topLevelValue(nodes, "Tunnel ID"), "5");
    EXPECT_EQ(topLevelValue(nodes, "Session ID"), "3");
    EXPECT_EQ(topLevelValue(nodes, "Assigned Session ID"), "7");
    EXPECT_EQ(a->protocolInfo(), "ICRP, tunnel 5, session 3");

    Bytes cdn(true);
    avp(cdn, 0, bytes({0x00, 0x0e}));
    avp(cdn, 1, bytes({0x00, 0x03}));
    message = control(5, 3, cdn);
    a = makeAnalyzer("L2TPAnalyzer", message);
    ASSERT_TRUE(a);
    EXPECT_EQ(topLevelValue(a->protocolNodes(message), "Result Code"), "Call disconnected for administrative reasons (3)");
}

TEST(L2TPAnalyzer, ZLBAndHiddenAVPs) {
    auto zlb = control(9, 0, Bytes(true));
    auto a = makeAnalyzer("L2TPAnalyzer", zlb);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "ZLB, tunnel 9, session 0");
    Bytes hidden(true);
    avp(hidden, 0, bytes({0x00, 0x06}));
    hidden.u16(0xC00a).u16(0).u16(7).raw({1, 2, 3, 4});  // M and H: the host name is hidden
    auto message = control(9, 0, hidden);
    a = makeAnalyzer("L2TPAnalyzer", message);
    ASSERT_TRUE(a);
    EXPECT_EQ(topLevelValue(a->protocolNodes(message), "Host Name"), "hidden: 01020304");
    EXPECT_EQ(a->protocolInfo(), "HELLO, tunnel 9, session 0");
}

TEST(L2TPAnalyzer, LyingAndZeroAVPLengthsEndTheWalk) {
    for (std::uint16_t word : {std::uint16_t(0x83ff), std::uint16_t(0x8000), std::uint16_t(0x8005)}) {
        Bytes avps(true);
        avp(avps, 0, bytes({0x00, 0x02}));
        avps.u16(word).u16(0).u16(7).raw("host");
        avp(avps, 9, bytes({0x00, 0x05}));  // never reached
        auto message = control(1, 0, avps);
        auto a = makeAnalyzer("L2TPAnalyzer", message);
        ASSERT_TRUE(a);
        auto nodes = a->protocolNodes(message);
        EXPECT_EQ(topLevelValue(nodes, "Message Type"), "SCCRP (2)");
        EXPECT_TRUE(topLevelValue(nodes, "Malformed AVP")) << word;
        EXPECT_FALSE(topLevelValue(nodes, "Assigned Tunnel ID")) << word;
        EXPECT_EQ(a->protocolInfo(), "SCCRP, tunnel 1, session 0 [Malformed AVP]");
    }
}

TEST(L2TPAnalyzer, KeepsToTheCapturedBytesWhenTheMessageLengthLies) {
    Bytes avps(true);
    avp(avps, 0, bytes({0x00, 0x06}));
    auto message = control(1, 0, avps, 0xFFFF);
    auto a = makeAnalyzer("L2TPAnalyzer", message);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), message.size());
    auto nodes = a->protocolNodes(message);
    EXPECT_TRUE(topLevelValue(nodes, "Truncated"));
    EXPECT_EQ(topLevelValue(nodes, "Message Type"), "HELLO (6)");
}

TEST(L2TPAnalyzer, ADataMessageCarriesPPP) {
    Bytes b(true);
    b.u16(0x4002).u16(14).u16(4).u16(8).raw({0xff, 0x03, 0xc0, 0x21, 0x09, 0x01});
    auto a = makeAnalyzer("L2TPAnalyzer", b.data());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 8);
    EXPECT_EQ(a->nextProtocol(), "PPP");
    EXPECT_TRUE(a->hasPayload());
    EXPECT_EQ(a->protocolInfo(), "Data, tunnel 4, session 8");
    Bytes plain(true);
    plain.u16(0x0002).u16(4).u16(8).raw({0xc0, 0x21});
    a = makeAnalyzer("L2TPAnalyzer", plain.data());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 6);
    EXPECT_EQ(a->nextProtocol(), "PPP");
}

TEST(L2TPAnalyzer, RefusesOtherVersionsAndShortHeaders) {
    EXPECT_FALSE(makeAnalyzer("L2TPAnalyzer", bytes({0xc8, 0x03, 0x00, 0x0c, 0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(makeAnalyzer("L2TPAnalyzer", bytes({0xc8, 0x02, 0x00, 0x0c, 0, 0, 0, 0, 0})));
    EXPECT_FALSE(makeAnalyzer("L2TPAnalyzer", bytes({0x02, 0x02, 0x00, 0x20, 0, 1, 0, 2})));  // offset past the end
}

/// A RADIUS packet: the 20-byte header (authenticator 0x11 repeated) and the attributes.
Data radius(std::uint8_t code, std::uint8_t id, const Bytes& attributes, std::optional<std::uint16_t> claimed = {}) {
    Bytes b(true);
    b.u8(code).u8(id).u16(claimed.value_or(static_cast<std::uint16_t>(20 + attributes.size())));
    for (int i = 0; i < 16; ++i) b.u8(0x11);
    b.raw(attributes.data());
    return b.data();
}

void attr(Bytes& b, std::uint8_t type, const Data& value) {
    b.u8(type).u8(static_cast<std::uint8_t>(2 + value.size())).raw(value);
}

TEST(RADIUSAnalyzer, ReadsCodesAndAttributesAtTopLevel) {
    Bytes attributes(true);
    attr(attributes, 1, Data::fromString("bob@isp"));
    attr(attributes, 4, bytes({192, 168, 1, 1}));
    attr(attributes, 5, bytes({0, 0, 0, 7}));
    attr(attributes, 8, bytes({10, 1, 2, 3}));
    attr(attributes, 31, Data::fromString("00:11:22:33:44:55"));
    attr(attributes, 40, bytes({0, 0, 0, 1}));
    attr(attributes, 44, Data::fromString("0000002A"));
    attr(attributes, 26, bytes({0, 0, 0x0d, 0xe9, 1, 2}));
    auto packet = radius(4, 42, attributes);
    auto a = makeAnalyzer("RADIUSAnalyzer", packet);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolName(), "RADIUS");
    EXPECT_EQ(a->protocolSize(), packet.size());
    EXPECT_FALSE(a->hasPayload());
    EXPECT_EQ(a->protocolInfo(), "Accounting-Request (id 42), User-Name bob@isp, Start");
    auto nodes = a->protocolNodes(packet);
    EXPECT_EQ(topLevelValue(nodes, "Code"), "Accounting-Request (4)");
    EXPECT_EQ(topLevelValue(nodes, "User-Name"), "bob@isp");
    EXPECT_EQ(topLevelValue(nodes, "NAS-IP-Address"), "192.168.1.1");
    EXPECT_EQ(topLevelValue(nodes, "NAS-Port"), "7");
    EXPECT_EQ(topLevelValue(nodes, "Framed-IP-Address"), "10.1.2.3");
    EXPECT_EQ(topLevelValue(nodes, "Calling-Station-Id"), "00:11:22:33:44:55");
    EXPECT_EQ(topLevelValue(nodes, "Acct-Status-Type"), "Start (1)");
    EXPECT_EQ(topLevelValue(nodes, "Acct-Session-Id"), "0000002A");
    EXPECT_EQ(topLevelValue(nodes, "Vendor-Specific"), "vendor 3561, 0102");
    EXPECT_EQ(a->value("radiusUserName", packet).asString(), "bob@isp");
    EXPECT_EQ(a->value("radiusCode", bytes({4})).asUInt(), 4u);
}

TEST(RADIUSAnalyzer, LyingAndZeroAttributeLengthsEndTheWalk) {
    for (std::uint8_t length : {std::uint8_t(0), std::uint8_t(1), std::uint8_t(200)}) {
        Bytes attributes(true);
        attr(attributes, 1, Data::fromString("eve"));
        attributes.u8(18).u8(length).raw("msg");
        attr(attributes, 44, Data::fromString("never"));
        auto packet = radius(2, 1, attributes);
        auto a = makeAnalyzer("RADIUSAnalyzer", packet);
        ASSERT_TRUE(a);
        auto nodes = a->protocolNodes(packet);
        EXPECT_EQ(topLevelValue(nodes, "User-Name"), "eve");
        EXPECT_TRUE(topLevelValue(nodes, "Malformed Attribute")) << int(length);
        EXPECT_FALSE(topLevelValue(nodes, "Acct-Session-Id")) << int(length);
    }
}

TEST(RADIUSAnalyzer, ThePacketLengthBoundsTheAttributes) {
    Bytes attributes(true);
    attr(attributes, 1, Data::fromString("in"));
    attr(attributes, 44, Data::fromString("out"));
    // Length covers the header and User-Name only; the bytes after are UDP or Ethernet padding.
    auto packet = radius(1, 1, attributes, 24);
    auto a = makeAnalyzer("RADIUSAnalyzer", packet);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 24);
    auto nodes = a->protocolNodes(packet);
    EXPECT_EQ(topLevelValue(nodes, "User-Name"), "in");
    EXPECT_FALSE(topLevelValue(nodes, "Acct-Session-Id"));
    EXPECT_FALSE(makeAnalyzer("RADIUSAnalyzer", packet.slice(0, 19)));
}

}  // namespace
}  // namespace qor::test::access
