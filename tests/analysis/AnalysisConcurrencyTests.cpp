// Lazy analysis from many threads at once: each packet stores one chain, the packet's fields
// agree with it, and the lookup table and port map may be replaced meanwhile.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "FakeAnalyzers.hpp"
#include "QORModels/analysis/QORAnalyzerCache.hpp"
#include "QORModels/analysis/QORPortsController.hpp"

// The fake specs name only the fields a case needs; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace qor::test {
namespace {

constexpr std::size_t kPackets = 2000;
constexpr std::size_t kReaders = 6;

TEST(AnalysisConcurrency, ManyThreadsReadCachedAnalyzersOfManyPackets) {
    FakeRegistry registry;
    registry.add({.name = "ETH", .size = 14, .next = "IP"});
    registry.add({.name = "IP", .size = 20, .next = "TCP", .hexKeys = {"ip4SrcAddr", "ip4DstAddr"}});
    registry.add({.name = "TCP", .size = 20, .info = "tcp"});
    registry.publishAll();
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

}  // namespace
}  // namespace qor::test
