// PPP and the protocols it carries (LCP, IPCP, IPv6CP, CCP, PAP, CHAP), and GRE, byte by byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "accessanalyzers/AccessTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

/// The first flattened row whose name, lower-cased, contains one of `words` (as sessions search).
std::string rowNamed(const std::vector<std::string>& rows, std::initializer_list<const char*> words) {
    for (const auto& r : rows) {
        std::string lower = r.substr(0, r.find(':'));
        for (auto& c : lower) c = static_cast<char>(std::tolower(c));
        for (auto w : words)
            if (lower.find(w) != std::string::npos) return r;
    }
    return "<none>";
}

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
        SCOPED_TRACE(row.next.value_or("none") + " " + std::to_string(row.bytes.size()));
        auto a = make("PPPAnalyzer", row.bytes);
        EXPECT_EQ(a->protocolSize(), row.size);
        EXPECT_EQ(a->nextProtocol(), row.next);
    }
    EXPECT_FALSE(makeAnalyzer("PPPAnalyzer", bytes({0xff, 0x03})));
    EXPECT_FALSE(makeAnalyzer("PPPAnalyzer", bytes({0xc0})));
}

TEST(LCPAnalyzer, NamesTheMRUSoThatSessionsFindIt) {
    auto packet = bytes({0x02, 0x01, 0x00, 0x0e, 0x01, 0x04, 0x05, 0xd4, 0x03, 0x04, 0xc0, 0x23, 0x07, 0x02});
    auto a = make("LCPAnalyzer", packet);
    EXPECT_EQ(a->protocolInfo(),
              "Configure-Ack (id 1), Maximum-Receive-Unit (MRU) 1492, Authentication-Protocol Password "
              "Authentication Protocol (0xc023)");
    auto rows = flatten(a->protocolNodes(packet));
    EXPECT_EQ(rowNamed(rows, {"mru"}), "Maximum-Receive-Unit (MRU): 1492");
    EXPECT_NE(std::find(rows.begin(), rows.end(), "Protocol-Field-Compression: on"), rows.end());
    // A lying or zero option length ends the option walk.
    for (auto bad : {bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x00, 0x00, 0x00}),
                     bytes({0x01, 0x01, 0x00, 0x0c, 0x01, 0x04, 0x05, 0xd4, 0x05, 0x09, 0x00, 0x00})}) {
        auto nodes = make("LCPAnalyzer", bad)->protocolNodes(bad);
        EXPECT_EQ(topLevelValue(nodes, "Maximum-Receive-Unit (MRU)"), "1492");
        EXPECT_TRUE(topLevelValue(nodes, "Malformed Option"));
        EXPECT_FALSE(topLevelValue(nodes, "Magic-Number"));
    }
}

TEST(LCPAnalyzer, ReadsEchoTerminateAndHandsAProtocolRejectOn) {
    auto echo = bytes({0x0a, 0x05, 0x00, 0x08, 0x01, 0x02, 0x03, 0x04});
    auto a = make("LCPAnalyzer", echo);
    EXPECT_EQ(a->protocolInfo(), "Echo-Reply (id 5)");
    EXPECT_EQ(topLevelValue(a->protocolNodes(echo), "Magic-Number"), "0x01020304");
    auto terminate = bytes({0x05, 0x02, 0x00, 0x08, 'b', 'y', 'e', '!'});
    EXPECT_EQ(topLevelValue(make("LCPAnalyzer", terminate)->protocolNodes(terminate), "Data"), "bye!");

    // Protocol-Reject of an IPv6CP Configure-Request: the chain goes on into IPv6CP.
    auto reject = bytes({0x08, 0x03, 0x00, 0x14, 0x80, 0x57, 0x01, 0x01, 0x00, 0x0e, 0x01, 0x0a, 0x02, 0x11, 0x22,
                         0xff, 0xfe, 0x33, 0x44, 0x55});
    a = make("LCPAnalyzer", reject);
    EXPECT_EQ(a->nextProtocol(), "IPv6CP");
    EXPECT_EQ(a->protocolSize(), 6);
    EXPECT_EQ(topLevelValue(make("IPv6CPAnalyzer", reject.slice(6))->protocolNodes(reject.slice(6)), "Interface-Identifier"),
              "0211:22ff:fe33:4455");
}

TEST(IPCPAndCCPAnalyzers, ShowAddressesResetCodesAndCompressionOptions) {
    auto nak = bytes({0x03, 0x02, 0x00, 0x16, 0x03, 0x06, 0x0a, 0x00, 0x00, 0x07, 0x81, 0x06, 0x08, 0x08, 0x08, 0x08,
                      0x83, 0x06, 0x00, 0x00, 0x00, 0x00});
    auto a = make("IPCPAnalyzer", nak);
    expectTopLevel(a->protocolNodes(nak),
                   {{"IP-Address", "10.0.0.7"}, {"Primary-DNS-Address", "8.8.8.8"}, {"Secondary-DNS-Address", "0.0.0.0"}});
    EXPECT_EQ(a->value("ipcpAddress", nak).asString(), "10.0.0.7");
    EXPECT_EQ(a->protocolInfo(), "Configure-Nak (id 2), IP-Address 10.0.0.7, Primary-DNS-Address 8.8.8.8, "
                                 "Secondary-DNS-Address 0.0.0.0");

    auto req = bytes({0x01, 0x01, 0x00, 0x0a, 0x12, 0x06, 0x01, 0x00, 0x00, 0x40});
    EXPECT_EQ(topLevelValue(make("CCPAnalyzer", req)->protocolNodes(req), "Microsoft PPE/PPC"), "01000040");
    EXPECT_EQ(make("CCPAnalyzer", bytes({0x0e, 0x07, 0x00, 0x04}))->protocolInfo(), "Reset-Request (id 7)");
    EXPECT_FALSE(makeAnalyzer("CCPAnalyzer", bytes({0x01, 0x01, 0x00})));
}

TEST(PAPAnalyzer, ReadsThePeerAndKeepsNamesOutOfTheSummary) {
    auto request = bytes({0x01, 0x01, 0x00, 0x10, 0x04, 'j', 'a', 'c', 'k', 0x06, 's', 'e', 'c', 'r', 'e', 't'});
    auto a = make("PAPAnalyzer", request);
    EXPECT_EQ(a->protocolInfo(), "Authenticate-Request (id 1)");  // no "ack" from the user name
    EXPECT_EQ(rowNamed(flatten(a->protocolNodes(request)), {"peer", "user", "name"}), "Peer-ID: jack");
    EXPECT_EQ(a->value("papPeerID", request).asString(), "jack");

    auto ack = bytes({0x02, 0x01, 0x00, 0x07, 0x02, 'O', 'K'});
    a = make("PAPAnalyzer", ack);
    EXPECT_EQ(a->protocolInfo(), "Authenticate-Ack (id 1)");
    EXPECT_EQ(topLevelValue(a->protocolNodes(ack), "Message"), "OK");

    // A peer-id length past the packet shows as malformed, never read.
    auto lying = bytes({0x01, 0x01, 0x00, 0x08, 0x7f, 'a', 'b', 'c'});
    auto nodes = make("PAPAnalyzer", lying)->protocolNodes(lying);
    EXPECT_FALSE(topLevelValue(nodes, "Peer-ID"));
    EXPECT_TRUE(topLevelValue(nodes, "Malformed Peer-ID"));
}

TEST(CHAPAnalyzer, ReadsValueAndNameAndNamesTheResult) {
    auto response = bytes({0x02, 0x09, 0x00, 0x0d, 0x04, 0xaa, 0xbb, 0xcc, 0xdd, 'a', 'l', 'i', 'x'});
    auto a = make("CHAPAnalyzer", response);
    EXPECT_EQ(a->protocolInfo(), "Response (id 9)");
    expectTopLevel(a->protocolNodes(response), {{"Value", "aabbccdd"}, {"Name", "alix"}});
    EXPECT_EQ(a->value("chapName", response).asString(), "alix");
    EXPECT_EQ(make("CHAPAnalyzer", bytes({0x03, 0x09, 0x00, 0x06, 'O', 'K'}))->protocolInfo(), "Success (id 9)");
    EXPECT_EQ(make("CHAPAnalyzer", bytes({0x04, 0x09, 0x00, 0x04}))->protocolInfo(), "Failure (id 9)");
    auto lying = bytes({0x01, 0x01, 0x00, 0x06, 0x40, 0x00});
    EXPECT_TRUE(topLevelValue(make("CHAPAnalyzer", lying)->protocolNodes(lying), "Malformed Value"));
}

TEST(GREAnalyzer, ReadsEnhancedGREAndPlainGRE) {
    // PPTP: K, S and A set, version 1, PPP; payload length 4, call id 0x1780.
    auto pptp = bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04, 0x17, 0x80, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                       0xff, 0x03, 0xc0, 0x21});
    auto a = make("GREAnalyzer", pptp);
    EXPECT_EQ(a->protocolSize(), 16);
    EXPECT_EQ(a->nextProtocol(), "PPP");
    EXPECT_EQ(a->protocolInfo(), "Encapsulated PPP, call 6016, seq 2, ack 1");
    EXPECT_EQ(a->value("greCallId", pptp).asUInt(), 6016u);
    // A bare acknowledgement (payload length 0) carries nothing.
    EXPECT_FALSE(make("GREAnalyzer", bytes({0x20, 0x81, 0x88, 0x0b, 0x00, 0x00, 0x17, 0x80, 0x00, 0x00, 0x00, 0x05}))->nextProtocol());
    // RFC 2784 with checksum, carrying IPv4.
    a = make("GREAnalyzer", bytes({0x80, 0x00, 0x08, 0x00, 0x12, 0x34, 0x00, 0x00, 0x45, 0x00}));
    EXPECT_EQ(a->protocolSize(), 8);
    EXPECT_EQ(a->nextProtocol(), "IP");
    EXPECT_FALSE(makeAnalyzer("GREAnalyzer", bytes({0x30, 0x81, 0x88, 0x0b, 0x00, 0x04})));  // key cut short
    EXPECT_FALSE(makeAnalyzer("GREAnalyzer", bytes({0x00, 0x07, 0x08, 0x00})));              // version 7
}

}  // namespace
}  // namespace qor::test::access
