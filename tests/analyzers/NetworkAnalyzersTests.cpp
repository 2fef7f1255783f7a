// Tests of the network-layer analyzers: ARP, IPv4, IPv6, ICMP and ICMPv6.

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

/// An IPv4 header with a correct checksum, options appended, then `payload` zero bytes.
Data ipv4(std::uint8_t protocol, std::size_t payload, std::uint16_t fragment = 0x4000,
          std::initializer_list<int> options = {}, std::optional<std::uint16_t> totalLength = {}) {
    std::size_t headerLength = 20 + options.size();
    Bytes b(true);
    b.u8(static_cast<std::uint8_t>(0x40 | (headerLength / 4))).u8(0)
        .u16(totalLength.value_or(static_cast<std::uint16_t>(headerLength + payload)))
        .u16(0x1c46).u16(fragment).u8(64).u8(protocol).u16(0)
        .raw({192, 168, 0, 1}).raw({10, 0, 0, 2}).raw(options).zeros(payload);
    auto v = b.vector();
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < headerLength; i += 2) sum += (std::uint32_t(v[i]) << 8) | std::uint32_t(v[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    v[10] = std::byte(~sum >> 8 & 0xFF);
    v[11] = std::byte(~sum & 0xFF);
    return Data(std::move(v));
}

std::string childValue(const NodeList& nodes, std::string_view name) {
    auto root = std::dynamic_pointer_cast<QORNode>(nodes.at(0));
    auto child = root ? root->getChild(name) : nullptr;
    return child ? child->nodeValue() : "<none>";
}

// Addresses, TTL and the common carried protocols are compared with tshark on real captures.
TEST(IPv4Analyzer, HeaderLengthsTotalLengthsAndFragmentsDecideWhatIsCarried) {
    expectRows("IPv4Analyzer",
               {{"unknown protocol", ipv4(99, 8), -1, ""},
                {"Router Alert option", ipv4(17, 8, 0, {0x94, 0x04, 0x00, 0x00}), 24, nullptr, 8},
                {"an option running past the header ends the walk", ipv4(17, 8, 0, {0x07, 0x28, 0x00, 0x00}), -1, "UDP", -1, nullptr, {}, true},
                {"cut inside the header", ipv4(6, 20).slice(0, 12), 12, ""},
                {"IHL past the captured bytes", ipv4(6, 0, 0, {1, 1, 1, 1, 1, 1, 1, 1}).slice(0, 24), 24, ""},
                {"total length below the header length", ipv4(6, 20, 0x4000, {}, 10), -1, "", 0},
                {"total length past the capture: the captured payload", ipv4(6, 100, 0x4000, {}, 1500), -1, "TCP", 100},
                {"segmentation offload's total length 0: the captured bytes", ipv4(6, 60, 0x4000, {}, 0), -1, nullptr, 60},
                {"a later fragment (offset 1480) carries nothing", ipv4(17, 40, 185), -1, "", -1,
                 "Fragmented IP protocol (proto=UDP 17, off=1480, ID=1c46)"},
                {"the first fragment", ipv4(17, 40, 0x2000), -1, "UDP"}});
    auto options = ipv4(17, 8, 0, {0x94, 0x04, 0x00, 0x00});
    const auto nodes = harness().make("IPv4Analyzer", options)->protocolNodes(options);
    EXPECT_NE(childValue(nodes, "Options"), "<none>");
    EXPECT_NE(childValue(nodes, "Header Checksum").find("[correct]"), std::string::npos);
    // Bytes that cannot be IPv4: version 5, or an IHL of 4.
    auto bytes = ipv4(6, 0).toVector();
    bytes[0] = std::byte{0x55};
    EXPECT_FALSE(harness().make("IPv4Analyzer", Data(bytes)));
    bytes[0] = std::byte{0x44};
    EXPECT_FALSE(harness().make("IPv4Analyzer", Data(bytes)));
}

/// An IPv6 header from `src` to `dst` with the given next header, then `rest`.
Data ipv6(std::uint8_t nextHeader, const Data& rest, std::optional<std::uint16_t> payloadLength = {}) {
    Bytes b(true);
    b.u32(0x60000000).u16(payloadLength.value_or(static_cast<std::uint16_t>(rest.size()))).u8(nextHeader).u8(64);
    b.raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x8c, 0x36, 0x06, 0xff, 0xfe, 0x44, 0xac, 0xaf});
    b.raw({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    b.raw(rest);
    return b.data();
}

/// The compression rules real captures rarely meet: one zero group stays, the longest run of
/// zeros goes (the first of equal runs), IPv4-mapped addresses end in a dotted quad.
TEST(IPv6Analyzer, PrintsAddressesInTheirRecommendedForm) {
    struct Row {
        std::initializer_list<int> address;
        const char* text;
    };
    for (const auto& row : {
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "::"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
             Row{{0x20, 0x01, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:0:0:1::1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, "2001:db8::1:0:0:1"},
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}, "::ffff:192.0.2.1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "2001:db8:abcd::"},
         }) {
        EXPECT_EQ(valueText(harness().make("IPv6Analyzer", ipv6(59, Data()))->value("ip6SrcAddr", bytes(row.address))), row.text);
    }
}

TEST(IPv6Analyzer, WalksExtensionHeadersInsideTheHeader) {
    Bytes ext(true);
    ext.raw({44, 0, 1, 4, 0, 0}).zeros(2);     // hop-by-hop, 8 bytes, PadN
    ext.raw({17, 0, 0, 1, 0, 0, 0, 7});        // fragment, offset 0, more fragments
    ext.zeros(12);                             // 12 bytes of UDP
    Bytes later(true);
    later.raw({17, 0, 0x05, 0xC8, 0, 0, 0, 7}).zeros(12);  // fragment at offset 185
    auto cut = ipv6(60, bytes({6, 4, 0, 0}));
    Bytes many(true);
    for (int i = 0; i < 40; ++i) many.raw({60, 0, 1, 4, 0, 0, 0, 0});
    many.raw({6, 0, 1, 4, 0, 0, 0, 0});
    expectRows("IPv6Analyzer", {{"hop-by-hop and first fragment", ipv6(0, ext.data()), 56, "UDP", 12},
                                {"a later fragment", ipv6(44, later.data()), -1, ""},
                                {"an extension header past the bytes: the header is what is there", cut,
                                 static_cast<long>(cut.size()), ""},
                                {"more extension headers than the walk allows", ipv6(60, many.data()), -1, ""}});
    EXPECT_LE(harness().make("IPv6Analyzer", ipv6(60, many.data()))->protocolSize(), 40 + 8 * 16);
    EXPECT_FALSE(harness().make("IPv6Analyzer", ipv4(6, 20)));
}

Data arp(std::uint16_t opcode, std::initializer_list<int> sha, std::initializer_list<int> spa,
         std::initializer_list<int> tha, std::initializer_list<int> tpa) {
    Bytes b(true);
    b.u16(1).u16(0x0800).u8(6).u8(4).u16(opcode).raw(sha).raw(spa).raw(tha).raw(tpa).zeros(18);
    return b.data();
}

TEST(ArpAnalyzer, SummarisesRequestsRepliesAndAnnouncements) {
    std::initializer_list<int> mac{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}, zero{0, 0, 0, 0, 0, 0};
    // Requests and RARP are compared with tshark on linux_dlt_sll2.pcap.
    auto request = arp(1, mac, {10, 0, 0, 2}, zero, {10, 0, 0, 1});
    expectRows("ArpAnalyzer",
               {{"reply", arp(2, mac, {10, 0, 0, 1}, mac, {10, 0, 0, 2}), -1, nullptr, -1, "10.0.0.1 is at aa:bb:cc:dd:ee:ff"},
                {"announcement", arp(1, mac, {10, 0, 0, 9}, zero, {10, 0, 0, 9}), -1, nullptr, -1, "ARP Announcement for 10.0.0.9"},
                {"probe", arp(1, mac, {0, 0, 0, 0}, zero, {10, 0, 0, 9}), -1, nullptr, -1, "Who has 10.0.0.9? (ARP Probe)"},
                {"gratuitous", arp(1, mac, {10, 0, 0, 9}, mac, {10, 0, 0, 9}), -1, nullptr, -1,
                 "Gratuitous ARP for 10.0.0.9 (Request)"},
                {"cut short", request.slice(0, 20), 20, nullptr, -1, "", {}, true}});
}

// Echo summaries with the packet's time to live or hop limit are compared with tshark on
// linux_dlt_sll2.pcap, and the datagrams errors quote by the content probe tests.
TEST(IcmpAnalyzer, SummarisesEchoWithoutItsPacketAndQuotesTheDatagramOfAnError) {
    auto echo = Bytes(true).u8(8).u8(0).u16(0).u16(0x0008).u16(1).zeros(16).data();
    auto unreachable = Bytes(true).u8(3).u8(3).u16(0).u32(0).raw(ipv4(17, 8)).data();
    expectRows("IcmpAnalyzer", {{"without its packet, the summary has no time to live", echo, 8, nullptr, -1,
                                 "Echo (ping) request  id=0x0008, seq=1/256"},
                                {"cut short", bytes({8}), 1}});
    EXPECT_NE(childValue(harness().make("IcmpAnalyzer", unreachable)->protocolNodes(unreachable), "Quoted IPv4 header"), "<none>");
}

TEST(IcmpV6Analyzer, SummarisesNeighborDiscovery) {
    Bytes ns(true), na(true), rs(true);
    ns.u8(135).u8(0).u16(0).u32(0).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    ns.u8(1).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    na.u8(136).u8(0).u16(0).u32(0x60000000).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    na.u8(2).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    rs.u8(133).u8(0).u16(0).u32(0).u8(1).u8(0).zeros(6);  // an option of length 0 ends the option walk
    expectRows("IcmpV6Analyzer",
               {{"NS", ns.data(), -1, nullptr, -1, "Neighbor Solicitation for fe80::1 from 00:11:22:33:44:55"},
                {"NA", na.data(), -1, nullptr, -1, "Neighbor Advertisement fe80::1 (sol, ovr) is at 00:11:22:33:44:55"},
                {"RS", rs.data(), -1, nullptr, -1, "Router Solicitation", {}, true},
                {"port unreachable", bytes({1, 4, 0, 0}), -1, nullptr, -1, "Destination Unreachable (Port unreachable)"}});
}

}  // namespace
}  // namespace qor::test
