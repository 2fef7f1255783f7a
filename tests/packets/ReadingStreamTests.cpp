// The background reading stream: its lifetime against its reader object, and cancellation.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

/// A classic capture of `records` four-byte records, built in one buffer.
Data manyRecords(std::uint32_t records) {
    test::Bytes b;
    b.u32(0xA1B2C3D4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(1);
    for (std::uint32_t i = 0; i < records; ++i) b.u32(i).u32(0).u32(4).u32(4).u32(i);
    return b.data();
}

TEST(ReadingStream, ReaderMayGoAwayWhileItsReadRuns) {
    // The read outlives the object that started it. Under AddressSanitizer any write of the read
    // into the destroyed object is reported; a read that takes the destroyed object's lock blocks
    // for ever on freed memory, which the watchdog turns into a failure.
    auto file = manyRecords(200'000);
    auto reader = std::make_unique<FileDataToPacketsAsyncStream>();
    auto stream = reader->startStream({}, std::make_shared<QORDataCache>(), file, "/tmp/lifetime.pcap");
    auto first = stream.next();  // the read is under way
    ASSERT_TRUE(first);
    reader.reset();
    std::atomic<bool> drained{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 600 && !drained.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!drained.load()) {
            std::fprintf(stderr, "the read did not end within 60 s of its reader going away\n");
            std::abort();
        }
    });
    std::size_t packets = 0;
    while (auto u = stream.next()) {
        if (auto* p = u->payload()) packets = p->size();
    }
    drained = true;
    watchdog.join();
    EXPECT_EQ(packets, 200'000u);
}

TEST(ReadingStream, CancelledHalfWayDeliversAConsistentPrefix) {
    constexpr std::uint32_t kRecords = 1'000'000;
    auto file = manyRecords(kRecords);
    FileDataToPacketsAsyncStream reader;
    Task task;
    auto stream = reader.startStream([&](Task t) { task = t; }, std::make_shared<QORDataCache>(), file, "/tmp/cancel.pcap");
    PacketList packets;
    std::size_t progressEvents = 0;
    bool finished = false;
    while (auto u = stream.next()) {
        if (auto* p = u->payload()) {
            packets = std::move(*p);
            finished = true;
        } else if (++progressEvents == 3) {
            task.cancel();
        }
    }
    EXPECT_TRUE(finished);  // cancellation is no error: the stream ends normally
    EXPECT_GE(packets.size(), 3u * 64);
    EXPECT_LT(packets.size(), kRecords);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i]->packetId(), static_cast<std::int64_t>(i) + 1);
    }
    auto last = packets.back()->data();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->loadUnaligned<std::uint32_t>(0), static_cast<std::uint32_t>(packets.size() - 1));
    EXPECT_FALSE(reader.lastReadIssue());  // stopping early is not damage
}

TEST(ReadingStream, CancelledBeforeStartDeliversNothing) {
    FileDataToPacketsAsyncStream reader;
    auto flag = std::make_shared<std::atomic<bool>>(true);
    PacketList packets;
    Task::runWithCancellationFlag(flag, [&] {
        packets = reader.parsePackets(manyRecords(5000), std::make_shared<QORDataCache>(), "/tmp/x", nullptr);
    });
    EXPECT_TRUE(packets.empty());
}

}  // namespace
}  // namespace qor
