// The packet record without analysis: header nodes, name resolution.

#include <gtest/gtest.h>

#include "QORModels/analysis/QORNode.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

TEST(PacketRecord, HeaderNodesShowInterfaceFlagsAndComment) {
    auto p = QORPacket::create();
    p->setCaptureLength(3);
    p->setRealLength(3);
    p->setDataCache(std::make_shared<QORDataCache>());
    p->dataCache()->set(Data::fromString("abc"), {0, 3});
    p->setPcapngInterfaceIndex(2);
    auto root = std::dynamic_pointer_cast<QORNode>(p->nodes().at(0));
    ASSERT_TRUE(root);
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
    // Each node keeps one identity, made as UUID text when asked for, and no two share one.
    const auto id = root->valueForKey("nodeID").asString().value_or("");
    EXPECT_TRUE(UUID::fromString(id));
    EXPECT_EQ(root->nodeID().rawValue, id);
    EXPECT_NE(root->getChild("Comment")->valueForKey("nodeID").asString(), id);
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

}  // namespace
}  // namespace qor
