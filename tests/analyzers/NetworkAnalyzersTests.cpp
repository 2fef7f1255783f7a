// Tests of the network-layer analyzers: ARP, IPv4, IPv6, ICMP and ICMPv6.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }
std::string text(const Value& v) { return v.asString().value_or("<none>"); }

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

TEST(IPv4Analyzer, ReadsTheHeaderAndChoosesTheCarriedProtocol) {
    auto packet = ipv4(6, 32);
    auto ip = harness().make("IPv4Analyzer", packet);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->protocolName(), "IP");
    EXPECT_EQ(ip->protocolSize(), 20);
    EXPECT_EQ(ip->nextProtocol(), "TCP");
    EXPECT_EQ(ip->value("payloadSize", packet).asUInt(), 32u);
    EXPECT_EQ(text(ip->value("ip4SrcAddr", packet.slice(12, 4))), "192.168.0.1");
    EXPECT_EQ(text(ip->value("ip4DstAddr", packet.slice(16, 4))), "10.0.0.2");
    EXPECT_EQ(ip->value("ip4TTL", packet.slice(8, 1)).asUInt(), 64u);
    EXPECT_EQ(childValue(ip->protocolNodes(packet), "Header Checksum").find("[correct]") != std::string::npos, true);

    struct Row {
        std::uint8_t protocol;
        std::optional<std::string> next;
    };
    for (auto row : {Row{1, "ICMP"}, Row{17, "UDP"}, Row{41, "IPv6"}, Row{4, "IP"}, Row{47, "GRE"}, Row{58, "ICMPv6"},
                     Row{99, std::nullopt}})
        EXPECT_EQ(harness().make("IPv4Analyzer", ipv4(row.protocol, 8))->nextProtocol(), row.next) << int(row.protocol);
}

TEST(IPv4Analyzer, OptionsBelongToTheHeader) {
    auto packet = ipv4(17, 8, 0, {0x94, 0x04, 0x00, 0x00});  // Router Alert
    auto ip = harness().make("IPv4Analyzer", packet);
    EXPECT_EQ(ip->protocolSize(), 24);
    EXPECT_EQ(ip->value("payloadSize", packet).asUInt(), 8u);
    EXPECT_NE(childValue(ip->protocolNodes(packet), "Options"), "<none>");
    // An option whose length runs past the header ends the walk without harm.
    auto bad = ipv4(17, 8, 0, {0x07, 0x28, 0x00, 0x00});
    EXPECT_EQ(harness().make("IPv4Analyzer", bad)->nextProtocol(), "UDP");
    EXPECT_FALSE(harness().make("IPv4Analyzer", bad)->protocolNodes(bad).empty());
}

TEST(IPv4Analyzer, RefusesBytesThatCannotBeIPv4) {
    auto v5 = ipv4(6, 0);
    auto bytes = v5.toVector();
    bytes[0] = std::byte{0x55};
    EXPECT_FALSE(harness().make("IPv4Analyzer", Data(bytes)));
    bytes[0] = std::byte{0x44};  // IHL 4
    EXPECT_FALSE(harness().make("IPv4Analyzer", Data(bytes)));
}

TEST(IPv4Analyzer, ShortCapturesAndLyingHeadersEndTheChain) {
    // Cut inside the header.
    auto cut = ipv4(6, 20).slice(0, 12);
    auto ip = harness().make("IPv4Analyzer", cut);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->protocolSize(), 12);
    EXPECT_EQ(ip->nextProtocol(), std::nullopt);
    // IHL past the captured bytes.
    auto longHeader = ipv4(6, 0, 0, {1, 1, 1, 1, 1, 1, 1, 1}).slice(0, 24);
    EXPECT_EQ(harness().make("IPv4Analyzer", longHeader)->protocolSize(), 24);
    EXPECT_EQ(harness().make("IPv4Analyzer", longHeader)->nextProtocol(), std::nullopt);
    // Total length below the header length.
    auto lying = ipv4(6, 20, 0x4000, {}, 10);
    EXPECT_EQ(harness().make("IPv4Analyzer", lying)->nextProtocol(), std::nullopt);
    EXPECT_EQ(harness().make("IPv4Analyzer", lying)->value("payloadSize", lying).asUInt(), 0u);
    // Total length past the capture (snapshot length): the payload is what was captured.
    auto snapped = ipv4(6, 100, 0x4000, {}, 1500);
    EXPECT_EQ(harness().make("IPv4Analyzer", snapped)->nextProtocol(), "TCP");
    EXPECT_EQ(harness().make("IPv4Analyzer", snapped)->value("payloadSize", snapped).asUInt(), 100u);
    // Segmentation offload leaves a total length of 0: the captured bytes count.
    auto tso = ipv4(6, 60, 0x4000, {}, 0);
    EXPECT_EQ(harness().make("IPv4Analyzer", tso)->value("payloadSize", tso).asUInt(), 60u);
}

TEST(IPv4Analyzer, LaterFragmentsCarryNothing) {
    auto fragment = ipv4(17, 40, 185);  // offset 185 * 8 = 1480
    auto ip = harness().make("IPv4Analyzer", fragment);
    EXPECT_EQ(ip->nextProtocol(), std::nullopt);
    EXPECT_EQ(ip->protocolInfo(fragment), "Fragmented IP protocol (proto=UDP 17, off=1480, ID=1c46)");
    EXPECT_EQ(harness().make("IPv4Analyzer", ipv4(17, 40, 0x2000))->nextProtocol(), "UDP");  // first fragment
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

TEST(IPv6Analyzer, ReadsTheFixedHeader) {
    auto packet = ipv6(6, Bytes().zeros(20).data());
    auto ip = harness().make("IPv6Analyzer", packet);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->protocolSize(), 40);
    EXPECT_EQ(ip->nextProtocol(), "TCP");
    EXPECT_EQ(ip->value("payloadSize", packet).asUInt(), 20u);
    EXPECT_EQ(text(ip->value("ip6SrcAddr", packet.slice(8, 16))), "fe80::8c36:6ff:fe44:acaf");
    EXPECT_EQ(text(ip->value("ip6DstAddr", packet.slice(24, 16))), "2001:db8::1");
    EXPECT_FALSE(harness().make("IPv6Analyzer", ipv4(6, 20)));
}

TEST(IPv6Analyzer, PrintsAddressesInTheirRecommendedForm) {
    struct Row {
        std::initializer_list<int> address;
        const char* text;
    };
    for (const auto& row : {
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "::"},
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}, "2001:db8:0:1:1:1:1:1"},
             Row{{0x20, 0x01, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:0:0:1::1"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, "2001:db8::1:0:0:1"},
             Row{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}, "::ffff:192.0.2.1"},
             Row{{0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb}, "ff02::fb"},
             Row{{0x20, 0x01, 0x0d, 0xb8, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "2001:db8:abcd::"},
         }) {
        auto address = bytes(row.address);
        EXPECT_EQ(text(harness().make("IPv6Analyzer", ipv6(59, Data()))->value("ip6SrcAddr", address)), row.text);
    }
}

TEST(IPv6Analyzer, WalksExtensionHeadersInsideItsHeader) {
    Bytes ext(true);
    ext.raw({44, 0, 1, 4, 0, 0}).zeros(2);     // hop-by-hop, 8 bytes, PadN
    ext.raw({17, 0, 0, 1, 0, 0, 0, 7});        // fragment, offset 0, more fragments
    ext.zeros(12);                             // 12 bytes of UDP
    auto packet = ipv6(0, ext.data());
    auto ip = harness().make("IPv6Analyzer", packet);
    EXPECT_EQ(ip->protocolSize(), 56);
    EXPECT_EQ(ip->nextProtocol(), "UDP");
    EXPECT_EQ(ip->value("payloadSize", packet).asUInt(), 12u);

    Bytes later(true);
    later.raw({17, 0, 0x05, 0xC8, 0, 0, 0, 7}).zeros(12);  // fragment at offset 185
    EXPECT_EQ(harness().make("IPv6Analyzer", ipv6(44, later.data()))->nextProtocol(), std::nullopt);

    // An extension header that runs past the bytes: the header is what is there.
    auto cut = ipv6(60, bytes({6, 4, 0, 0}));
    auto a = harness().make("IPv6Analyzer", cut);
    EXPECT_EQ(a->protocolSize(), cut.size());
    EXPECT_EQ(a->nextProtocol(), std::nullopt);

    // More extension headers than the walk allows end the chain.
    Bytes many(true);
    for (int i = 0; i < 40; ++i) many.raw({60, 0, 1, 4, 0, 0, 0, 0});
    many.raw({6, 0, 1, 4, 0, 0, 0, 0});
    auto chain = harness().make("IPv6Analyzer", ipv6(60, many.data()));
    EXPECT_EQ(chain->nextProtocol(), std::nullopt);
    EXPECT_LE(chain->protocolSize(), 40 + 8 * 16);
}

Data arp(std::uint16_t opcode, std::initializer_list<int> sha, std::initializer_list<int> spa,
         std::initializer_list<int> tha, std::initializer_list<int> tpa) {
    Bytes b(true);
    b.u16(1).u16(0x0800).u8(6).u8(4).u16(opcode).raw(sha).raw(spa).raw(tha).raw(tpa).zeros(18);
    return b.data();
}

TEST(ArpAnalyzer, SummarisesRequestsRepliesAndAnnouncements) {
    std::initializer_list<int> mac{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}, zero{0, 0, 0, 0, 0, 0};
    auto request = arp(1, mac, {10, 0, 0, 2}, zero, {10, 0, 0, 1});
    auto a = harness().make("ArpAnalyzer", request);
    EXPECT_EQ(a->protocolInfo(request), "Who has 10.0.0.1? Tell 10.0.0.2");
    EXPECT_EQ(a->protocolSize(), 28);
    EXPECT_FALSE(a->hasPayload());
    EXPECT_EQ(a->nextProtocol(), std::nullopt);
    EXPECT_EQ(text(a->value("arpSenderIP", request.slice(14, 4))), "10.0.0.2");
    EXPECT_EQ(text(a->value("arpTargetIP", request.slice(24, 4))), "10.0.0.1");
    EXPECT_EQ(text(a->value("arpSenderMAC", request.slice(8, 6))), "aa:bb:cc:dd:ee:ff");

    auto reply = arp(2, mac, {10, 0, 0, 1}, mac, {10, 0, 0, 2});
    EXPECT_EQ(a->protocolInfo(reply), "10.0.0.1 is at aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(a->protocolInfo(arp(1, mac, {10, 0, 0, 9}, zero, {10, 0, 0, 9})), "ARP Announcement for 10.0.0.9");
    EXPECT_EQ(a->protocolInfo(arp(1, mac, {0, 0, 0, 0}, zero, {10, 0, 0, 9})), "Who has 10.0.0.9? (ARP Probe)");
    EXPECT_EQ(a->protocolInfo(arp(1, mac, {10, 0, 0, 9}, mac, {10, 0, 0, 9})), "Gratuitous ARP for 10.0.0.9 (Request)");
    auto rarp = arp(3, mac, {0, 0, 0, 0}, mac, {0, 0, 0, 0});
    EXPECT_EQ(a->protocolInfo(rarp), "Who is aa:bb:cc:dd:ee:ff? Tell aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(harness().make("ArpAnalyzer", rarp)->protocolName(), "RARP");
    EXPECT_EQ(a->protocolName(), "ARP");

    auto cut = request.slice(0, 20);
    auto c = harness().make("ArpAnalyzer", cut);
    EXPECT_EQ(c->protocolSize(), 20);
    EXPECT_EQ(c->protocolInfo(cut), std::nullopt);
    EXPECT_FALSE(c->protocolNodes(cut).empty());
}

TEST(IcmpAnalyzer, SummarisesEchoWithTheTimeToLiveOfItsIPHeader) {
    Bytes icmp(true);
    icmp.u8(8).u8(0).u16(0).u16(0x0008).u16(1).zeros(16);
    auto packet = ipv4(1, 0).toVector();
    auto withIcmp = Bytes(true).raw(Data(packet)).raw(icmp.data()).data();
    auto mine = withIcmp.slice(20);
    auto a = harness().make("IcmpAnalyzer", mine, packetWith(101, withIcmp));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->protocolSize(), 8);
    EXPECT_EQ(a->protocolInfo(mine), "Echo (ping) request  id=0x0008, seq=1/256, ttl=64");
    // Without its packet, the summary has no time to live.
    EXPECT_EQ(harness().make("IcmpAnalyzer", mine)->protocolInfo(mine), "Echo (ping) request  id=0x0008, seq=1/256");

    Bytes unreachable(true);
    unreachable.u8(3).u8(3).u16(0).u32(0).raw(ipv4(17, 8));
    auto u = harness().make("IcmpAnalyzer", unreachable.data());
    EXPECT_EQ(u->protocolInfo(unreachable.data()), "Destination unreachable (Port unreachable)");
    EXPECT_EQ(u->nextProtocol(), std::nullopt);
    EXPECT_NE(childValue(u->protocolNodes(unreachable.data()), "Quoted IPv4 header"), "<none>");
    EXPECT_EQ(harness().make("IcmpAnalyzer", bytes({8}))->protocolSize(), 1);
}

TEST(IcmpV6Analyzer, SummarisesEchoAndNeighborDiscovery) {
    Bytes echo(true);
    echo.u8(128).u8(0).u16(0).u16(9).u16(1).zeros(8);
    auto packet = ipv6(58, echo.data());
    auto mine = packet.slice(40);
    EXPECT_EQ(harness().make("IcmpV6Analyzer", mine, packetWith(1, packet))->protocolInfo(mine),
              "Echo (ping) request id=0x0009, seq=1, hop limit=64");

    Bytes ns(true);
    ns.u8(135).u8(0).u16(0).u32(0).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    ns.u8(1).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    auto n = harness().make("IcmpV6Analyzer", ns.data());
    EXPECT_EQ(n->protocolInfo(ns.data()), "Neighbor Solicitation for fe80::1 from 00:11:22:33:44:55");

    Bytes na(true);
    na.u8(136).u8(0).u16(0).u32(0x60000000).raw({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    na.u8(2).u8(1).raw({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    EXPECT_EQ(n->protocolInfo(na.data()), "Neighbor Advertisement fe80::1 (sol, ovr) is at 00:11:22:33:44:55");

    // An option of length 0 ends the option walk.
    Bytes rs(true);
    rs.u8(133).u8(0).u16(0).u32(0).u8(1).u8(0).zeros(6);
    EXPECT_EQ(n->protocolInfo(rs.data()), "Router Solicitation");
    EXPECT_FALSE(n->protocolNodes(rs.data()).empty());
    EXPECT_EQ(n->protocolInfo(bytes({1, 4, 0, 0})), "Destination Unreachable (Port unreachable)");
}

}  // namespace
}  // namespace qor::test
