// Tests of the link-layer analyzers: Ethernet, VLAN, Linux cooked capture, loopback and raw IP.

#include <gtest/gtest.h>

#include "AnalyzerHarness.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "QORPlatform/AppKit.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

std::string text(const Value& v) { return v.asString().value_or("<none>"); }

Data ethernet(std::uint16_t type, std::size_t payload) {
    Bytes b(true);
    b.raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}).u16(type).zeros(payload);
    return b.data();
}

TEST(EthernetAnalyzer, ReadsAddressesAndChoosesTheCarriedProtocolByEtherType) {
    auto frame = ethernet(0x0800, 46);
    auto eth = harness().make("EthernetAnalyzer", frame);
    ASSERT_TRUE(eth);
    EXPECT_EQ(eth->protocolName(), "ETH");
    EXPECT_EQ(eth->protocolSize(), 14);
    EXPECT_EQ(eth->nextProtocol(), "IP");
    EXPECT_TRUE(eth->hasPayload());
    EXPECT_EQ(text(eth->value("etherSrc", frame.slice(6, 6))), "00:11:22:33:44:55");
    EXPECT_EQ(text(eth->value("etherDst", frame.slice(0, 6))), "ff:ff:ff:ff:ff:ff");
    EXPECT_EQ(eth->protocolInfo(frame), "Ethernet II, Src: 00:11:22:33:44:55, Dst: ff:ff:ff:ff:ff:ff");
    // An Ethernet II frame leaves the payload's end to the carried protocol.
    EXPECT_TRUE(eth->value("payloadSize", frame).isNone());

    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(0x86DD, 40))->nextProtocol(), "IPv6");
    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(0x0806, 28))->nextProtocol(), "ARP");
    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(0x8100, 40))->nextProtocol(), "VLAN");
    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(0x88A8, 40))->nextProtocol(), "VLAN");
    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(0x1234, 40))->nextProtocol(), std::nullopt);
    // Between the largest length and the first ether type nothing is named.
    EXPECT_EQ(harness().make("EthernetAnalyzer", ethernet(1536 - 1, 40))->nextProtocol(), std::nullopt);
}

TEST(EthernetAnalyzer, AnAddressSliceAloneMakesAnAnalyzerThatFormatsIt) {
    // The packet record asks a fresh analyzer made from the attribute's six bytes.
    auto slice = bytes({0x8e, 0x36, 0x06, 0x44, 0xac, 0xaf});
    auto eth = harness().make("EthernetAnalyzer", slice);
    ASSERT_TRUE(eth);
    EXPECT_EQ(text(eth->value("etherSrc", slice)), "8e:36:06:44:ac:af");
    EXPECT_EQ(eth->protocolSize(), 6);
    EXPECT_EQ(eth->nextProtocol(), std::nullopt);
    auto attribute = harness().attribute("etherSrc");
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->attributeOffset, 6u);
    EXPECT_EQ(attribute->attributeLength, 6u);
    EXPECT_EQ(attribute->plugInAnalyzerClass->name(), "EthernetAnalyzer");
}

TEST(EthernetAnalyzer, An8023LengthCarriesLLCForThatManyBytes) {
    auto frame = ethernet(38, 46);  // 38 bytes of LLC, 8 bytes of padding
    auto eth = harness().make("EthernetAnalyzer", frame);
    EXPECT_EQ(eth->nextProtocol(), "LLC");
    EXPECT_EQ(eth->value("payloadSize", frame).asUInt(), 38u);
    // A length past the captured bytes is clamped to them.
    auto cut = ethernet(1500, 10);
    EXPECT_EQ(harness().make("EthernetAnalyzer", cut)->value("payloadSize", cut).asUInt(), 10u);
}

TEST(EthernetAnalyzer, AFrameCutShortShowsWhatIsThereAndCarriesNothing) {
    auto frame = ethernet(0x0800, 0).slice(0, 10);
    auto eth = harness().make("EthernetAnalyzer", frame);
    ASSERT_TRUE(eth);
    EXPECT_EQ(eth->protocolSize(), 10);
    EXPECT_EQ(eth->nextProtocol(), std::nullopt);
    auto nodes = eth->protocolNodes(frame);
    ASSERT_EQ(nodes.size(), 1u);
    auto root = std::dynamic_pointer_cast<QORNode>(nodes[0]);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->getChild("Destination"));
    EXPECT_FALSE(root->getChild("Source"));
    EXPECT_TRUE(root->getChild("Truncated"));
    EXPECT_TRUE(harness().make("EthernetAnalyzer", Data())->nextProtocol() == std::nullopt);
}

TEST(EthernetAnalyzer, DetailNodesCarryTheirByteRanges) {
    auto frame = ethernet(0x0800, 46);
    auto root = std::dynamic_pointer_cast<QORNode>(harness().make("EthernetAnalyzer", frame)->protocolNodes(frame).at(0));
    EXPECT_EQ(root->headerLength(), 14);
    auto type = std::dynamic_pointer_cast<QORNode>(root->getChild("Type"));
    ASSERT_TRUE(type);
    EXPECT_EQ(type->nodeValue(), "IPv4 (0x0800)");
    EXPECT_EQ(type->headerLocation(), 12);
    EXPECT_EQ(type->headerLength(), 2);
}

TEST(VlanAnalyzer, ReadsPriorityDropEligibleAndIdAndTheInnerType) {
    auto tag = bytes({0xB0, 0x64, 0x08, 0x00, 0x45});  // PCP 5, DEI 1, VID 100, IPv4
    auto vlan = harness().make("VlanAnalyzer", tag);
    ASSERT_TRUE(vlan);
    EXPECT_EQ(vlan->protocolSize(), 4);
    EXPECT_EQ(vlan->nextProtocol(), "IP");
    EXPECT_EQ(vlan->protocolInfo(tag), "PRI: 5  DEI: 1  ID: 100");
    EXPECT_EQ(vlan->value("vlanId", tag.slice(0, 2)).asUInt(), 100u);
    EXPECT_EQ(vlan->value("vlanPriority", tag.slice(0, 2)).asUInt(), 5u);
    EXPECT_EQ(vlan->value("vlanDEI", tag.slice(0, 2)).asUInt(), 1u);
    EXPECT_EQ(harness().make("VlanAnalyzer", bytes({0x00, 0x0A, 0x81, 0x00}))->nextProtocol(), "VLAN");
    auto cut = harness().make("VlanAnalyzer", bytes({0x00, 0x0A, 0x81}));
    EXPECT_EQ(cut->protocolSize(), 3);
    EXPECT_EQ(cut->nextProtocol(), std::nullopt);
}

Data sllV1(std::uint16_t packetType, std::uint16_t protocol) {
    Bytes b(true);
    b.u16(packetType).u16(1).u16(6).raw({0x00, 0x22, 0x6b, 0x97, 0x0e, 0xa2, 0x00, 0x00}).u16(protocol).zeros(28);
    return b.data();
}

Data sllV2(std::uint16_t protocol, std::uint8_t packetType) {
    Bytes b(true);
    b.u16(protocol).u16(0).u32(3).u16(1).u8(packetType).u8(6).raw({0x8e, 0x36, 0x06, 0x44, 0xac, 0xaf, 0, 0}).zeros(28);
    return b.data();
}

TEST(LinuxCookedAnalyzer, TellsVersionOneFromVersionTwo) {
    auto v1 = sllV1(4, 0x0806);
    auto a = harness().make("LinuxCookedAnalyzer", v1);
    EXPECT_EQ(a->protocolName(), "SLL");
    EXPECT_EQ(a->protocolSize(), 16);
    EXPECT_EQ(a->nextProtocol(), "ARP");
    EXPECT_EQ(a->protocolInfo(v1), "Linux cooked capture v1, Sent by us, Src: 00:22:6b:97:0e:a2");
    EXPECT_EQ(text(a->value("sllSrc", v1.slice(6, 8))), "00:22:6b:97:0e:a2");

    auto v2 = sllV2(0x86DD, 0);
    auto b = harness().make("LinuxCookedAnalyzer", v2);
    EXPECT_EQ(b->protocolName(), "SLL2");
    EXPECT_EQ(b->protocolSize(), 20);
    EXPECT_EQ(b->nextProtocol(), "IPv6");
    EXPECT_EQ(text(b->value("sll2Src", v2.slice(12, 8))), "8e:36:06:44:ac:af");

    // The packet's link type decides when the first field is ambiguous.
    auto odd = sllV2(0x0004, 0);  // protocol 4 (LLC) reads like packet type 4
    EXPECT_EQ(harness().make("LinuxCookedAnalyzer", odd, packetWith(276, odd))->protocolName(), "SLL2");
    EXPECT_EQ(harness().make("LinuxCookedAnalyzer", odd, packetWith(276, odd))->nextProtocol(), "LLC");
    EXPECT_EQ(harness().make("LinuxCookedAnalyzer", odd)->protocolName(), "SLL");
}

TEST(LinuxCookedAnalyzer, AHeaderCutShortCarriesNothing) {
    auto cut = sllV1(0, 0x0800).slice(0, 15);
    auto a = harness().make("LinuxCookedAnalyzer", cut);
    EXPECT_EQ(a->protocolSize(), 15);
    EXPECT_EQ(a->nextProtocol(), std::nullopt);
    EXPECT_EQ(a->protocolInfo(cut), std::nullopt);
}

TEST(LoopbackAnalyzer, ReadsTheFamilyInEitherByteOrder) {
    struct Row {
        std::initializer_list<int> header;
        std::optional<std::string> next;
    };
    for (const auto& row : {Row{{2, 0, 0, 0}, "IP"}, Row{{30, 0, 0, 0}, "IPv6"}, Row{{28, 0, 0, 0}, "IPv6"},
                            Row{{0, 0, 0, 24}, "IPv6"}, Row{{0, 0, 0, 2}, "IP"}, Row{{99, 0, 0, 0}, std::nullopt}}) {
        auto header = bytes(row.header);
        auto a = harness().make("LoopbackAnalyzer", header);
        EXPECT_EQ(a->protocolSize(), 4);
        EXPECT_EQ(a->nextProtocol(), row.next) << int(header[0]) << " " << int(header[3]);
    }
    auto loop = bytes({0, 0, 0, 2, 0x45});
    EXPECT_EQ(harness().make("LoopbackAnalyzer", loop, packetWith(108, loop))->protocolName(), "LOOP");
    EXPECT_EQ(harness().make("LoopbackAnalyzer", loop, packetWith(0, loop))->protocolName(), "NULL");
    EXPECT_EQ(harness().make("LoopbackAnalyzer", bytes({2, 0}))->nextProtocol(), std::nullopt);
}

TEST(RawIPAnalyzer, ChoosesIPv4OrIPv6ByTheVersionNibble) {
    auto v4 = harness().make("RawIPAnalyzer", bytes({0x45, 0}));
    EXPECT_EQ(v4->protocolName(), "RAW");
    EXPECT_EQ(v4->protocolSize(), 0);
    EXPECT_EQ(v4->nextProtocol(), "IP");
    EXPECT_EQ(harness().make("RawIPAnalyzer", bytes({0x60, 0}))->nextProtocol(), "IPv6");
    EXPECT_EQ(harness().make("RawIPAnalyzer", bytes({0x10, 0}))->nextProtocol(), std::nullopt);
    EXPECT_EQ(harness().make("RawIPAnalyzer", Data())->nextProtocol(), std::nullopt);
}

TEST(StandardAnalyzersPlugIn, RegistersLinkAndEtherTypesUnderTheSharedNames) {
    std::map<std::uint32_t, std::string> linkTypes, etherTypes;
    for (const auto& s : harness().structures())
        for (const auto& p : s.plugInTargetProtocols) {
            if (p.linktype) linkTypes[*p.linktype] = p.protocolName;
            if (p.ethertype) etherTypes[*p.ethertype] = p.protocolName;
        }
    std::map<std::uint32_t, std::string> wantLink{{0, "NULL"}, {1, "ETH"}, {12, "RAW"}, {14, "RAW"}, {101, "RAW"},
                                                  {108, "LOOP"}, {113, "SLL"}, {228, "RAW"}, {229, "RAW"}, {276, "SLL2"}};
    for (const auto& [type, name] : wantLink) EXPECT_EQ(linkTypes[type], name) << type;
    std::map<std::uint32_t, std::string> wantEther{{0x0800, "IP"}, {0x86DD, "IPv6"}, {0x0806, "ARP"},
                                                   {0x8100, "VLAN"}, {0x88A8, "VLAN"}, {0x9100, "VLAN"}};
    for (const auto& [type, name] : wantEther) EXPECT_EQ(etherTypes[type], name) << type;
    // Every registered column carries a display name, a predicate format and a value type.
    for (const auto& s : harness().structures())
        for (const auto& c : s.plugInColumnKeyBindings) {
            EXPECT_TRUE(c.predicateOptions.count(NSDisplayNameBindingOption)) << c.keyPath;
            EXPECT_TRUE(c.predicateOptions.count(NSPredicateFormatBindingOption)) << c.keyPath;
        }
}

}  // namespace
}  // namespace qor::test
