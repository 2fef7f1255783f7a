// Compares the analysis of real captures with what tshark says about them: each capture is read
// by the library's reader, the standard plug-in is loaded by the plug-in controller, and every
// packet is analysed by its own pipeline.
//
// Expected values: tests/fixtures/expected/<capture>.tshark.tsv, written by
//   tshark -n -r <capture> -T fields -e frame.number -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst
//          -e tcp.srcport -e tcp.dstport -e udp.srcport -e udp.dstport -e frame.protocols
// (the first line of each file records the command and the tshark version), and
// tests/fixtures/expected/<capture>.info.tshark.tsv, written by
//   tshark -n -r <capture> -T fields -e frame.number -e frame.protocols -e _ws.col.Info

#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <set>

#include "AnalyzerHarness.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// tshark's address and port columns, in the order of the command above.
constexpr const char* kFields[] = {"ip.src", "ip.dst", "ipv6.src", "ipv6.dst", "tcp.srcport", "tcp.dstport", "udp.srcport", "udp.dstport"};
using Fields = std::array<std::string, 8>;

/// One packet as tshark reports it.
struct TsharkRow {
    std::string number;
    Fields fields;
    std::vector<std::string> layers;
};

/// The first of tshark's comma-separated values (outermost layer).
std::string first(const std::string& field) { return field.substr(0, field.find(',')); }

/// tshark's layer names for the protocols our analyzers cover, by our protocol name.
const std::map<std::string, std::string>& layerNames() {
    static const std::map<std::string, std::string> names{
        {"ETH", "eth"}, {"IP", "ip"},   {"IPv6", "ipv6"}, {"TCP", "tcp"},   {"UDP", "udp"},       {"DNS", "dns"},
        {"ARP", "arp"}, {"RARP", "arp"}, {"VLAN", "vlan"}, {"SLL", "sll"}, {"SLL2", "sll"}, {"NULL", "null"},   {"ICMP", "icmp"},
        {"ICMPv6", "icmpv6"},
    };
    return names;
}

/// tshark's layers, keeping those we cover; an ICMP message's quoted datagram is not compared.
std::vector<std::string> coveredLayers(const std::vector<std::string>& layers) {
    std::set<std::string> covered;
    for (const auto& [ours, theirs] : layerNames()) covered.insert(theirs);
    std::vector<std::string> out;
    for (const auto& layer : layers) {
        if (!covered.count(layer)) continue;
        out.push_back(layer);
        if (layer == "icmp" || layer == "icmpv6") break;
    }
    return out;
}

std::vector<TsharkRow> readExpected(const std::string& stem) {
    std::vector<TsharkRow> rows;
    for (const auto& f : readExpectedRows(stem + ".tshark.tsv", 10)) {
        TsharkRow row{f[0], {}, split(f[9], ':')};
        for (std::size_t k = 0; k < 8; ++k) row.fields[k] = first(f[k + 1]);
        rows.push_back(row);
    }
    return rows;
}

/// The first transport layer of a chain, "TCP" or "UDP", or empty text.
std::string firstTransport(const AnalyzerChain& chain) {
    for (const auto& a : chain)
        if (auto name = a->protocolName(); name == "TCP" || name == "UDP") return *name;
    return {};
}

/// The packet's value for an attribute key, as text ("" for none).
std::string text(const QORPacket& packet, const char* key) { return packet.valueForKey(key).asString().value_or(""); }
std::string number(const QORPacket& packet, const char* key) {
    auto v = packet.valueForKey(key).asUInt();
    return v ? std::to_string(*v) : std::string();
}

struct Agreement {
    std::size_t compared = 0, matched = 0;
};

/// Each packet of the capture, read by the library's reader and analysed by its own pipeline,
/// against tshark's row: the addresses and ports of the outermost IPv4, IPv6 and transport
/// headers (the packet's attribute values, which come from the first analyzer of each kind) and
/// the layers of the chain.
Agreement compareCapture(const std::string& capture) {
    Agreement result;
    auto stem = capture.substr(0, capture.rfind('.'));
    auto expected = readExpected(stem);
    auto packets = readCapture(capture).packets;
    EXPECT_EQ(expected.size(), packets.size()) << capture;
    for (std::size_t i = 0; i < std::min(expected.size(), packets.size()); ++i) {
        const auto& packet = *packets[i];
        EXPECT_TRUE(packet.packetLinkTypeString()) << capture << " link type " << packet.linkType();
        auto chain = packet.cachedAnalyzers().value_or(AnalyzerChain{});

        std::vector<std::string> ourLayers;
        for (const auto& a : chain)
            if (auto it = layerNames().find(a->protocolName().value_or("")); it != layerNames().end()) ourLayers.push_back(it->second);
        Fields got{text(packet, "ip4SrcAddr"), text(packet, "ip4DstAddr"), text(packet, "ip6SrcAddr"), text(packet, "ip6DstAddr")};
        auto transport = firstTransport(chain);
        if (!transport.empty()) {
            std::size_t at = transport == "TCP" ? 4 : 6;
            got[at] = number(packet, "srcPort");
            got[at + 1] = number(packet, "dstPort");
        }
        auto theirLayers = coveredLayers(expected[i].layers);
        // Ports and addresses that tshark takes from an ICMP message's quoted datagram are not ours.
        auto wanted = expected[i].fields;
        if (std::find(theirLayers.begin(), theirLayers.end(), "tcp") == theirLayers.end() &&
            std::find(theirLayers.begin(), theirLayers.end(), "udp") == theirLayers.end())
            for (std::size_t k = 4; k < 8; ++k) wanted[k].clear();

        std::string where = capture + " frame " + expected[i].number;
        for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(got[k], wanted[k]) << where << " " << kFields[k];
        EXPECT_EQ(ourLayers, theirLayers) << where << " (ours: " << chainHistory(packet) << ")";
        ++result.compared;
        if (got == wanted && ourLayers == theirLayers) ++result.matched;
    }
    return result;
}

std::string paramName(const ::testing::TestParamInfo<std::string>& info) { return captureTestName(info.param); }

class TsharkAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(TsharkAgreement, AddressesPortsAndLayersMatchTshark) {
    auto result = compareCapture(GetParam());
    std::cout << "[ agreement ] " << GetParam() << ": " << result.matched << " of " << result.compared
              << " packets match tshark\n";
    EXPECT_GT(result.compared, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, TsharkAgreement,
    ::testing::Values("udp_dns_request_response.pcap", "LinuxCookedCapture.pcap", "linux_dlt_sll2.pcap",
                      "vlan-pcp-dei.pcapng", "illustrated-tls12-dsb.pcapng", "basic-auth-with-colon.pcap",
                      "one_http_stream_fin.pcap", "ipv6_http.pcap", "many_interfaces-1.pcapng", "get-to-ssh-server.pcap",
                      "dssetup-standalone-be.cap", "smtp-attachment-msg.pcap", "tls1_3.pcap", "tls_nss_example.pcap",
                      "RADIUS.pcap", "dhcp-rfc3004.pcap"),
    paramName);

/// The packet's summary line (that of the last analyzer of its chain) agrees with tshark's Info
/// column for packets whose innermost protocol is DNS, ARP, ICMP or ICMPv6 (tshark's cross
/// references to the matching request or reply need the whole capture and are not compared).
class TsharkInfoAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(TsharkInfoAgreement, SummaryLinesMatchTheInfoColumn) {
    const auto& capture = GetParam();
    auto stem = capture.substr(0, capture.rfind('.'));
    auto packets = readCapture(capture).packets;
    std::size_t compared = 0, matched = 0;
    for (const auto& f : readExpectedRows(stem + ".info.tshark.tsv", 3)) {
        auto layers = split(f[1], ':');
        while (!layers.empty() && layers.back() == "data") layers.pop_back();
        if (layers.empty()) continue;
        const auto& top = layers.back();
        if (top != "dns" && top != "arp" && top != "icmp" && top != "icmpv6") continue;
        std::size_t index = std::stoul(f[0]) - 1;
        ASSERT_LT(index, packets.size());
        const auto& packet = *packets[index];
        auto want = f[2];
        for (const char* reference : {" (request in ", " (reply in ", " (no response found!)"})
            if (auto at = want.find(reference); at != std::string::npos) want = want.substr(0, at);
        auto got = packet.packetInfoOverview();
        EXPECT_EQ(got, want) << capture << " frame " << f[0];
        ++compared;
        if (got == want) ++matched;
    }
    std::cout << "[ info ] " << capture << ": " << matched << " of " << compared << " summary lines match tshark\n";
    EXPECT_GT(compared, 0u);
}

INSTANTIATE_TEST_SUITE_P(Captures, TsharkInfoAgreement,
                         ::testing::Values("udp_dns_request_response.pcap", "LinuxCookedCapture.pcap",
                                           "linux_dlt_sll2.pcap", "many_interfaces-1.pcapng"),
                         paramName);

}  // namespace
}  // namespace qor::test
