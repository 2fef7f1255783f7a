// The analysis pipeline over analyzer classes made up in the test: chain building, history,
// padding, IP addresses, payload windows, the walk's limits, and the packet's lazy analysis.

#include <gtest/gtest.h>

// The fake specs name only the fields a case needs; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "FakeAnalyzers.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/DefaultPacketPlugIn.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORLog/QORLog.hpp"
#include "QORPlatform/AppKit.hpp"

namespace qor::test {
namespace {

std::vector<std::string> names(const AnalyzerChain& chain) {
    std::vector<std::string> out;
    for (auto& a : chain) out.push_back(a->protocolName().value_or("<none>"));
    return out;
}

class Pipeline : public ::testing::Test {
protected:
    FakeRegistry registry;
    std::shared_ptr<FakeClass> eth, ip, tcp;
    void SetUp() override {
        eth = registry.add({.name = "ETH", .size = 14, .next = "IP"});
        ip = registry.add({.name = "IP", .size = 20, .next = "TCP", .fixedValues = {}, .hexKeys = {"ip4SrcAddr", "ip4DstAddr"}});
        tcp = registry.add({.name = "TCP", .size = 20, .info = "tcp summary"});
        registry.publish({registry.structure(eth), registry.structure(ip, {FakeRegistry::attribute(ip, "ip4SrcAddr", 12, 4),
                                                                           FakeRegistry::attribute(ip, "ip4DstAddr", 16, 4)}),
                          registry.structure(tcp)});
    }
};

TEST_F(Pipeline, ShortEthernetFrameGetsPaddingAndFullHistory) {
    auto p = packetWithBytes(countingBytes(60));
    auto chain = p->cachedAnalyzers();
    ASSERT_TRUE(chain);
    EXPECT_EQ(names(*chain), (std::vector<std::string>{"<none>", "ETH", "IP", "TCP"}));
    EXPECT_EQ(p->packetProtocolHistory(), "ETH-IP-TCP");
    EXPECT_EQ(p->packetProtocol(), "TCP");
    EXPECT_EQ(p->packetPadding(), 6u);
    EXPECT_EQ(p->packetIPVersion(), 2);
    // The IPv4 addresses are the 4 bytes at offsets 12 and 16 of the IP header (which starts at 14).
    EXPECT_EQ(p->_packetIPSrc(), "1a1b1c1d");
    EXPECT_EQ(p->_packetIPDst(), "1e1f2021");
    EXPECT_EQ(p->packetSourceString(), "1a1b1c1d");
    EXPECT_EQ(p->packetDestinationString(), "1e1f2021");
}

TEST_F(Pipeline, FramesLongerThan64BytesGetNoPadding) {
    auto p = packetWithBytes(countingBytes(65));
    ASSERT_TRUE(p->cachedAnalyzers());
    EXPECT_EQ(p->packetPadding(), 0u);
}

TEST_F(Pipeline, UnknownLinkTypeKeepsThePacketsOwnValues) {
    auto p = packetWithBytes(countingBytes(60), 147);  // a user link type nothing analyses
    p->setPacketProtocol("USER0");
    p->setPacketProtocolHistory(std::optional<std::string>("USER0"));
    p->setPacketIPVersion(30);
    auto chain = p->cachedAnalyzers();
    ASSERT_TRUE(chain);
    EXPECT_EQ(chain->size(), 1u);
    EXPECT_EQ(p->packetProtocol(), "USER0");
    EXPECT_EQ(p->packetProtocolHistory(), "USER0");
    EXPECT_EQ(p->packetIPVersion(), 30);
}

TEST_F(Pipeline, LinkAnalyzerWithoutNextProtocolKeepsHistory) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(60));
    p->setPacketProtocolHistory(std::optional<std::string>("before"));
    ASSERT_EQ(p->cachedAnalyzers()->size(), 2u);
    EXPECT_EQ(p->packetProtocolHistory(), "before");
    EXPECT_EQ(p->packetProtocol(), "ETH");
    EXPECT_EQ(p->packetPadding(), 0u);
}

TEST_F(Pipeline, IPv4InIPv4KeepsTheOuterAddresses) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "IP"});
    local.add({.name = "IP", .size = 20, .next = "IP", .hexKeys = {"ip4SrcAddr", "ip4DstAddr"}});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(100));
    auto chain = p->cachedAnalyzers();
    ASSERT_TRUE(chain);
    EXPECT_GE(chain->size(), 4u);  // built-in, ETH, IP, IP ...
    EXPECT_EQ(p->_packetIPSrc(), "1a1b1c1d");
    EXPECT_EQ(p->_packetIPDst(), "1e1f2021");
}

TEST_F(Pipeline, AnalyzerWithoutPayloadHandsTheTrailingBytesOn) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "A"});
    local.add({.name = "A", .size = 10, .next = "B", .hasPayload = false});
    local.add({.name = "B", .size = 0});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(80));
    auto chain = p->cachedAnalyzers();
    ASSERT_EQ(chain->size(), 4u);
    auto b = std::dynamic_pointer_cast<FakeAnalyzer>(chain->back());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->madeFrom().size(), 80u - 24u);
    EXPECT_EQ(b->madeFrom()[0], 24);
}

TEST_F(Pipeline, DeclaredPayloadSizeNarrowsTheWindow) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "A"});
    local.add({.name = "A", .size = 8, .next = "B", .payloadSize = 12});
    local.add({.name = "B", .size = 0});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(100));
    auto b = std::dynamic_pointer_cast<FakeAnalyzer>(p->cachedAnalyzers()->back());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->madeFrom().size(), 12u);
    EXPECT_EQ(b->madeFrom()[0], 22);
}

TEST_F(Pipeline, WalkEndsWhenAStepMakesNoProgress) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "LOOP"});
    local.add({.name = "LOOP", .size = 0, .next = "LOOP"});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(100));
    EXPECT_LE(p->cachedAnalyzers()->size(), 4u);

    FakeRegistry pingPong;
    pingPong.add({.name = "ETH", .size = 14, .next = "X"});
    pingPong.add({.name = "X", .size = 0, .next = "Y"});
    pingPong.add({.name = "Y", .size = 0, .next = "X"});
    pingPong.publishAll();
    p = packetWithBytes(countingBytes(100));
    EXPECT_LE(p->cachedAnalyzers()->size(), 5u);
}

TEST_F(Pipeline, WalkEndsAtTheChainLengthAndHeaderSumLimits) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 1, .next = "ONE"});
    local.add({.name = "ONE", .size = 1, .next = "ONE"});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(1000));
    EXPECT_EQ(p->cachedAnalyzers()->size(), CacheAnalyzer::kMaxChainLength);

    FakeRegistry huge;
    huge.add({.name = "ETH", .size = 14, .next = "BIG"});
    huge.add({.name = "BIG", .size = 40000, .next = "BIG"});
    huge.publishAll();
    p = packetWithBytes(countingBytes(200));
    auto chain = p->cachedAnalyzers();
    ASSERT_EQ(chain->size(), 3u);  // the second BIG header would pass 65535 bytes
}

TEST_F(Pipeline, RefusedOrUnknownProtocolEndsTheChainQuietly) {
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "IP"});
    local.add({.name = "IP", .size = 20, .next = "NOBODY"});
    local.publishAll();
    auto p = packetWithBytes(countingBytes(100));
    EXPECT_EQ(p->cachedAnalyzers()->size(), 3u);

    FakeRegistry refusing;
    refusing.add({.name = "ETH", .size = 14, .next = "IP"});
    refusing.add({.name = "IP", .size = 20, .refuse = true});
    refusing.publishAll();
    p = packetWithBytes(countingBytes(100));
    EXPECT_EQ(p->cachedAnalyzers()->size(), 2u);
}

TEST_F(Pipeline, PacketWithoutBytesLogsNoPayloadAndHasNoChain) {
    std::vector<std::string> lines;
    setLogSink([&](const LogLine& l) { lines.push_back(l.message); });
    auto p = QORPacket::create();
    p->setFilePath(std::filesystem::path("/tmp/none.pcap"));
    EXPECT_FALSE(p->cachedAnalyzers());
    setLogSink({});
    EXPECT_NE(std::find(lines.begin(), lines.end(), "no payload"), lines.end());
    EXPECT_EQ(p->packetProtocolHistory(), "");
    EXPECT_EQ(p->packetInfoOverview(), "");
    EXPECT_FALSE(p->packetSourceString());
}

TEST_F(Pipeline, PacketWithoutFileIsNotAnalysedLazily) {
    auto p = packetWithBytes(countingBytes(60));
    p->setFilePath(std::nullopt);
    EXPECT_FALSE(p->cachedAnalyzers());
    p->redissect();  // does nothing without a file
    EXPECT_TRUE(p->cacheManager()->analyzersCache().empty());
}

TEST_F(Pipeline, ProtocolOffsetsAndSummaryLine) {
    auto p = packetWithBytes(countingBytes(60));
    EXPECT_FALSE(p->dataForProtocolName("ETH"));  // offset 0: the chain's first header
    EXPECT_FALSE(p->dataForProtocolName("UDP"));
    auto tcpData = p->dataForProtocolName("TCP");
    ASSERT_TRUE(tcpData);
    EXPECT_EQ(tcpData->size(), 26u);
    EXPECT_EQ((*tcpData)[0], 34);
    EXPECT_EQ(p->packetInfoOverview(), "tcp summary len 26");
    p->set_packetInfoOverview("stored");
    EXPECT_EQ(p->packetInfoOverview(), "stored");
}

TEST_F(Pipeline, AttributeValuesByKeyAndByColumn) {
    FakeRegistry local;
    auto e = local.add({.name = "ETH", .size = 14, .next = "IP", .hexKeys = {"etherSrc", "etherDst"}});
    auto i = local.add({.name = "IP", .size = 20, .fixedValues = {{"ipTTL", "64"}}, .hexKeys = {"ipProto"}});
    local.publish({local.structure(e, {FakeRegistry::attribute(e, "etherSrc", 6, 6), FakeRegistry::attribute(e, "etherDst", 0, 6)}),
                   local.structure(i, {FakeRegistry::attribute(i, "ipProto", 9, 1)}, {"fakeName"})});
    auto p = packetWithBytes(countingBytes(60));
    EXPECT_EQ(p->packetEtherSrc(), "060708090a0b");
    EXPECT_EQ(p->packetEtherDst(), "000102030405");
    // The attribute's bytes are counted from its owner's header (IP starts at 14).
    EXPECT_EQ(p->valueForKey("ipProto").asString(), "17");
    // Column bindings answer by the analyzer's property name.
    EXPECT_EQ(p->valueForKey("fakeName").asString(), "IP");
    EXPECT_TRUE(p->valueForKey("unknownKey").isNone());
    // Without IP in the history the source is the link-layer address.
    p->setPacketProtocolHistory(std::optional<std::string>("ETH-ARP"));
    EXPECT_EQ(p->packetSourceString(), "060708090a0b");
}

TEST_F(Pipeline, RedissectRebuildsTheChain) {
    auto p = packetWithBytes(countingBytes(60));
    auto first = p->cachedAnalyzers();
    p->redissect();
    auto second = p->cachedAnalyzers();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->front(), second->front());
    EXPECT_EQ(second->size(), 4u);
}

TEST_F(Pipeline, AnalyzersForRawBytesStartAtTheBaseProtocol) {
    auto chain = QORPacket::analyzers(countingBytes(40), "IP", std::nullopt);
    EXPECT_EQ(names(chain), (std::vector<std::string>{"<none>", "IP", "TCP"}));
    // An unknown base name falls back to the ether type's protocol (0x0800 is "IP").
    chain = QORPacket::analyzers(countingBytes(40), "", 0x0800);
    EXPECT_EQ(names(chain), (std::vector<std::string>{"<none>", "IP", "TCP"}));
    EXPECT_TRUE(QORPacket::analyzers(Data(), "IP", std::nullopt).empty());
}

TEST(AnalyzerCache, AppendContentsReplacesAndClearKeepsPacketOfEmptyCache) {
    FakeRegistry registry;
    auto cls = registry.add({.name = "X"});
    auto packet = QORPacket::create();
    auto cache = std::make_shared<QORAnalyzerCache>(packet);
    AnalyzerChain five, two;
    for (int i = 0; i < 5; ++i) five.push_back(cls->make(Data(), packet));
    for (int i = 0; i < 2; ++i) two.push_back(cls->make(Data(), packet));
    cache->append(five);
    cache->append(two);
    EXPECT_EQ(cache->analyzersCache().size(), 2u);
    cache->append(two.front());  // already there: object equality
    EXPECT_EQ(cache->analyzersCache().size(), 2u);
    cache->clearCache();
    EXPECT_TRUE(cache->analyzersCache().empty());
    EXPECT_EQ(cache->packet(), nullptr);

    auto fresh = std::make_shared<QORAnalyzerCache>(packet);
    fresh->clearCache();
    EXPECT_EQ(fresh->packet(), packet);
    bool kept = false;
    EXPECT_EQ(fresh->storeIfEmpty(two, &kept).size(), 2u);
    EXPECT_TRUE(kept);
    EXPECT_EQ(fresh->storeIfEmpty(five, &kept).size(), 2u);  // the first stored chain stays
    EXPECT_FALSE(kept);
}

TEST(DefaultPacketAnalyzer, AnswersOnlyTheElevenPacketKeys) {
    auto p = packetWithBytes(countingBytes(60));
    p->setPacketProtocol("TCP");
    auto a = DefaultPacketProtocolAnalyzer::create(Data(), p);
    EXPECT_EQ(a->bytesCount(), 0);
    EXPECT_EQ(a->linktype(), "ETH");
    EXPECT_EQ(a->value("packetId", Data()).asInt(), 1);
    EXPECT_EQ(a->value("realLength", Data()).asUInt(), 60u);
    EXPECT_EQ(a->value("packetProtocol", Data()).asString(), "TCP");
    EXPECT_TRUE(a->value("dataLocation", Data()).isNone());  // the packet knows it, the analyzer does not offer it
    EXPECT_FALSE(a->nextProtocol());
    EXPECT_TRUE(a->protocolNodes(Data()).empty());
    p.reset();
    EXPECT_TRUE(a->value("packetId", Data()).isNone());
}

TEST(DefaultPacketPlugIn, FreshIdsSameContent) {
    auto a = DefaultPacketPlugIn::packetPlugIn();
    auto b = DefaultPacketPlugIn::packetPlugIn();
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.plugInTargetProtocols[0].id, b.plugInTargetProtocols[0].id);
    EXPECT_EQ(a.plugInTitle, "Packet");
    EXPECT_EQ(a.plugInTargetProtocols[0].protocolName, "All");
    EXPECT_EQ(a.plugInTargetProtocols[0].sourceProtocol, kQORSourceProtocols::all);
    EXPECT_EQ(a.plugInAnalyzerAttributes.size(), 11u);
    EXPECT_EQ(a.plugInAnalyzerAttributes[0].attributeTitle, "Packet Id");
    auto columns = DefaultPacketPlugIn::defaultColumns();
    ASSERT_EQ(columns.size(), 11u);
    EXPECT_EQ(columns[0].columnTitle, "Packet ID");
    EXPECT_EQ(columns[0].predicateOptions.at(NSPredicateFormatBindingOption).asString(), "packetId.description CONTAINS $value");
    EXPECT_FALSE(columns[3].predicateOptions.contains(NSDisplayNameBindingOption));
}

}  // namespace
}  // namespace qor::test
