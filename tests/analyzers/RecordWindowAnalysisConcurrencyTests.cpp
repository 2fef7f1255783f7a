// Reading a capture's records window by window on all cores hands each record once, with the
// bytes its packet reads, in file order, into the slots a caller keeps across two windows.

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "AnalyzerHarness.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/analysis/RecordWindowAnalysis.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

class RecordWindowAnalysisTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordWindowAnalysisTest, EveryRecordOnceInFileOrderWithItsPacketsBytes) {
    AnalyzerHarness::shared();
    const auto document = readCapture(GetParam());
    auto file = mapFile(capturePath(GetParam()));
    ASSERT_TRUE(file);
    for (std::size_t window : {1u, 3u, 7u}) {
        for (std::size_t stopAfter : {std::size_t{0}, std::size_t{2}}) {  // 0: read to the end
            std::mutex lock;
            std::map<std::int64_t, Data> seenOnWorkers;
            std::vector<std::int64_t> slots(2 * window, -1);
            std::size_t shown = 0, windows = 0;
            PacketWindowAnalysis::Options options;
            options.windowSize = window;
            options.showDuringNextWindow = true;
            const auto result = RecordWindowAnalysis::run(
                *file,
                [&](const CaptureRecord& record, const Data& bytes, std::size_t slot) {
                    ASSERT_LT(slot, slots.size());
                    EXPECT_EQ(slot, static_cast<std::size_t>(record.packetId - 1) % slots.size());
                    slots[slot] = record.packetId;
                    std::lock_guard guard(lock);
                    EXPECT_TRUE(seenOnWorkers.emplace(record.packetId, Data::copy(bytes.span())).second)
                        << "record " << record.packetId << " visited twice";
                },
                [&](std::span<const CaptureRecord> records) {
                    const std::size_t base = shown % slots.size();
                    for (std::size_t i = 0; i < records.size(); ++i) {
                        const CaptureRecord& record = records[i];
                        const QORPacket& packet = *document.packets.at(shown + i);
                        EXPECT_EQ(record.packetId, packet.packetId());
                        EXPECT_EQ(record.dataLocation, packet.dataLocation());
                        EXPECT_EQ(record.captureLength, packet.captureLength());
                        EXPECT_EQ(record.dateReceived, packet.dateReceived());
                        EXPECT_EQ(slots[base + i], record.packetId) << "window " << window;
                        slots[base + i] = -1;
                    }
                    shown += records.size();
                    return ++windows != stopAfter;
                },
                options);
            const std::size_t expected = stopAfter == 0 ? document.packets.size() : std::min(document.packets.size(), stopAfter * window);
            EXPECT_EQ(shown, expected) << "window " << window;
            if (stopAfter == 0) {
                EXPECT_EQ(result.packetCount, document.packets.size());
            }
            for (std::size_t i = 0; i < expected; ++i) {
                const QORPacket& packet = *document.packets[i];
                auto found = seenOnWorkers.find(packet.packetId());
                ASSERT_NE(found, seenOnWorkers.end()) << "record " << packet.packetId() << " never visited";
                EXPECT_EQ(found->second, packet.data().value_or(Data())) << "record " << packet.packetId();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, RecordWindowAnalysisTest,
                         ::testing::Values("suricata-pppoe.pcap", "many_interfaces-1.pcapng", "l2tp-avp-overflow.pcap",
                                           "RADIUS.pcap"));

}  // namespace
}  // namespace qor::test
