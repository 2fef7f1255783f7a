// The access-network and application analyzers against tshark on the real captures, read by the
// library's reader and analysed by each packet's own pipeline: the same frames are recognised as
// each protocol, and L2TP message types, RADIUS codes and PPPoE session ids agree. tshark's view is
// recorded in tests/fixtures/expected/<capture>.access.tsv (first line: the command and tshark
// version), taken with TCP reassembly off, since the analyzers read one segment at a time.

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "accessanalyzers/AccessTestSupport.hpp"

namespace qor::test::access {
namespace {

/// Our protocol names and tshark's for the protocols this plug-in part analyses.
constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kProtocols = {{
    {"PPPoED", "pppoed"}, {"PPPoES", "pppoes"}, {"PPP", "ppp"},     {"LCP", "lcp"},       {"PAP", "pap"},
    {"CHAP", "chap"},     {"IPCP", "ipcp"},     {"IPv6CP", "ipv6cp"}, {"CCP", "ccp"},     {"GRE", "gre"},
    {"L2TP", "l2tp"},     {"RADIUS", "radius"}, {"DHCP", "dhcp"},   {"NTP", "ntp"},       {"TLS", "tls"},
    {"HTTP", "http"},     {"SMTP", "smtp"},
}};

/// One row of tests/fixtures/expected/<capture>.access.tsv (tshark's view of one frame).
struct ExpectedFrame {
    std::string number;
    std::vector<std::string> protocols;  ///< frame.protocols split at ":"
    std::string l2tpMessageTypes;        ///< l2tp.avp.message_type (comma-separated)
    std::string radiusCodes;             ///< radius.code
    std::string pppoeSessionIds;         ///< pppoe.session_id ("0x...", comma-separated)
};
std::vector<ExpectedFrame> readExpected(std::string_view capture) {
    std::vector<ExpectedFrame> rows;
    for (const auto& c : readExpectedRows(std::string(capture) + ".access.tsv", 5)) rows.push_back({c[0], split(c[1], ':'), c[2], c[3], c[4]});
    return rows;
}

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

/// The whole chain of some access-network frames, in order.
const std::map<std::pair<std::string, std::string>, std::string> kHistories = {
    {{"suricata-pppoe.pcap", "1"}, "ETH-PPPoED"}, {{"suricata-pppoe.pcap", "23"}, "ETH-PPPoES-PPP-IPCP"},
    {{"suricata-pppoe.pcap", "35"}, "ETH-PPPoES-PPP-LCP-IPv6CP"}, {{"GrePackets.cap", "17"}, "ETH-IP-GRE-PPP-PAP"},
    {{"nb6-http.pcap", "20"}, "ETH-PPPoES-PPP-IP-UDP-L2TP-PPP-LCP"}};

class CaptureAgreement : public ::testing::TestWithParam<const char*> {};

TEST_P(CaptureAgreement, RecognisesTheSameFramesAsTshark) {
    auto packets = readCapture(GetParam()).packets;
    auto expected = readExpected(GetParam());
    ASSERT_FALSE(expected.empty()) << "no expectations for " << GetParam();
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const auto& packet = *packets[i];
        std::set<std::string> ours;
        for (const auto& l : layersOf(packet)) ours.insert(l.protocol);
        const auto& row = expected[i];
        if (auto it = kHistories.find({GetParam(), row.number}); it != kHistories.end()) {
            EXPECT_EQ(packet.packetProtocolHistory(), it->second) << GetParam() << " frame " << row.number;
        }
        for (auto [mine, theirs] : kProtocols) {
            bool a = ours.contains(std::string(mine));
            bool b = std::find(row.protocols.begin(), row.protocols.end(), theirs) != row.protocols.end();
            EXPECT_EQ(a, b) << GetParam() << " frame " << row.number << ": " << mine << " in ours ("
                            << chainHistory(packet) << ") vs tshark";
        }
        auto check = [&](const std::string& theirs, const std::string& ours, const char* what) {
            if (!theirs.empty()) {
                EXPECT_EQ(ours, theirs) << GetParam() << " frame " << row.number << ": " << what;
            }
        };
        check(firstNumber(row.l2tpMessageTypes), attributeValue(packet, "l2tpMessageType"), "L2TP message type");
        check(firstNumber(row.radiusCodes), attributeValue(packet, "radiusCode"), "RADIUS code");
        if (!row.pppoeSessionIds.empty()) {
            auto ours = attributeValue(packet, "pppoesSessionId");
            if (ours.empty()) ours = attributeValue(packet, "pppoedSessionId");
            check(firstNumber(row.pppoeSessionIds), ours, "PPPoE session id");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureAgreement,
                         ::testing::Values("suricata-pppoe.pcap", "pppoe-session-http.pcap", "nb6-http.pcap",
                                           "GrePackets.cap", "l2tp-avp-overflow.pcap", "RADIUS.pcap",
                                           "dhcp-rfc3004.pcap", "smtp-attachment-msg.pcap", "tls1_3.pcap",
                                           "tls_nss_example.pcap", "illustrated-tls12-dsb.pcapng",
                                           "one_http_stream_fin.pcap", "ipv6_http.pcap"),
                         [](const auto& info) { return captureTestName(info.param); });

}  // namespace
}  // namespace qor::test::access
