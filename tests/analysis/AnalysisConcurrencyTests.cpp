// Lazy analysis from many threads at once: each packet stores one chain, the packet's fields
// agree with it, and the lookup table and port map may be replaced meanwhile.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "FakeAnalyzers.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORPlatform/NotificationCenter.hpp"

// The fake specs name only the fields a case needs; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace qor::test {
namespace {

constexpr std::size_t kPackets = 2000;
constexpr std::size_t kReaders = 6;

/// Ethernet, IPv4 (whose addresses read as hex) and TCP, published as the lookup table.
void publishEthernetIPTCP(FakeRegistry& registry) {
    registry.add({.name = "ETH", .size = 14, .next = "IP"});
    registry.add({.name = "IP", .size = 20, .next = "TCP", .hexKeys = {"ip4SrcAddr", "ip4DstAddr"}});
    registry.add({.name = "TCP", .size = 20, .info = "tcp"});
    registry.publishAll();
}

TEST(AnalysisConcurrency, ManyThreadsReadCachedAnalyzersOfManyPackets) {
    FakeRegistry registry;
    publishEthernetIPTCP(registry);
    auto table = PluginLookupTable::current();

    std::vector<std::shared_ptr<QORPacket>> packets;
    for (std::size_t i = 0; i < kPackets; ++i) packets.push_back(packetWithBytes(countingBytes(60 + i % 40), 1, static_cast<std::int64_t>(i + 1)));

    // Writers run meanwhile: the table is republished and the port map changes.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        auto ports = QORPortsController::sharedPortsController();
        for (std::uint16_t n = 0; !done.load(); ++n) {
            PluginLookupTable::publish(table);
            ports->addAnalyzerProtocol(std::string("CONC"), static_cast<std::uint16_t>(40000 + n % 100), 1);
            (void)ports->analyzerTCPProtocolForPort(40001);
        }
    });

    // Plain threads rather than oneTBB: the library's task hand-off is not instrumented, so
    // ThreadSanitizer would report oneTBB's own bookkeeping. Reader r starts at its own offset,
    // so several readers meet on the same packets at the same time.
    // What each reader found stored: the first chain stored wins, so all must agree.
    std::vector<std::array<std::vector<ChainLink>, kReaders>> seen(kPackets);
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            for (std::size_t n = 0; n < kPackets; ++n) {
                std::size_t i = (n + r * kPackets / kReaders / 2) % kPackets;
                auto chain = packets[i]->cachedAnalyzers();
                EXPECT_TRUE(chain && chain->size() == 4u);
                auto links = packets[i]->analysedLinks();
                seen[i][r].assign(links.links().begin(), links.links().end());
                (void)packets[i]->packetInfoOverview();
                (void)packets[i]->packetSourceString();
            }
        });
    }
    for (auto& t : readers) t.join();
    done = true;
    writer.join();

    for (std::size_t i = 0; i < kPackets; ++i) {
        auto stored = packets[i]->cacheManager()->links();
        ASSERT_EQ(stored.size(), 4u);
        const std::vector<ChainLink> kept(stored.links().begin(), stored.links().end());
        for (const auto& links : seen[i]) EXPECT_EQ(links, kept) << "packet " << i + 1;
        EXPECT_EQ(packets[i]->packetProtocolHistory(), "ETH-IP-TCP");
        EXPECT_EQ(packets[i]->_packetIPSrc(), "1a1b1c1d");
    }
    for (std::uint16_t n = 0; n < 100; ++n) QORPortsController::sharedPortsController()->removeAnalyzerProtocolForPort(40000 + n, 1);
}

void postClear() { NotificationCenter::defaultCenter().post(std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache))); }

std::vector<ChainLink> linksOf(const CompactAnalyzerChain& chain) { return {chain.links().begin(), chain.links().end()}; }

// A kept analysis stores its chain in the packet until something asks for the packet's cache
// object, which then takes the chain over: both must answer as one store would, across clear
// notifications, re-analysis and chains too long for the packet's own buffer.
TEST(AnalysisConcurrency, ChainKeptInThePacketAndHandedToItsCacheAnswerAsOneStore) {
    FakeRegistry registry;
    publishEthernetIPTCP(registry);

    auto packet = packetWithBytes(countingBytes(80));
    ASSERT_TRUE(packet->analyse());
    const auto walked = linksOf(packet->analysedLinks());
    ASSERT_EQ(walked.size(), 4u);
    EXPECT_EQ(linksOf(packet->cacheManager()->links()), walked);  // taken over as stored
    EXPECT_EQ(linksOf(packet->analysedLinks()), walked);

    // A clear posted while the chain is still the packet's own empties it, and the cache made
    // afterwards does not bring it back.
    auto cleared = packetWithBytes(countingBytes(80));
    ASSERT_TRUE(cleared->analyse());
    postClear();
    EXPECT_TRUE(cleared->cacheManager()->isEmpty());
    EXPECT_TRUE(cleared->cacheManager()->analyzersCache().empty());
    ASSERT_TRUE(cleared->analyse());  // walks again
    EXPECT_EQ(linksOf(cleared->cacheManager()->links()), walked);

    // Without a cache object: the clear empties the packet's own chain, the next request walks.
    auto own = packetWithBytes(countingBytes(80));
    ASSERT_TRUE(own->analyse());
    postClear();
    EXPECT_EQ(linksOf(own->analysedLinks()), walked);
    EXPECT_EQ(own->packetProtocolHistory(), "ETH-IP-TCP");
    own->redissect();
    EXPECT_EQ(linksOf(own->analysedLinks()), walked);

    // A chain longer than the packet's buffer is kept by the cache object.
    FakeRegistry longer;
    const char* names[] = {"ETH", "L1", "L2", "L3", "L4", "L5", "L6", "L7"};
    for (std::size_t i = 0; i < std::size(names); ++i)
        longer.add({.name = names[i], .size = 4, .next = i + 1 < std::size(names) ? std::optional<std::string>(names[i + 1]) : std::nullopt});
    longer.publishAll();
    auto deep = packetWithBytes(countingBytes(80), 1);
    auto chain = linksOf(deep->analysedLinks());
    ASSERT_GT(chain.size(), CompactAnalyzerChain::kInline);
    EXPECT_EQ(linksOf(deep->cacheManager()->links()), chain);
    EXPECT_EQ(deep->cachedAnalyzers().value_or(AnalyzerChain{}).size(), chain.size());
}

// Threads analysing packets while others take their caches over and clears are posted: every
// packet ends with one chain, the same through the packet and through its cache.
TEST(AnalysisConcurrency, AnalysisTakeOverAndClearsRaceWithoutLosingAChain) {
    FakeRegistry registry;
    publishEthernetIPTCP(registry);
    std::vector<std::shared_ptr<QORPacket>> packets;
    for (std::size_t i = 0; i < kPackets; ++i) packets.push_back(packetWithBytes(countingBytes(60 + i % 40), 1, static_cast<std::int64_t>(i + 1)));

    std::vector<std::thread> threads;
    for (std::size_t r = 0; r < 4; ++r) {
        threads.emplace_back([&, r] {
            for (std::size_t n = 0; n < kPackets; ++n) {
                const auto& p = packets[(n + r * kPackets / 4) % kPackets];
                if (r == 3 && n % 3 == 0) (void)p->cacheManager()->links();  // takes the chain over
                else EXPECT_TRUE(p->analyse());
                if (r == 2 && n % 500 == 0) postClear();
            }
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& p : packets) {
        const auto links = linksOf(p->analysedLinks());
        ASSERT_EQ(links.size(), 4u) << "packet " << p->packetId();
        EXPECT_EQ(linksOf(p->cacheManager()->links()), links) << "packet " << p->packetId();
        EXPECT_EQ(p->packetProtocolHistory(), "ETH-IP-TCP");
    }
}

}  // namespace
}  // namespace qor::test
