// Classifying single packets, built byte by byte, through the standard plug-in's analyzers.

#include <gtest/gtest.h>

#include "sessions/SessionTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::sessions {
namespace {

constexpr std::uint16_t kPPPoED = 0x8863, kPPPoES = 0x8864, kIPv4 = 0x0800;
constexpr std::uint16_t kLCP = 0xC021, kIPCP = 0x8021;

Data radius(std::uint8_t code, const Data& attributes) {
    return Bytes(true).u8(code).u8(7).u16(static_cast<std::uint16_t>(20 + attributes.size())).zeros(16).raw(attributes).data();
}

Data attribute(std::uint8_t type, const Data& value) {
    return Bytes(true).u8(type).u8(static_cast<std::uint8_t>(value.size() + 2)).raw(value).data();
}

TEST(SessionClassification, EdgesOfThePPPRules) {
    // An empty frame gives nothing (other traffic: SessionCapture's GrePackets.cap and nb6-http.pcap).
    EXPECT_FALSE(classifyFrame(Data()));
    // An unknown discovery code is still discovery; the word "Ack" in an LCP summary is no
    // authentication result; an IPCP row of 0.0.0.0 is passed over for a later address.
    auto unknown = classifyFrame(ethernet(kAC, kClient, kPPPoED, pppoeDiscovery(0x42, 0, {})));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->protocolName, "PPPoED");
    EXPECT_EQ(unknown->phase, SessionPhase::discovery);
    EXPECT_TRUE(unknown->label.starts_with("Unknown PPPoE discovery code 0x42")) << unknown->label;
    EXPECT_EQ(unknown->annotation, std::nullopt);
    auto ack = classifyFrame(ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kLCP, controlPacket(2, 1, {}))));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->phase, SessionPhase::link);
    EXPECT_TRUE(ack->label.starts_with("Configure-Ack")) << ack->label;
    EXPECT_EQ(ack->authResult, std::nullopt);
    auto ipcp = classifyFrame(ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kIPCP, controlPacket(3, 1,
        concat({option(129, ipv4("0.0.0.0")), option(3, ipv4("100.64.0.7"))})))));
    ASSERT_TRUE(ipcp);
    EXPECT_EQ(ipcp->phase, SessionPhase::network);
    EXPECT_EQ(ipcp->assignedIP, "100.64.0.7");
    EXPECT_EQ(ipcp->sessionID, 0x0011);
    // 70000 does not fit; the analyzer shows it in decimal, and no MRU is read from it.
    auto event = classifyFrame(ethernet(kAC, kClient, kPPPoES, pppoeSession(1, kLCP, controlPacket(1, 1,
        option(1, Bytes(true).u32(70000).data())))));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->mru, std::nullopt);
    // An LCP frame inside an L2TP data message is not read for an MRU.
    auto tunnelled = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.1", "10.0.0.2", 1701, 1701,
        l2tpData(5, 9, kLCP, controlPacket(1, 1, option(1, u16(1460)))))));
    ASSERT_TRUE(tunnelled);
    EXPECT_EQ(tunnelled->transport, SessionTransport::l2tp);
    EXPECT_EQ(tunnelled->protocolName, "LCP");
    EXPECT_EQ(tunnelled->mru, std::nullopt);
    EXPECT_EQ(tunnelled->l2tpSessionID, 9);
}

TEST(SessionClassification, ALayerThatNamesAProtocolTheChainDoesNotTakeIsReadAsTheLastOne) {
    // An L2TP data header whose PPP frame is one byte: the PPP analyzer refuses it, so the L2TP
    // header ends the chain and the packet is an L2TP message without a type.
    auto l2tp = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.1", "10.0.0.2", 1701, 1701,
        Bytes(true).u16(0x4002).u16(8).u16(5).u16(9).data())));
    ASSERT_TRUE(l2tp);
    EXPECT_EQ(l2tp->protocolName, "L2TP");
    EXPECT_EQ(l2tp->phase, SessionPhase::discovery);
    EXPECT_EQ(l2tp->l2tpTunnelID, 5);
    EXPECT_EQ(l2tp->l2tpSessionID, 9);
    EXPECT_EQ(l2tp->l2tpMsgType, std::nullopt);
    EXPECT_FALSE(l2tp->label.empty());
    // A PPP frame that names IP, whose three bytes no IP analyzer takes: the event is the PPP
    // frame's own.
    auto ppp = classifyFrame(ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, 0x0021, Bytes(true).u8(0x05).u16(0).data())));
    ASSERT_TRUE(ppp);
    EXPECT_EQ(ppp->protocolName, "PPP");
    EXPECT_EQ(ppp->phase, SessionPhase::link);
    EXPECT_EQ(ppp->sessionID, 0x0011);
    EXPECT_FALSE(ppp->label.empty());
    EXPECT_EQ(ppp->srcMAC, kAC);
}

TEST(SessionClassification, L2TPControlMessagesAreNamedAndPhased) {
    struct Case { std::uint16_t type; const char* label; SessionPhase phase; };
    const std::vector<Case> cases = {
        {1, "SCCRQ", SessionPhase::discovery}, {6, "HELLO", SessionPhase::link},     {10, "ICRQ", SessionPhase::discovery},
        {4, "StopCCN", SessionPhase::teardown}, {14, "CDN", SessionPhase::teardown}, {20, "Message type 20", SessionPhase::discovery},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto event = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.9", "10.0.0.10", 1701, 1701,
            l2tpControl(5, 0, concat({avp(0, u16(c.type)), avp(7, text("lac-1"), true), avp(14, u16(77))})))));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->protocolName, "L2TP");
        EXPECT_EQ(event->transport, SessionTransport::l2tp);
        EXPECT_EQ(event->l2tpMsgType, c.type);
        EXPECT_TRUE(event->label.starts_with(c.label)) << event->label;
        EXPECT_EQ(event->phase, c.phase);
        EXPECT_EQ(event->l2tpTunnelID, 5);
        EXPECT_EQ(event->l2tpAssignedSessionID, 77);
        // Text order: "10.0.0.10" sorts before "10.0.0.9".
        EXPECT_EQ(event->ipPair, "10.0.0.10|10.0.0.9");
        EXPECT_EQ(event->authResult, std::nullopt);
        EXPECT_EQ(event->hostName, std::nullopt);  // a hidden Host Name AVP is not a host name
    }
}

TEST(SessionClassification, RADIUSNASAddressAndAccountingStatus) {
    // The NAS's address is its NAS-IP-Address attribute, else the address at its end.
    auto request = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("192.0.2.1", "198.51.100.10", 40000, 1812,
        radius(1, attribute(4, ipv4("192.0.2.99"))))));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->nasIP, "192.0.2.99");
    auto reject = classifyFrame(ethernet(kClient, kAC, kIPv4, udp("198.51.100.10", "192.0.2.1", 1812, 40000, radius(3, {}))));
    ASSERT_TRUE(reject);
    EXPECT_EQ(reject->authResult, AuthResult::failure);
    EXPECT_EQ(reject->aaaPeer, "198.51.100.10");
    EXPECT_EQ(reject->nasIP, "192.0.2.1");
    auto accounting = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("192.0.2.1", "198.51.100.10", 40001, 1813,
        radius(4, concat({attribute(40, Bytes(true).u32(2).data()), attribute(44, text("0000ABCD"))})))));
    ASSERT_TRUE(accounting);
    EXPECT_EQ(accounting->acctStatus, AcctStatus::stop);
    EXPECT_EQ(accounting->phase, SessionPhase::teardown);
    EXPECT_EQ(accounting->acctSessionID, "0000ABCD");
}

TEST(SessionClassification, PPPoEBehindTwoVLANTagsIsClassifiedAsUntagged) {
    // An access network's S-tag (802.1ad) and C-tag (802.1Q) sit between the MAC addresses and
    // PPPoE: the event is the one the untagged frame gives, addresses included.
    auto qinq = [](std::uint16_t etherType, const Data& payload) {
        return concat({Bytes(true).u16(0x0064).u16(0x8100).u16(0x00C8).u16(etherType).data(), payload});
    };
    const auto padi = pppoeDiscovery(0x09, 0, Bytes(true).u16(0x0101).u16(0).data());
    const auto chap = pppoeSession(0x0011, 0xC223, controlPacket(3, 1, text("Welcome")));
    for (const auto& [etherType, payload] : {std::pair{kPPPoED, padi}, std::pair{kPPPoES, chap}}) {
        auto plain = classifyFrame(ethernet(kAC, kClient, etherType, payload));
        auto tagged = classifyFrame(ethernet(kAC, kClient, 0x88A8, qinq(etherType, payload)));
        ASSERT_TRUE(plain);
        ASSERT_TRUE(tagged);
        EXPECT_EQ(tagged->srcMAC, kClient);
        EXPECT_EQ(tagged->dstMAC, kAC);
        EXPECT_EQ(tagged->protocolName, plain->protocolName);
        EXPECT_EQ(tagged->phase, plain->phase);
        EXPECT_EQ(tagged->label, plain->label);
        EXPECT_EQ(tagged->sessionID, plain->sessionID);
        EXPECT_EQ(tagged->authResult, plain->authResult);
    }
}

TEST(SessionClassification, RADIUSDynamicAuthorizationRunsFromTheServerToTheNAS) {
    // A Disconnect-Request comes from the dynamic authorization client to the NAS's port 3799;
    // the NAS answers. Both are teardown; CoA stays in authentication.
    struct Case { std::uint8_t code; bool fromNAS; SessionPhase phase; const char* label; };
    const std::vector<Case> cases = {{40, false, SessionPhase::teardown, "Disconnect-Request"},
                                     {41, true, SessionPhase::teardown, "Disconnect-ACK"},
                                     {43, false, SessionPhase::auth, "CoA-Request"},
                                     {45, true, SessionPhase::auth, "CoA-NAK"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto body = radius(c.code, c.fromNAS ? Data() : attribute(1, text("alice")));
        auto event = classifyFrame(c.fromNAS ? ethernet(kClient, kAC, kIPv4, udp("192.0.2.1", "198.51.100.10", 3799, 50000, body))
                                             : ethernet(kAC, kClient, kIPv4, udp("198.51.100.10", "192.0.2.1", 50000, 3799, body)));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->protocolName, "RADIUS");
        EXPECT_EQ(event->radiusCode, c.code);
        EXPECT_TRUE(event->label.find(c.label) != std::string::npos) << event->label;
        EXPECT_EQ(event->phase, c.phase);
        EXPECT_EQ(event->direction, c.fromNAS ? SessionDirection::clientToAC : SessionDirection::acToClient);
        EXPECT_EQ(event->nasIP, "192.0.2.1");
        EXPECT_EQ(event->aaaPeer, "198.51.100.10");
        EXPECT_EQ(event->annotation, "AAA 198.51.100.10");
        EXPECT_EQ(event->radiusUserName, c.fromNAS ? std::nullopt : std::optional<std::string>("alice"));
        EXPECT_EQ(event->authResult, std::nullopt);
    }
}

}  // namespace
}  // namespace qor::test::sessions
