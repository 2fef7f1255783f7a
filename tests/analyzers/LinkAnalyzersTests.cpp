// Tests of the link-layer analyzers: Ethernet, VLAN, Linux cooked capture, loopback and raw IP.

#include <gtest/gtest.h>

#include "AnalyzerRows.hpp"
#include "QORModels/analysis/QORNode.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

AnalyzerHarness& harness() { return AnalyzerHarness::shared(); }

Data ethernet(std::uint16_t type, std::size_t payload) {
    Bytes b(true);
    b.raw({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}).u16(type).zeros(payload);
    return b.data();
}

TEST(EthernetAnalyzer, ChoosesTheCarriedProtocolByEtherTypeOrLength) {
    auto frame = ethernet(0x0800, 46);
    // The packet record asks a fresh analyzer made from the attribute's six bytes.
    auto slice = bytes({0x8e, 0x36, 0x06, 0x44, 0xac, 0xaf});
    expectRows("EthernetAnalyzer",
               {{"IPv4: Ethernet II leaves the payload's end to the carried protocol", frame, 14, "IP", kNoPayload,
                 "Ethernet II, Src: 00:11:22:33:44:55, Dst: ff:ff:ff:ff:ff:ff",
                 {{"etherSrc", frame.slice(6, 6), "00:11:22:33:44:55"}, {"etherDst", frame.slice(0, 6), "ff:ff:ff:ff:ff:ff"}}},
                {"802.1ad", ethernet(0x88A8, 40), -1, "VLAN"},
                {"unknown type", ethernet(0x1234, 40), -1, ""},
                {"between the largest length and the first ether type", ethernet(1536 - 1, 40), -1, ""},
                {"802.3: 38 bytes of LLC, 8 of padding", ethernet(38, 46), -1, "LLC", 38},
                {"802.3 length past the captured bytes is clamped", ethernet(1500, 10), -1, nullptr, 10},
                {"cut short", ethernet(0x0800, 0).slice(0, 10), 10, ""},
                {"empty", Data(), -1, ""},
                {"an address slice alone", slice, 6, "", -1, nullptr, {{"etherSrc", slice, "8e:36:06:44:ac:af"}}}});

    // Detail nodes carry their byte ranges and stop where the frame does.
    auto root = std::dynamic_pointer_cast<QORNode>(harness().make("EthernetAnalyzer", frame)->protocolNodes(frame).at(0));
    auto type = std::dynamic_pointer_cast<QORNode>(root->getChild("Type"));
    ASSERT_TRUE(type);
    EXPECT_EQ(type->nodeValue(), "IPv4 (0x0800)");
    EXPECT_EQ(type->headerLocation(), 12);
    EXPECT_EQ(type->headerLength(), 2);
    auto cut = frame.slice(0, 10);
    auto nodes = harness().make("EthernetAnalyzer", cut)->protocolNodes(cut);
    ASSERT_EQ(nodes.size(), 1u);
    root = std::dynamic_pointer_cast<QORNode>(nodes[0]);
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->getChild("Destination"));
    EXPECT_FALSE(root->getChild("Source"));
    EXPECT_TRUE(root->getChild("Truncated"));
}

TEST(VlanAnalyzer, ReadsPriorityDropEligibleAndIdAndTheInnerType) {
    auto tag = bytes({0xB0, 0x64, 0x08, 0x00, 0x45});  // PCP 5, DEI 1, VID 100, IPv4
    expectRows("VlanAnalyzer", {{"IPv4", tag, 4, "IP", -1, "PRI: 5  DEI: 1  ID: 100",
                                 {{"vlanId", tag.slice(0, 2), "100"}, {"vlanPriority", tag.slice(0, 2), "5"}, {"vlanDEI", tag.slice(0, 2), "1"}}},
                                {"stacked", bytes({0x00, 0x0A, 0x81, 0x00}), -1, "VLAN"},
                                {"cut short", bytes({0x00, 0x0A, 0x81}), 3, ""}});
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

// Both versions are compared with tshark on LinuxCookedCapture.pcap and linux_dlt_sll2.pcap.
TEST(LinuxCookedAnalyzer, TellsVersionOneFromVersionTwo) {
    auto v1 = sllV1(4, 0x0806), v2 = sllV2(0x86DD, 0);
    expectRows("LinuxCookedAnalyzer",
               {{"v1", v1, 16, "ARP", -1, "Linux cooked capture v1, Sent by us, Src: 00:22:6b:97:0e:a2",
                 {{"sllSrc", v1.slice(6, 8), "00:22:6b:97:0e:a2"}}},
                {"v2", v2, 20, "IPv6", -1, nullptr, {{"sll2Src", v2.slice(12, 8), "8e:36:06:44:ac:af"}}},
                {"v1 cut inside the header", sllV1(0, 0x0800).slice(0, 15), 15, "", -1, ""}});
    // The packet's link type decides when the first field is ambiguous.
    auto odd = sllV2(0x0004, 0);  // protocol 4 (LLC) reads like packet type 4
    auto withLink = harness().make("LinuxCookedAnalyzer", odd, packetWith(276, odd));
    EXPECT_EQ(withLink->protocolName(), "SLL2");
    EXPECT_EQ(withLink->nextProtocol(), "LLC");
    EXPECT_EQ(harness().make("LinuxCookedAnalyzer", odd)->protocolName(), "SLL");
}

// Host-order AF_INET and Darwin's AF_INET6 over NULL, and raw IPv4, are compared with tshark on
// many_interfaces-1.pcapng, illustrated-tls12-dsb.pcapng and basic-auth-with-colon.pcap.
TEST(LoopbackAndRawIPAnalyzers, ReadTheFamilyOrVersionOfWhatTheyCarry) {
    expectRows("LoopbackAnalyzer", {{"AF_INET6 (FreeBSD)", bytes({28, 0, 0, 0}), 4, "IPv6"},
                                    {"AF_INET6 (OpenBSD, big-endian)", bytes({0, 0, 0, 24}), 4, "IPv6"},
                                    {"AF_INET big-endian", bytes({0, 0, 0, 2}), 4, "IP"},
                                    {"unknown", bytes({99, 0, 0, 0}), 4, ""},
                                    {"cut short", bytes({2, 0}), -1, ""}});
    auto loop = bytes({0, 0, 0, 2, 0x45});
    EXPECT_EQ(harness().make("LoopbackAnalyzer", loop, packetWith(108, loop))->protocolName(), "LOOP");
    EXPECT_EQ(harness().make("LoopbackAnalyzer", loop, packetWith(0, loop))->protocolName(), "NULL");

    expectRows("RawIPAnalyzer", {{"IPv6", bytes({0x60, 0}), 0, "IPv6"},
                                 {"version 1", bytes({0x10, 0}), -1, ""},
                                 {"empty", Data(), -1, ""}});
}

}  // namespace
}  // namespace qor::test
