// The access-network and application analyzers against tshark on the real captures, read by the
// library's reader and analysed by each packet's own pipeline: the same frames are recognised as
// each protocol, and L2TP message types, RADIUS codes and PPPoE session
// ids agree. tshark's view of each capture is recorded in
// tests/fixtures/expected/<capture>.access.tsv (first line: the command and tshark version); it
// was taken with TCP reassembly off, since the analyzers read one segment at a time.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <set>

#include "accessanalyzers/AccessTestSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test::access {
namespace {

/// Our protocol names and tshark's for the protocols this plug-in part analyses.
constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kProtocols = {{
    {"PPPoED", "pppoed"}, {"PPPoES", "pppoes"}, {"PPP", "ppp"},     {"LCP", "lcp"},       {"PAP", "pap"},
    {"CHAP", "chap"},     {"IPCP", "ipcp"},     {"IPv6CP", "ipv6cp"}, {"CCP", "ccp"},     {"GRE", "gre"},
    {"L2TP", "l2tp"},     {"RADIUS", "radius"}, {"DHCP", "dhcp"},   {"NTP", "ntp"},       {"TLS", "tls"},
    {"HTTP", "http"},     {"SMTP", "smtp"},
}};

/// The first number of a tshark field list ("1,6" gives "1"), in decimal.
std::string firstNumber(const std::string& cell) {
    auto first = cell.substr(0, cell.find(','));
    if (first.empty()) return {};
    return std::to_string(std::stoul(first, nullptr, 0));
}

/// The packet's value for an attribute key, in decimal, or empty text.
std::string attributeValue(const QORPacket& packet, std::string_view key) {
    auto v = packet.valueForKey(key).asUInt();
    return v ? std::to_string(*v) : std::string();
}

class CaptureAgreement : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureAgreement, RecognisesTheSameFramesAsTshark) {
    auto packets = readCapture(GetParam()).packets;
    auto expected = readExpected(GetParam());
    ASSERT_FALSE(expected.empty()) << "no expectations for " << GetParam();
    ASSERT_EQ(packets.size(), expected.size());
    std::size_t checks = 0, agreements = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto& packet = *packets[i];
        std::set<std::string> ours;
        for (const auto& l : layersOf(packet)) ours.insert(l.protocol);
        const auto& row = expected[i];
        for (auto [mine, theirs] : kProtocols) {
            bool a = ours.contains(std::string(mine));
            bool b = std::find(row.protocols.begin(), row.protocols.end(), theirs) != row.protocols.end();
            ++checks;
            agreements += a == b;
            EXPECT_EQ(a, b) << GetParam() << " frame " << row.number << ": " << mine << " in ours ("
                            << chainHistory(packet) << ") vs tshark";
        }
        auto check = [&](const std::string& theirs, const std::string& ours, const char* what) {
            if (theirs.empty()) return;
            ++checks;
            agreements += theirs == ours;
            EXPECT_EQ(ours, theirs) << GetParam() << " frame " << row.number << ": " << what;
        };
        check(firstNumber(row.l2tpMessageTypes), attributeValue(packet, "l2tpMessageType"), "L2TP message type");
        check(firstNumber(row.radiusCodes), attributeValue(packet, "radiusCode"), "RADIUS code");
        if (!row.pppoeSessionIds.empty()) {
            auto ours = attributeValue(packet, "pppoesSessionId");
            if (ours.empty()) ours = attributeValue(packet, "pppoedSessionId");
            check(firstNumber(row.pppoeSessionIds), ours, "PPPoE session id");
        }
    }
    RecordProperty("agreements", std::to_string(agreements) + "/" + std::to_string(checks));
    std::printf("[ agreement ] %s: %zu of %zu checks agree\n", GetParam(), agreements, checks);
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureAgreement,
                         ::testing::Values("suricata-pppoe.pcap", "pppoe-session-http.pcap", "nb6-http.pcap",
                                           "GrePackets.cap", "l2tp-avp-overflow.pcap", "RADIUS.pcap",
                                           "dhcp-rfc3004.pcap", "smtp-attachment-msg.pcap", "tls1_3.pcap",
                                           "tls_nss_example.pcap", "illustrated-tls12-dsb.pcapng",
                                           "one_http_stream_fin.pcap", "ipv6_http.pcap"),
                         [](const auto& info) { return captureTestName(info.param); });

TEST(AccessChains, ListEveryLayerOfAccessNetworkFrames) {
    struct Row {
        const char* capture;
        std::size_t frame;  // 1-based, as tshark numbers them
        const char* history;
    };
    for (auto row : {Row{"suricata-pppoe.pcap", 1, "ETH-PPPoED"}, Row{"suricata-pppoe.pcap", 23, "ETH-PPPoES-PPP-IPCP"},
                     Row{"suricata-pppoe.pcap", 35, "ETH-PPPoES-PPP-LCP-IPv6CP"},
                     Row{"GrePackets.cap", 17, "ETH-IP-GRE-PPP-PAP"},
                     Row{"nb6-http.pcap", 20, "ETH-PPPoES-PPP-IP-UDP-L2TP-PPP-LCP"}}) {
        auto packets = readCapture(row.capture).packets;
        ASSERT_GE(packets.size(), row.frame);
        const auto& packet = *packets[row.frame - 1];
        ASSERT_TRUE(packet.cachedAnalyzers());  // the history is written by the analysis
        EXPECT_EQ(packet.packetProtocolHistory(), row.history) << row.capture << " frame " << row.frame;
    }
}

}  // namespace
}  // namespace qor::test::access
