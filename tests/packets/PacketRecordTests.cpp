// The packet record without analysis: bytes, dumps, times, flags text, header nodes; detail nodes.

#include <gtest/gtest.h>

#include "QORModels/analysis/QORNode.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

std::shared_ptr<QORPacket> packetWithBytes(const Data& bytes, std::uint32_t location = 100) {
    auto p = QORPacket::create();
    p->setPacketId(7);
    p->setDataLocation(location);
    p->setCaptureLength(static_cast<std::uint32_t>(bytes.size()));
    p->setRealLength(static_cast<std::uint32_t>(bytes.size()));
    auto cache = std::make_shared<QORDataCache>();
    cache->set(bytes, {location, location + static_cast<std::uint32_t>(bytes.size())});
    p->setDataCache(cache);
    return p;
}

TEST(PacketRecord, WithoutDataEverythingByteDerivedIsEmpty) {
    auto p = QORPacket::create();
    p->setCaptureLength(10);
    EXPECT_FALSE(p->data());
    EXPECT_TRUE(p->packetRawStringHex().empty());
    EXPECT_TRUE(p->packetRawStringASCII().empty());
    EXPECT_EQ(p->packetInfoOverview(), "");
    EXPECT_FALSE(p->packetSourceString());
    EXPECT_FALSE(p->packetDestinationString());
    EXPECT_TRUE(p->nodes().empty());
    EXPECT_FALSE(p->packetNodes());
}

TEST(PacketRecord, RawDumpsArePerByte) {
    auto p = packetWithBytes(bytes({0x0A, 'A', 0x00, 0xFF}));
    EXPECT_EQ(p->packetRawStringHex(), (std::vector<std::string>{"0A", "41", "00", "FF"}));
    EXPECT_EQ(p->packetRawStringASCII(), (std::vector<std::string>{" .", " A", " .", " ."}));
    EXPECT_EQ(p->valueForKey("packetRawString").asString(), std::optional<std::string>(".A.."));
    const Value hex = p->valueForKey("packetRawStringHex");
    ASSERT_TRUE(hex.asList());
    EXPECT_EQ(*hex.asList(), (Value::List{Value("0A"), Value("41"), Value("00"), Value("FF")}));
    p->setCaptureLength(3);  // the cache holds only the exact range
    EXPECT_FALSE(p->data());
}

TEST(PacketRecord, LengthsAndTimes) {
    auto p = QORPacket::create();
    p->setCaptureLength(60);
    p->setRealLength(1514);
    EXPECT_EQ(p->packetLengthUnified(), 60u);
    p->setCaptureLength(1514);
    p->setRealLength(60);
    EXPECT_EQ(p->packetLengthUnified(), 60u);
    p->setDateReceived(12.5);
    p->setDateReference(10.0);
    p->set_packetTime(std::nullopt);
    EXPECT_DOUBLE_EQ(p->packetTime(), 2.5);
    p->setLinkType(1);
    EXPECT_EQ(p->packetLinkTypeString(), std::optional<std::string>("ETH"));
    p->setLinkType(65000);
    EXPECT_FALSE(p->packetLinkTypeString());
}

TEST(PacketRecord, FlagsDescriptionNamesTheDirection) {
    for (auto [flags, text] : {std::pair<std::uint32_t, const char*>{1, "0x00000001 (inbound)"}, {2, "0x00000002 (outbound)"},
                               {0, "0x00000000"}, {3, "0x00000003"}, {0xDEADBEEF, "0xDEADBEEF"}})
        EXPECT_EQ(QORPacket::pcapngFlagsDescription(flags), text);
}

TEST(PacketRecord, HeaderNodesShowInterfaceFlagsAndComment) {
    auto p = packetWithBytes(Data::fromString("abc"));
    p->setPcapngInterfaceIndex(2);
    auto root = std::dynamic_pointer_cast<QORNode>(p->nodes().at(0));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->nodeName(), "Packet");
    EXPECT_EQ(root->child(0)->nodeValue(), "7");
    EXPECT_EQ(root->getChild("Interface")->nodeValue(), "2");
    EXPECT_EQ(root->getChild("Packet length")->nodeValue(), "3 bytes");
    EXPECT_FALSE(root->getChild("Flags"));
    p->setPcapngInterfaceName(std::optional<std::string>("eth0"));
    p->setPcapngPacketFlags(2);
    p->setPacketComment("hello");
    root = std::dynamic_pointer_cast<QORNode>(p->nodes().at(0));
    EXPECT_EQ(root->getChild("Interface")->nodeValue(), "2 (eth0)");
    EXPECT_EQ(root->getChild("Flags")->nodeValue(), "0x00000002 (outbound)");
    EXPECT_EQ(root->getChild("Comment")->nodeValue(), "hello");
    // Without analyzers every byte is unexplained payload.
    auto payload = p->nodes().back();
    EXPECT_EQ(payload->nodeName(), "Payload");
    EXPECT_EQ(payload->children().at(0)->nodeValue(), "3 bytes");
}

TEST(PacketRecord, NameResolutionIsOffUnlessTheUserAsks) {
    UserDefaults defaults;
    QORPacket::setResolutionDefaults(&defaults);
    auto p = QORPacket::create();
    p->setPacketIPVersion(2);
    p->set_packetIPSrc("127.0.0.1");
    EXPECT_EQ(p->packetIPSourceAddress(), std::optional<std::string>("127.0.0.1"));
    defaults.set("com_orvaleth_qor_ip4_ip_resolve", true);
    auto name = p->packetIPSourceAddress();
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->empty());
    QORPacket::setResolutionDefaults(nullptr);
}

TEST(PacketRecord, KeyValueAccessAndOrdering) {
    auto a = packetWithBytes(Data::fromString("x"));
    auto b = packetWithBytes(Data::fromString("y"));
    b->setPacketId(8);
    EXPECT_EQ(a->valueForKey("packetId").asInt(), 7);
    EXPECT_EQ(a->valueForKeyPath("packetId.description").asString(), std::optional<std::string>("7"));
    EXPECT_TRUE(a->valueForKey("packetComment").isNone());
    // The filter names of the arrival time and the length on the wire.
    a->setDateReceived(1258133614.5);
    a->setRealLength(1514);
    EXPECT_EQ(a->valueForKey("packetDateReceived").asDate(), std::optional<Date>(Date{1258133614.5}));
    EXPECT_EQ(a->valueForKey("packetLengthReal").asInt(), 1514);
    EXPECT_TRUE(*a < *b);
    EXPECT_FALSE(*b < *a);
    EXPECT_FALSE(*a < *a);
}

TEST(DetailNode, IdentityParentsAndLookup) {
    auto a = QORNode::make(), b = QORNode::make();
    EXPECT_NE(a->nodeID(), b->nodeID());
    auto parent = QORNode::nodeWithName("parent");
    auto first = QORNode::nodeWithName("same", Value("1"));
    auto second = QORNode::nodeWithName("same", Value(bytes({0xDE, 0xAD})));
    parent->addChild(first);
    parent->addChild(second);
    EXPECT_EQ(parent->getChild("same"), first);
    EXPECT_EQ(second->nodeValue(), "dead");
    EXPECT_EQ(first->parent(), parent);
    first->setMyParent(parent);
    EXPECT_EQ(parent->childrenCount(), 2u);
    EXPECT_TRUE(parent->expandable());
    EXPECT_EQ(QORNode::nodeWithName("n", Value(42))->nodeValue(), "42");
    EXPECT_EQ(QORNode::nodeWithName("n", Value())->nodeValue(), "");
}

}  // namespace
}  // namespace qor
