// Classifying single packets, built byte by byte, through the standard plug-in's analyzers.

#include <gtest/gtest.h>

#include "sessions/SessionTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::sessions {
namespace {

constexpr const char* kClient = "02:00:00:00:00:01";
constexpr const char* kAC = "02:00:00:00:00:02";
constexpr std::uint16_t kPPPoED = 0x8863, kPPPoES = 0x8864, kIPv4 = 0x0800;
constexpr std::uint16_t kLCP = 0xC021, kPAP = 0xC023, kCHAP = 0xC223, kIPCP = 0x8021, kIP = 0x0021;

Data radius(std::uint8_t code, const Data& attributes) {
    Bytes b(true);
    b.u8(code).u8(7).u16(static_cast<std::uint16_t>(20 + attributes.size())).zeros(16).raw(attributes);
    return b.data();
}

Data attribute(std::uint8_t type, const Data& value) {
    Bytes b(true);
    b.u8(type).u8(static_cast<std::uint8_t>(value.size() + 2)).raw(value);
    return b.data();
}

/// One packet and what its event must say; unset expectations are not checked.
struct Case {
    const char* name;
    Data frame;
    const char* protocol;
    SessionPhase phase;
    const char* labelStart = nullptr;
    std::optional<std::string> username = {};
    std::optional<AuthResult> result = {};
    std::optional<std::string> assignedIP = {};
    std::optional<std::uint16_t> mru = {};
    std::optional<std::uint16_t> session = {};
    std::optional<std::string> annotation = {};
};

TEST(SessionClassification, PPPoEPacketsGiveTheirNamesPhasesAndValues) {
    const std::vector<Case> cases = {
        {"PADI", ethernet("ff:ff:ff:ff:ff:ff", kClient, kPPPoED, pppoeDiscovery(0x09, 0, tag(0x0101, ""))), "PPPoED",
         SessionPhase::discovery, "PADI", {}, {}, {}, {}, 0},
        {"PADS", ethernet(kClient, kAC, kPPPoED, pppoeDiscovery(0x65, 0x0011, tag(0x0101, ""))), "PPPoED",
         SessionPhase::discovery, "PADS", {}, {}, {}, {}, 0x0011, "ses 0x0011"},
        {"PADT", ethernet(kAC, kClient, kPPPoED, pppoeDiscovery(0xA7, 0x0011, {})), "PPPoED", SessionPhase::teardown, "PADT",
         {}, {}, {}, {}, 0x0011},
        {"unknown code", ethernet(kAC, kClient, kPPPoED, pppoeDiscovery(0x42, 0, {})), "PPPoED", SessionPhase::discovery,
         "Unknown PPPoE discovery code 0x42"},
        {"LCP with MRU", ethernet(kAC, kClient, kPPPoES, pppoeSession(0x0011, kLCP, controlPacket(1, 1, option(1, u16(1492))))),
         "LCP", SessionPhase::link, "Configure-Request", {}, {}, {}, 1492, 0x0011},
        {"LCP Configure-Ack carries no result", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kLCP, controlPacket(2, 1, {}))),
         "LCP", SessionPhase::link, "Configure-Ack"},
        {"PAP request names the user", ethernet(kAC, kClient, kPPPoES, pppoeSession(0x0011, kPAP, controlPacket(1, 1, Data(std::vector<std::byte>{
             std::byte{5}, std::byte{'a'}, std::byte{'l'}, std::byte{'i'}, std::byte{'c'}, std::byte{'e'}, std::byte{2},
             std::byte{'p'}, std::byte{'w'}})))),
         "PAP", SessionPhase::auth, "Authenticate-Request", std::string("alice")},
        {"PAP Nak", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kPAP, controlPacket(3, 1, {}))), "PAP",
         SessionPhase::auth, "Authenticate-Nak", {}, AuthResult::failure},
        {"PAP Ack", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kPAP, controlPacket(2, 1, {}))), "PAP",
         SessionPhase::auth, "Authenticate-Ack", {}, AuthResult::success},
        {"CHAP Success", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kCHAP, controlPacket(3, 1, text("Welcome")))),
         "CHAP", SessionPhase::auth, "Success", {}, AuthResult::success},
        {"CHAP Failure", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kCHAP, controlPacket(4, 1, {}))), "CHAP",
         SessionPhase::auth, "Failure", {}, AuthResult::failure},
        {"IPCP passes over 0.0.0.0", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kIPCP, controlPacket(3, 1,
             concat({option(129, ipv4("0.0.0.0")), option(3, ipv4("100.64.0.7"))})))),
         "IPCP", SessionPhase::network, "Configure-Nak", {}, {}, std::string("100.64.0.7")},
        {"IP data", ethernet(kClient, kAC, kPPPoES, pppoeSession(0x0011, kIP, udp("100.64.0.7", "198.51.100.53", 5000, 53, text("x")))),
         "DNS", SessionPhase::data},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto event = classifyFrame(c.frame);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->transport, SessionTransport::pppoe);
        EXPECT_EQ(event->protocolName, c.protocol);
        EXPECT_EQ(event->phase, c.phase);
        if (c.labelStart) {
            EXPECT_TRUE(event->label.starts_with(c.labelStart)) << event->label;
        }
        EXPECT_EQ(event->username, c.username);
        EXPECT_EQ(event->authResult, c.result);
        EXPECT_EQ(event->assignedIP, c.assignedIP);
        EXPECT_EQ(event->mru, c.mru);
        if (c.session) {
            EXPECT_EQ(event->sessionID, *c.session);
        }
        EXPECT_EQ(event->annotation, c.annotation);
    }
}

TEST(SessionClassification, DiscoveryKeepsTheACNameAndItsDetailRows) {
    auto event = classifyFrame(ethernet(kClient, kAC, kPPPoED, pppoeDiscovery(0x07, 0, concat({tag(0x0102, "BRAS-7"), tag(0x0101, "gold")}))));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->srcMAC, kAC);
    EXPECT_EQ(event->dstMAC, kClient);
    EXPECT_EQ(event->acName, "BRAS-7");
    EXPECT_EQ(event->serviceName, "gold");
    ASSERT_FALSE(event->detail.empty());
    EXPECT_EQ(event->detail.front().depth, 0);
    // The tag rows have their type and length one level down.
    auto ac = std::find_if(event->detail.begin(), event->detail.end(), [](const auto& r) { return r.name == "AC-Name"; });
    ASSERT_NE(ac, event->detail.end());
    ASSERT_NE(ac + 1, event->detail.end());
    EXPECT_EQ((ac + 1)->depth, 1);
    EXPECT_EQ((ac + 1)->name, "Tag Type");
}

TEST(SessionClassification, MRUNeedsALeadingNumberThatFitsSixteenBits) {
    // 70000 does not fit; the analyzer shows it in decimal, and no MRU is read from it.
    Bytes big(true);
    big.u32(70000);
    auto event = classifyFrame(ethernet(kAC, kClient, kPPPoES, pppoeSession(1, kLCP, controlPacket(1, 1, option(1, big.data())))));
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

TEST(SessionClassification, L2TPControlMessagesAreNamedAndPhased) {
    struct L2TPCase {
        std::uint16_t type;
        const char* label;
        SessionPhase phase;
    };
    const std::vector<L2TPCase> cases = {
        {1, "SCCRQ", SessionPhase::discovery}, {6, "HELLO", SessionPhase::link},     {10, "ICRQ", SessionPhase::discovery},
        {4, "StopCCN", SessionPhase::teardown}, {14, "CDN", SessionPhase::teardown}, {20, "Message type 20", SessionPhase::discovery},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto event = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.9", "10.0.0.10", 1701, 1701,
            l2tpControl(5, 0, concat({avp(0, u16(c.type)), avp(14, u16(77))})))));
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
    }
}

TEST(SessionClassification, AHiddenHostNameIsNotAHostName) {
    auto plain = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.1", "10.0.0.2", 1701, 1701,
        l2tpControl(0, 0, concat({avp(0, u16(1)), avp(7, text("lac-1"))})))));
    auto hidden = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.1", "10.0.0.2", 1701, 1701,
        l2tpControl(0, 0, concat({avp(0, u16(1)), avp(7, text("lac-1"), true)})))));
    ASSERT_TRUE(plain && hidden);
    EXPECT_EQ(plain->hostName, "lac-1");
    EXPECT_EQ(hidden->hostName, std::nullopt);
}

TEST(SessionClassification, RADIUSDirectionPeerAndAccounting) {
    const Data user = attribute(1, text("Alice@ISP"));
    auto request = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("192.0.2.1", "198.51.100.10", 40000, 1812,
        radius(1, concat({user, attribute(4, ipv4("192.0.2.1"))})))));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->protocolName, "RADIUS");
    EXPECT_EQ(request->direction, SessionDirection::clientToAC);
    EXPECT_EQ(request->radiusUserName, "Alice@ISP");
    EXPECT_EQ(request->aaaPeer, "198.51.100.10");
    EXPECT_EQ(request->annotation, "AAA 198.51.100.10");
    EXPECT_EQ(request->nasIP, "192.0.2.1");

    auto reject = classifyFrame(ethernet(kClient, kAC, kIPv4, udp("198.51.100.10", "192.0.2.1", 1812, 40000, radius(3, {}))));
    ASSERT_TRUE(reject);
    EXPECT_EQ(reject->direction, SessionDirection::acToClient);
    EXPECT_EQ(reject->authResult, AuthResult::failure);
    EXPECT_EQ(reject->aaaPeer, "198.51.100.10");
    EXPECT_EQ(reject->nasIP, "192.0.2.1");

    Bytes start(true);
    start.u32(1);
    auto accounting = classifyFrame(ethernet(kAC, kClient, kIPv4, udp("192.0.2.1", "198.51.100.10", 40001, 1813,
        radius(4, concat({attribute(40, start.data()), user, attribute(44, text("0000ABCD"))})))));
    ASSERT_TRUE(accounting);
    EXPECT_EQ(accounting->acctStatus, AcctStatus::start);
    EXPECT_EQ(accounting->acctSessionID, "0000ABCD");
}

TEST(SessionClassification, OtherTrafficGivesNothing) {
    EXPECT_FALSE(classifyFrame(ethernet(kAC, kClient, kIPv4, udp("10.0.0.1", "10.0.0.2", 5000, 53, text("query")))));
    EXPECT_FALSE(classifyFrame(Data()));
}

}  // namespace
}  // namespace qor::test::sessions
