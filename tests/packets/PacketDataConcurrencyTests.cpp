// Packet bytes read from many threads at once while the cache is being filled.

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {
namespace {

TEST(PacketDataConcurrency, ReadersAndAWriterShareTheCacheAndSlots) {
    auto file = Data::fromString(std::string(64 * 1024, 'q'));
    auto cache = std::make_shared<QORDataCache>();
    std::vector<std::shared_ptr<QORPacket>> packets;
    for (std::uint32_t i = 0; i < 1024; ++i) {
        auto p = QORPacket::create();
        p->setDataLocation(i * 64);
        p->setCaptureLength(64);
        packets.push_back(p);
    }
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint32_t i = 0; i < 1024; ++i) {
            cache->set(file.slice(i * 64, 64), {i * 64, i * 64 + 64});
            packets[i]->setDataCache(cache);
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<std::size_t> seen{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                for (auto& p : packets) {
                    if (auto d = p->data()) {
                        EXPECT_EQ(d->size(), 64u);
                        seen.fetch_add(1, std::memory_order_relaxed);
                    }
                    (void)p->packetProtocol();
                }
            }
        });
    }
    writer.join();
    for (auto& r : readers) r.join();
    for (auto& p : packets) ASSERT_TRUE(p->data());
}

}  // namespace
}  // namespace qor
