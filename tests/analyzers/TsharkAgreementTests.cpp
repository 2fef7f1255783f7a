// Compares the analyzer chains of real captures with what tshark says about them.
//
// Expected values: tests/fixtures/expected/<capture>.tshark.tsv, written by
//   tshark -n -r <capture> -T fields -e frame.number -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst
//          -e tcp.srcport -e tcp.dstport -e udp.srcport -e udp.dstport -e frame.protocols
// (the first line of each file records the command and the tshark version), and
// tests/fixtures/expected/<capture>.info.tshark.tsv, written by
//   tshark -n -r <capture> -T fields -e frame.number -e frame.protocols -e _ws.col.Info

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "AnalyzerHarness.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
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

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, separator)) out.push_back(piece);
    if (!text.empty() && text.back() == separator) out.emplace_back();
    return out;
}

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

std::vector<TsharkRow> readExpected(const std::filesystem::path& path) {
    std::vector<TsharkRow> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto f = split(line, '\t');
        f.resize(10);
        TsharkRow row{f[0], {}, split(f[9], ':')};
        for (std::size_t k = 0; k < 8; ++k) row.fields[k] = first(f[k + 1]);
        rows.push_back(row);
    }
    return rows;
}

/// Where our analyzers' values for tshark's columns come from: the first layer of a protocol
/// (an IPv4 layer only while no IPv6 one came before it), two fields at a time.
struct Source {
    const char* protocol;
    std::size_t field;  ///< index of the source column; the destination is the next
    const char *srcKey, *dstKey;
    std::size_t srcAt, dstAt, length;
    bool numeric;
};
constexpr Source kSources[] = {{"IP", 0, "ip4SrcAddr", "ip4DstAddr", 12, 16, 4, false},
                               {"IPv6", 2, "ip6SrcAddr", "ip6DstAddr", 8, 24, 16, false},
                               {"TCP", 4, "srcPort", "dstPort", 0, 2, 2, true},
                               {"UDP", 6, "srcPort", "dstPort", 0, 2, 2, true}};

struct Agreement {
    std::size_t compared = 0, matched = 0;
};

Agreement compareCapture(const std::string& capture) {
    Agreement result;
    auto stem = capture.substr(0, capture.rfind('.'));
    auto expected = readExpected(fixturePath("expected/" + stem + ".tshark.tsv"));
    auto packets = readCapture(readFile(capturePath(capture)));
    EXPECT_EQ(expected.size(), packets.size()) << capture;
    for (std::size_t i = 0; i < std::min(expected.size(), packets.size()); ++i) {
        const auto& packet = packets[i];
        auto link = ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(packet.linkType));
        EXPECT_TRUE(link) << capture << " link type " << packet.linkType;
        if (!link) continue;
        auto steps = AnalyzerHarness::shared().walk(*link, packet.bytes, packetWith(packet.linkType, packet.bytes));

        Fields got;
        std::vector<std::string> ourLayers;
        for (const auto& step : steps) {
            auto name = step.analyzer->protocolName().value_or("");
            if (auto it = layerNames().find(name); it != layerNames().end()) ourLayers.push_back(it->second);
            for (const auto& s : kSources) {
                if (name != s.protocol || !got[s.field].empty() || (s.field == 0 && !got[2].empty())) continue;
                auto read = [&](const char* key, std::size_t at) {
                    auto v = step.analyzer->value(key, step.bytes.slice(at, s.length));
                    if (!s.numeric) return v.asString().value_or("");
                    return v.asUInt() ? std::to_string(*v.asUInt()) : std::string();
                };
                got[s.field] = read(s.srcKey, s.srcAt);
                got[s.field + 1] = read(s.dstKey, s.dstAt);
            }
        }
        auto theirLayers = coveredLayers(expected[i].layers);
        // Ports and addresses that tshark takes from an ICMP message's quoted datagram are not ours.
        auto wanted = expected[i].fields;
        if (std::find(theirLayers.begin(), theirLayers.end(), "tcp") == theirLayers.end() &&
            std::find(theirLayers.begin(), theirLayers.end(), "udp") == theirLayers.end())
            for (std::size_t k = 4; k < 8; ++k) wanted[k].clear();

        std::string where = capture + " frame " + expected[i].number;
        for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(got[k], wanted[k]) << where << " " << kFields[k];
        EXPECT_EQ(ourLayers, theirLayers) << where << " (ours: " << history(steps) << ")";
        ++result.compared;
        if (got == wanted && ourLayers == theirLayers) ++result.matched;
    }
    return result;
}

/// A test name from a capture's file name.
std::string paramName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name;
    for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

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

/// The summary line of the last analyzer agrees with tshark's Info column for packets whose
/// innermost protocol is DNS, ARP, ICMP or ICMPv6 (tshark's cross references to the matching
/// request or reply need the whole capture and are not compared).
class TsharkInfoAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(TsharkInfoAgreement, SummaryLinesMatchTheInfoColumn) {
    const auto& capture = GetParam();
    auto stem = capture.substr(0, capture.rfind('.'));
    std::ifstream in(fixturePath("expected/" + stem + ".info.tshark.tsv"));
    auto packets = readCapture(readFile(capturePath(capture)));
    std::size_t compared = 0, matched = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto f = split(line, '\t');
        f.resize(3);
        auto layers = split(f[1], ':');
        while (!layers.empty() && layers.back() == "data") layers.pop_back();
        if (layers.empty()) continue;
        const auto& top = layers.back();
        if (top != "dns" && top != "arp" && top != "icmp" && top != "icmpv6") continue;
        std::size_t index = std::stoul(f[0]) - 1;
        ASSERT_LT(index, packets.size());
        const auto& packet = packets[index];
        auto link = ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(packet.linkType));
        ASSERT_TRUE(link);
        auto steps = AnalyzerHarness::shared().walk(*link, packet.bytes, packetWith(packet.linkType, packet.bytes));
        ASSERT_FALSE(steps.empty());
        auto want = f[2];
        for (const char* reference : {" (request in ", " (reply in ", " (no response found!)"})
            if (auto at = want.find(reference); at != std::string::npos) want = want.substr(0, at);
        auto got = steps.back().analyzer->protocolInfo(steps.back().bytes).value_or("<none>");
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
