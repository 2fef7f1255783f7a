// The analysis pipeline over analyzer classes made up in the test: chain building, history,
// padding, IP addresses, payload windows, the walk's limits, the packet's lazy analysis and its
// observers, and the snapshot that hands the published lookup table to each thread.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <map>
#include <new>

// The fake specs name only the fields a case needs; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "FakeAnalyzers.hpp"
#include "AddressTextMemo.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/analysis/SharedSnapshot.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "QORLog/QORLog.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSPredicate.hpp"

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

TEST_F(Pipeline, ShortEthernetFrameGetsPaddingHistoryOffsetsAndSummary) {
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
    EXPECT_FALSE(p->dataForProtocolName("ETH"));  // offset 0: the chain's first header
    EXPECT_FALSE(p->dataForProtocolName("UDP"));
    auto tcpData = p->dataForProtocolName("TCP");
    ASSERT_TRUE(tcpData);
    EXPECT_EQ(tcpData->size(), 26u);
    EXPECT_EQ((*tcpData)[0], 34);
    EXPECT_EQ(p->packetInfoOverview(), "tcp summary len 26");
    EXPECT_EQ(packetWithBytes(countingBytes(65))->packetPadding(), 0u);  // longer than 64 bytes: none
}

TEST_F(Pipeline, AWalkAskedToStopEndsAfterThatLayerWithTheLinksBeforeItUnchanged) {
    const auto p = packetWithBytes(countingBytes(60));
    const Data bytes = p->data().value();
    const auto walk = [&](InternedString stopAfter) {
        CacheAnalyzer::Options options;
        options.stopAfter = stopAfter;
        return CacheAnalyzer(p, std::nullopt, {}, bytes, 60, std::move(options));
    };
    const CacheAnalyzer whole = walk({}), toIP = walk(InternedString("IP")), toUDP = walk(InternedString("UDP"));
    EXPECT_EQ(whole.packetProtocolHistory(), "ETH-IP-TCP");
    EXPECT_EQ(toIP.packetProtocolHistory(), "ETH-IP");
    ASSERT_EQ(whole.links().size(), 4u);
    ASSERT_EQ(toIP.links().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(toIP.links()[i], whole.links()[i]);
    // A layer the packet does not have: the walk goes to the end.
    EXPECT_EQ(toUDP.packetProtocolHistory(), "ETH-IP-TCP");
}

/// What a layer observer was shown: per layer, its link, name, the size of its bytes and the
/// protocol it named next ("" for none).
struct SeenLayers final : LayerObserver {
    struct Seen {
        std::size_t link;
        std::string name;
        std::size_t bytes;
        std::string next;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    void layer(std::size_t link, InternedString name, const QORPluginAnalyzerProtocol&, const Data& bytes,
               InternedString next) override {
        seen.push_back({link, std::string(name.view()), bytes.size(), next.hasValue() ? std::string(next.view()) : ""});
    }
};

TEST_F(Pipeline, ALayerObserverSeesEachTakenLayerWithTheLinkItTakes) {
    const auto p = packetWithBytes(countingBytes(60));
    SeenLayers observer;
    CacheAnalyzer::Options options;
    options.layerObserver = &observer;
    const CacheAnalyzer walk(p, std::nullopt, {}, p->data().value(), 60, std::move(options));
    ASSERT_EQ(walk.links().size(), 4u);
    using Seen = SeenLayers::Seen;
    EXPECT_EQ(observer.seen, (std::vector<Seen>{{1, "ETH", 60, "IP"}, {2, "IP", 46, "TCP"}, {3, "TCP", 26, ""}}));
    for (const auto& seen : observer.seen)
        EXPECT_EQ(CompactAnalyzerChain::bytesOf(walk.links()[seen.link], p->data().value()).size(), seen.bytes);

    // A header the chain does not take (past the header sum limit, or refused) is not shown.
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14, .next = "BIG"});
    local.add({.name = "BIG", .size = 40000, .next = "BIG"});
    local.publishAll();
    SeenLayers limited;
    CacheAnalyzer::Options limitedOptions;
    limitedOptions.layerObserver = &limited;
    const auto q = packetWithBytes(countingBytes(200));
    const CacheAnalyzer limitedWalk(q, std::nullopt, {}, q->data().value(), 200, std::move(limitedOptions));
    ASSERT_EQ(limitedWalk.links().size(), 3u);
    EXPECT_EQ(limited.seen, (std::vector<Seen>{{1, "ETH", 200, "BIG"}, {2, "BIG", 186, "BIG"}}));
}

TEST_F(Pipeline, AWalksAddressTextsAreItsOwnHoweverManyWalksCameBefore) {
    // Walks on one thread over packets whose IP headers differ only in their addresses, in
    // turn: each walk gives its own packet's texts, the ones its IP analyzer renders.
    for (int round = 0; round < 3; ++round) {
        for (std::uint8_t first : {0x10, 0x20, 0x10, 0x30}) {
            std::vector<std::byte> bytes(60);
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>(first + i);
            const auto p = packetWithBytes(Data(std::move(bytes)));
            const Data data = p->data().value();
            const CacheAnalyzer walk(p, std::nullopt, {}, data, 60);
            const auto texts = walk.ipAddresses();
            EXPECT_EQ(texts, CacheAnalyzer::addressTexts(walk.links()[2], 2, data, p));
            EXPECT_EQ(texts.first, fmt::format("{:02x}{:02x}{:02x}{:02x}", first + 26, first + 27, first + 28, first + 29));
        }
    }
}

TEST(AddressTextMemo, PairsThatDifferInAnyByteAreEachRemembered) {
    // Forty IPv4 pairs (the packet's addresses at 26..33) that differ only in the last byte of
    // the destination, then only in the first byte of the source: each is rendered once, and
    // asked again they come from the memo (a pair that shares its slot with another is
    // rendered again).
    AddressTextMemo memo;
    int renders = 0;
    const ChainLink ipLink{7, 14, 46, 20};
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < 40; ++k) {
            std::vector<std::byte> bytes(60, std::byte{1});
            bytes[k < 20 ? 33 : 26] = static_cast<std::byte>(k);
            const Data data(std::move(bytes));
            const auto texts = memo.texts(ipLink, 2, data, [&] {
                ++renders;
                return std::pair<std::string, std::string>(std::to_string(k), "");
            });
            EXPECT_EQ(texts.first, std::to_string(k));
        }
    }
    EXPECT_LE(renders, 44) << renders;  // two pairs of keys may share a slot
}

TEST_F(Pipeline, UnknownLinkTypeOrNoNextProtocolKeepsThePacketsOwnValues) {
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

    // A link analyzer without a next protocol keeps the history the packet had.
    FakeRegistry local;
    local.add({.name = "ETH", .size = 14});
    local.publishAll();
    p = packetWithBytes(countingBytes(60));
    p->setPacketProtocolHistory(std::optional<std::string>("before"));
    ASSERT_EQ(p->cachedAnalyzers()->size(), 2u);
    EXPECT_EQ(p->packetProtocolHistory(), "before");
    EXPECT_EQ(p->packetProtocol(), "ETH");
    EXPECT_EQ(p->packetPadding(), 0u);
}

/// One made-up protocol stack over a frame of counting bytes, and where the walk over it ends.
struct WalkCase {
    const char* what;
    std::vector<FakeSpec> specs;
    std::size_t frameSize;
    std::size_t chainSize;                       ///< exact, or at most when `atMost`
    bool atMost = false;
    std::optional<std::size_t> lastWindowSize;   ///< bytes the last analyzer was made from
    std::uint8_t lastWindowFirst = 0;
};

TEST_F(Pipeline, WalkEndsAtLimitsLoopsRefusalsAndPayloadWindows) {
    const std::vector<WalkCase> cases = {
        {"no payload hands the trailing bytes on",
         {{.name = "ETH", .size = 14, .next = "A"}, {.name = "A", .size = 10, .next = "B", .hasPayload = false}, {.name = "B"}},
         80, 4, false, 80u - 24u, 24},
        {"declared payload size narrows the window",
         {{.name = "ETH", .size = 14, .next = "A"}, {.name = "A", .size = 8, .next = "B", .payloadSize = 12}, {.name = "B"}},
         100, 4, false, 12u, 22},
        {"no progress", {{.name = "ETH", .size = 14, .next = "LOOP"}, {.name = "LOOP", .next = "LOOP"}}, 100, 4, true},
        {"ping-pong without progress",
         {{.name = "ETH", .size = 14, .next = "X"}, {.name = "X", .next = "Y"}, {.name = "Y", .next = "X"}}, 100, 5, true},
        {"chain length limit", {{.name = "ETH", .size = 1, .next = "ONE"}, {.name = "ONE", .size = 1, .next = "ONE"}}, 1000,
         CacheAnalyzer::kMaxChainLength},
        // The second BIG header would pass 65535 bytes.
        {"header sum limit", {{.name = "ETH", .size = 14, .next = "BIG"}, {.name = "BIG", .size = 40000, .next = "BIG"}}, 200, 3},
        {"unknown protocol", {{.name = "ETH", .size = 14, .next = "IP"}, {.name = "IP", .size = 20, .next = "NOBODY"}}, 100, 3},
        {"refusing class", {{.name = "ETH", .size = 14, .next = "IP"}, {.name = "IP", .size = 20, .refuse = true}}, 100, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeRegistry local;
        for (const auto& spec : c.specs) local.add(spec);
        local.publishAll();
        auto chain = packetWithBytes(countingBytes(c.frameSize))->cachedAnalyzers();
        ASSERT_TRUE(chain);
        if (c.atMost) {
            EXPECT_LE(chain->size(), c.chainSize);
        } else {
            ASSERT_EQ(chain->size(), c.chainSize);
        }
        if (c.lastWindowSize) {
            auto last = std::dynamic_pointer_cast<FakeAnalyzer>(chain->back());
            ASSERT_TRUE(last);
            EXPECT_EQ(last->madeFrom().size(), *c.lastWindowSize);
            EXPECT_EQ(last->madeFrom()[0], c.lastWindowFirst);
        }
    }
}

TEST_F(Pipeline, AnalysisTellsObserversOfProtocolHistoryAndSummary) {
    auto packet = packetWithBytes(countingBytes(60));
    std::map<std::string, std::vector<Value>> heard;
    for (const char* key : {"packetProtocol", "packetProtocolHistory", "packetInfoOverview"}) {
        packet->addObserver(key, [&heard](const NSObject&, const KeyValueChange& c) {
            heard[std::string(c.keyPath)].push_back(c.newValue);
        }, kKeyValueObservingOptionNew);
    }
    ASSERT_TRUE(packet->cachedAnalyzers());
    ASSERT_EQ(heard["packetProtocol"].size(), 1u);
    EXPECT_EQ(heard["packetProtocol"][0].asString(), "TCP");
    ASSERT_EQ(heard["packetProtocolHistory"].size(), 1u);
    EXPECT_EQ(heard["packetProtocolHistory"][0].asString(), "ETH-IP-TCP");
    // The summary is computed from the stored chain: told once the chain is in place.
    ASSERT_FALSE(heard["packetInfoOverview"].empty());
    EXPECT_EQ(heard["packetInfoOverview"].back().asString(), "tcp summary len 26");
    // Analysing again with the same outcome changes nothing, so nobody hears anything.
    packet->redissect();
    EXPECT_EQ(heard["packetProtocol"].size(), 1u);
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

TEST_F(Pipeline, BytesAReaderHandsBackOutliveThePacketAndItsCache) {
    FakeRegistry local;
    auto e = local.add({.name = "ETH", .size = 14, .next = "IP", .bytesReaderKey = "etherSrc"});
    local.publish({local.structure(e, {FakeRegistry::attribute(e, "etherSrc", 6, 6)})});
    const auto predicate = NSPredicate::predicateWithFormat("etherSrc != nil");
    Value read;
    std::size_t matches = 0;
    {
        auto p = packetWithBytes(countingBytes(60));
        read = p->valueForKey("etherSrc");
        matches = PacketFilterEngine().apply(*predicate, {p}).size();
    }
    EXPECT_EQ(matches, 1u);
    const auto bytes = read.asData();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->owner());  // the packet's storage, kept by the value
    EXPECT_EQ(*bytes, countingBytes(12).slice(6, 6));
}

TEST_F(Pipeline, RedissectRebuildsTheChainOnlyForPacketsWithAFile) {
    auto p = packetWithBytes(countingBytes(60));
    auto first = p->cachedAnalyzers();
    p->redissect();
    auto second = p->cachedAnalyzers();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->front(), second->front());
    EXPECT_EQ(second->size(), 4u);
    // Without a file nothing is analysed lazily, and redissecting does nothing.
    auto fileless = packetWithBytes(countingBytes(60));
    fileless->setFilePath(std::nullopt);
    EXPECT_FALSE(fileless->cachedAnalyzers());
    fileless->redissect();
    EXPECT_TRUE(fileless->cacheManager()->analyzersCache().empty());
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

/// A thread's remembered snapshot never outlives the holder it came from.
TEST(SharedSnapshot, HolderMadeAtADestroyedHoldersAddressGivesItsOwnValue) {
    using Holder = SharedSnapshot<std::string>;
    alignas(Holder) unsigned char storage[sizeof(Holder)];
    auto* first = new (storage) Holder(std::make_shared<const std::string>("old"));
    ASSERT_EQ(*first->load(), "old");  // this thread now remembers (address, generation)
    first->~Holder();

    auto* second = new (storage) Holder(std::make_shared<const std::string>("new"));
    ASSERT_EQ(static_cast<void*>(second), static_cast<void*>(first));
    EXPECT_EQ(*second->load(), "new");
    // The same after a store on each: the generations of different holders never meet.
    second->store(std::make_shared<const std::string>("newer"));
    EXPECT_EQ(*second->load(), "newer");
    second->~Holder();
    auto* third = new (storage) Holder(std::make_shared<const std::string>("third"));
    EXPECT_EQ(*third->load(), "third");
    third->~Holder();
}
}  // namespace
}  // namespace qor::test
