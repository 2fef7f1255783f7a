// PPP and the protocols it carries (LCP, IPCP, IPv6CP, CCP, PAP, CHAP), and GRE, byte by byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "accessanalyzers/AccessTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

TEST(PPPAnalyzer, ReadsEveryFormOfTheProtocolField) {
    struct Row {
        Data bytes;
        std::uint16_t size;
        std::optional<std::string> next;
    };
    const Row rows[] = {
        {bytes({0xff, 0x03, 0xc0, 0x21, 0x01}), 4, "LCP"},     // address/control, 16-bit protocol
        {bytes({0xc0, 0x23, 0x01}), 2, "PAP"},                 // address/control compressed
        {bytes({0xff, 0x03, 0x21, 0x45}), 3, "IP"},            // protocol field compressed (odd byte)
        {bytes({0x00, 0x57, 0x60}), 2, "IPv6"},
        {bytes({0x80, 0x21, 0x01}), 2, "IPCP"},
        {bytes({0x80, 0x57, 0x01}), 2, "IPv6CP"},
        {bytes({0x80, 0xfd, 0x01}), 2, "CCP"},
        {bytes({0xc2, 0x23, 0x01}), 2, "CHAP"},
        {bytes({0x00, 0x2d, 0x01}), 2, std::nullopt},          // Van Jacobson: named, not carried
        {bytes({0xc0, 0x21}), 2, std::nullopt},                // nothing after the header
    };
    for (const auto& row : rows) {
        auto a = makeAnalyzer("PPPAnalyzer", row.bytes);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->protocolSize(), row.size);
        EXPECT_EQ(a->nextProtocol(), row.next);
    }
    EXPECT_FALSE(makeAnalyzer("PPPAnalyzer", bytes({0xff, 0x03})));
    EXPECT_FALSE(makeAnalyzer("PPPAnalyzer", bytes({0xc0})));
}

TEST(LCPAnalyzer, NamesTheMRUSoThatSessionsFindIt) {
    auto packet = bytes({0x02, 0x01, 0x00, 0x0e, 0x01, 0x04, 0x05, 0xd4, 0x03, 0x04, 0xc0, 0x23, 0x07, 0x02});
    auto a = makeAnalyzer("LCPAnalyzer", packet);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolName(), "LCP");
    EXPECT_EQ(a->protocolInfo(),
              "Configure-Ack (id 1), Maximum-Receive-Unit (MRU) 1492, Authentication-Protocol Password "
              "Authentication Protocol (0xc023)");
    auto rows = flatten(a->protocolNodes(packet));
    auto mru = std::find_if(rows.begin(), rows.end(), [](auto& r) {
        std::string lower = r.substr(0, r.find(':'));  // the row's name, as sessions test it
        for (auto& c : lower) c = static_cast<char>(std::tolower(c));
        return lower.find("mru") != std::string::npos;
    });
    ASSERT_NE(mru, rows.end());
    EXPECT_EQ(*mru, "Maximum-Receive-Unit (MRU): 1492");
    EXPECT_NE(std::find(rows.begin(), rows.end(), "Protocol-Field-Compression: on"), rows.end());
}

TEST(LCPAnalyzer, EndsTheOptionWalkAtALyingOrZeroLength) {
    for (auto packet : {bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x00, 0x00, 0x00}),
                        bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x09, 0x00, 0x00})}) {
        auto a = makeAnalyzer("LCPAnalyzer", packet);
        ASSERT_TRUE(a);
        auto nodes = a->protocolNodes(packet);
        EXPECT_EQ(topLevelValue(nodes, "Maximum-Receive-Unit (MRU)"), "1492");
        EXPECT_TRUE(topLevelValue(nodes, "Malformed Option"));
        EXPECT_FALSE(topLevelValue(nodes, "Magic-Number"));
    }
}

TEST(LCPAnalyzer, ReadsEchoTerminateAndHandsAProtocolRejectOn) {
    auto echo = bytes({0x0a, 0x05, 0x00, 0x08, 0x01, 0x02, 0x03, 0x04});
    auto a = makeAnalyzer("LCPAnalyzer", echo);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "Echo-Reply (id 5)");
    EXPECT_EQ(topLevelValue(a->protocolNodes(echo), "Magic-Number"), "0x01020304");

    auto terminate = bytes({0x05, 0x02, 0x00, 0x08, 'b', 'y', 'e', '!'});
    a = makeAnalyzer("LCPAnalyzer", terminate);
    ASSERT_TRUE(a);
    EXPECT_EQ(topLevelValue(a->protocolNodes(terminate), "Data"), "bye!");

    // Protocol-Reject of an IPv6CP Configure-Request: the chain goes on into IPv6CP.
    auto reject = bytes({0x08, 0x03, 0x00, 0x14, 0x80, 0x57, 0x01, 0x01, 0x00, 0x0e, 0x01, 0x0a, 0x02, 0x11, 0x22,
                         0xff, 0xfe, 0x33, 0x44, 0x55});
    a = makeAnalyzer("LCPAnalyzer", reject);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->nextProtocol(), "IPv6CP");
    EXPECT_EQ(a->protocolSize(), 6);
    auto inner = makeAnalyzer("IPv6CPAnalyzer", reject.slice(6));
    ASSERT_TRUE(inner);
    EXPECT_EQ(topLevelValue(inner->protocolNodes(reject.slice(6)), "Interface-Identifier"), "0211:22ff:fe33:4455");
}

TEST(IPCPAnalyzer, ShowsAddressesAsDottedQuads) {
    auto nak = bytes({0x03, 0x02, 0x00, 0x16, 0x03, 0x06, 0x0a, 0x00, 0x00, 0x07, 0x81, 0x06, 0x08, 0x08, 0x08, 0x08,
                      0x83, 0x06, 0x00, 0x00, 0x00, 0x00});
    auto a = makeAnalyzer("IPCPAnalyzer", nak);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolName(), "IPCP");
    auto nodes = a->protocolNodes(nak);
    EXPECT_EQ(topLevelValue(nodes, "IP-Address"), "10.0.0.7");
    EXPECT_EQ(topLevelValue(nodes, "Primary-DNS-Address"), "8.8.8.8");
    EXPECT_EQ(topLevelValue(nodes, "Secondary-DNS-Address"), "0.0.0.0");
    EXPECT_EQ(a->value("ipcpAddress", nak).asString(), "10.0.0.7");
    EXPECT_EQ(a->protocolInfo(), "Configure-Nak (id 2), IP-Address 10.0.0.7, Primary-DNS-Address 8.8.8.8, "
                                 "Secondary-DNS-Address 0.0.0.0");
}

TEST(CCPAnalyzer, NamesResetCodesAndCompressionOptions) {
    auto req = bytes({0x01, 0x01, 0x00, 0x0a, 0x12, 0x06, 0x01, 0x00, 0x00, 0x40});
    auto a = makeAnalyzer("CCPAnalyzer", req);
    ASSERT_TRUE(a);
    EXPECT_EQ(topLevelValue(a->protocolNodes(req), "Microsoft PPE/PPC"), "01000040");
    auto reset = bytes({0x0e, 0x07, 0x00, 0x04});
    a = makeAnalyzer("CCPAnalyzer", reset);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "Reset-Request (id 7)");
    EXPECT_FALSE(makeAnalyzer("CCPAnalyzer", bytes({0x01, 0x01, 0x00})));
}

TEST(PAPAnalyzer, ReadsThePeerAndKeepsNamesOutOfTheSummary) {
    auto request = bytes({0x01, 0x01, 0x00, 0x10, 0x04, 'j', 'a', 'c', 'k', 0x06, 's', 'e', 'c', 'r', 'e', 't'});
    auto a = makeAnalyzer("PAPAnalyzer", request);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "Authenticate-Request (id 1)");  // no "ack" from the user name
    auto rows = flatten(a->protocolNodes(request));
    auto peer = std::find_if(rows.begin(), rows.end(), [](auto& r) {
        std::string lower = r.substr(0, r.find(':'));
        for (auto& c : lower) c = static_cast<char>(std::tolower(c));
        return lower.find("peer") != std::string::npos || lower.find("user") != std::string::npos ||
               lower.find("name") != std::string::npos;
    });
    ASSERT_NE(peer, rows.end());
    EXPECT_EQ(*peer, "Peer-ID: jack");
    EXPECT_EQ(a->value("papPeerID", request).asString(), "jack");

    auto ack = bytes({0x02, 0x01, 0x00, 0x07, 0x02, 'O', 'K'});
    a = makeAnalyzer("PAPAnalyzer", ack);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "Authenticate-Ack (id 1)");
    EXPECT_EQ(topLevelValue(a->protocolNodes(ack), "Message"), "OK");

    // A peer-id length past the packet shows as malformed, never read.
    auto lying = bytes({0x01, 0x01, 0x00, 0x08, 0x7f, 'a', 'b', 'c'});
    a = makeAnalyzer("PAPAnalyzer", lying);
    ASSERT_TRUE(a);
    auto nodes = a->protocolNodes(lying);
    EXPECT_FALSE(topLevelValue(nodes, "Peer-ID"));
    EXPECT_TRUE(topLevelValue(nodes, "Malformed Peer-ID"));
}

TEST(CHAPAnalyzer, ReadsValueAndNameAndNamesTheResult) {
    auto response = bytes({0x02, 0x09, 0x00, 0x0d, 0x04, 0xaa, 0xbb, 0xcc, 0xdd, 'a', 'l', 'i', 'x'});
    auto a = makeAnalyzer("CHAPAnalyzer", response);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolInfo(), "Response (id 9)");
    auto nodes = a->protocolNodes(response);
    EXPECT_EQ(topLevelValue(nodes, "Value"), "aabbccdd");
    EXPECT_EQ(topLevelValue(nodes, "Name"), "alix");
    EXPECT_EQ(a->value("chapName", response).asString(), "alix");

    for (auto [packet, info] : {std::pair{bytes({0x03, 0x09, 0x00, 0x06, 'O', 'K'}), "Success (id 9)"},
                                std::pair{bytes({0x04, 0x09, 0x00, 0x04}), "Failure (id 9)"}}) {
        a = makeAnalyzer("CHAPAnalyzer", packet);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->protocolInfo(), info);
    }
    auto lying = bytes({0x01, 0x01, 0x00, 0x06, 0x40, 0x00});
    a = makeAnalyzer("CHAPAnalyzer", lying);
    ASSERT_TRUE(a);
    EXPECT_TRUE(topLevelValue(a->protocolNodes(lying), "Malformed Value"));
}

TEST(GREAnalyzer, ReadsEnhancedGREAndPlainGRE) {
    // PPTP: K, S and A set, version 1, PPP; payload length 4, call id 0x1780.
    auto pptp = bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04, 0x17, 0x80, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                       0xff, 0x03, 0xc0, 0x21});
    auto a = makeAnalyzer("GREAnalyzer", pptp);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 16);
    EXPECT_EQ(a->nextProtocol(), "PPP");
    EXPECT_EQ(a->protocolInfo(), "Encapsulated PPP, call 6016, seq 2, ack 1");
    EXPECT_EQ(a->value("greCallId", pptp).asUInt(), 6016u);

    // A bare acknowledgement (payload length 0) carries nothing.
    auto ack = bytes({0x20, 0x81, 0x88, 0x0b, 0x00, 0x00, 0x17, 0x80, 0x00, 0x00, 0x00, 0x05});
    a = makeAnalyzer("GREAnalyzer", ack);
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->nextProtocol());

    // RFC 2784 with checksum, carrying IPv4.
    auto plain = bytes({0x80, 0x00, 0x08, 0x00, 0x12, 0x34, 0x00, 0x00, 0x45, 0x00});
    a = makeAnalyzer("GREAnalyzer", plain);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 8);
    EXPECT_EQ(a->nextProtocol(), "IP");

    EXPECT_FALSE(makeAnalyzer("GREAnalyzer", bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04})));  // key cut short
    EXPECT_FALSE(makeAnalyzer("GREAnalyzer", bytes({0x00, 0x07, 0x08, 0x00})));              // version 7
}

}  // namespace
}  // namespace qor::test::access
