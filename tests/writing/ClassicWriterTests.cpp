// Classic pcap output: layout, times, progress, cancellation and the background stream.

#include <atomic>

#include "WritingSupport.hpp"

namespace qor::test {
namespace {

using Writer = PacketsToFileDataAsyncStream;

Data serialize(const Packets& packets, std::optional<double> totalBytes, const Writer::OnProgress& onProgress,
               const Writer::IsCancelled& isCancelled = [] { return false; }) {
    return Writer::serialize(packets, 1, 262144, totalBytes, onProgress, isCancelled);
}

TEST(ClassicWriterLayout, RecordsMatchAHandBuiltFileStreamedOrNot) {
    auto packets = makePackets({{bytes({1, 2, 3, 4, 5}), 1.25, 1, 60},
                                {bytes({9, 8, 7}), 2.0, 1},
                                {bytes({0xAA}), 3.5, 1, std::nullopt, std::nullopt, /*bytesAvailable=*/false}});
    PcapBuilder expected(1);
    expected.record(1, 250000, bytes({1, 2, 3, 4, 5}), 60);
    expected.record(2, 0, bytes({9, 8, 7}));
    expected.record(3, 500000, Data(), 1);  // bytes unavailable: captured length 0, original kept
    EXPECT_EQ(hex(classicBytes(packets)), hex(expected.data()));
    Collector streamed;
    ASSERT_EQ(Writer::serializeTo(streamed.sink(), packets, 1, 262144, std::nullopt, {}, [] { return false; }), expected.data().size());
    EXPECT_EQ(streamed.data(), expected.data());
    auto refuse = [](std::span<const std::byte>) { return false; };
    EXPECT_EQ(Writer::serializeTo(refuse, packets, 1, 262144, std::nullopt, {}, [] { return false; }), std::nullopt);
}

TEST(ClassicWriterTimes, MicrosecondsAreTruncatedButSurviveFloatingPointRounding) {
    struct Row {
        double time;
        std::uint32_t seconds, micros;
    };
    for (Row r : {Row{1.25, 1, 250000}, Row{1.9999999, 1, 999999}, Row{0.0000004, 0, 0}, Row{-3.0, 0, 0},
                  Row{5e9, 0xFFFFFFFF, 999999}}) {
        auto out = classicBytes(makePackets({{bytes({0}), r.time}}));
        EXPECT_EQ(out.loadUnaligned<std::uint32_t>(24), r.seconds) << r.time;
        EXPECT_EQ(out.loadUnaligned<std::uint32_t>(28), r.micros) << r.time;
    }
    // A time read from a file as s + u / 1e6 is written back as exactly s and u.
    for (std::uint32_t u = 0; u < 1'000'000; u += 997) {
        const std::uint32_t s = 1'712'345'678;
        auto out = classicBytes(makePackets({{bytes({0}), s + u / 1e6}}));
        ASSERT_EQ(out.loadUnaligned<std::uint32_t>(24), s);
        ASSERT_EQ(out.loadUnaligned<std::uint32_t>(28), u) << "u=" << u;
    }
}

TEST(ClassicWriterProgress, EverySixtyFourPacketsOrByHalfPercentThenTheFinalSize) {
    struct Row {
        std::size_t count, size;
        std::optional<double> total;
        std::vector<std::uint64_t> reports;
    };
    // No expected size: every 64th packet. Expected size 0: a step of 0, every packet, then the end.
    for (const Row& r : {Row{130, 10, std::nullopt, {24 + 64 * 26, 24 + 128 * 26, 24 + 130 * 26}}, Row{3, 4, 0.0, {44, 64, 84, 84}}}) {
        std::vector<std::uint64_t> reports;
        auto out = serialize(makePackets(uniformSpecs(r.count, r.size)), r.total, [&](std::uint64_t b) { reports.push_back(b); });
        EXPECT_EQ(reports, r.reports);
        EXPECT_EQ(out.size(), r.reports.back());
    }
}

TEST(ClassicWriterCancellation, CheckedAtReportPointsAndThrows) {
    auto packets = makePackets(uniformSpecs(130, 10));
    int asked = 0;
    std::vector<std::uint64_t> reports;
    EXPECT_THROW(serialize(packets, std::nullopt, [&](std::uint64_t b) { reports.push_back(b); },
                           [&] { return ++asked == 2; }),
                 CancellationError);
    EXPECT_EQ(asked, 2);                                         // at packets 64 and 128 only
    EXPECT_EQ(reports, std::vector<std::uint64_t>{24 + 64 * 26});  // cancellation is checked before reporting

    // The background write (writePackets) reads the flag of the task it runs in.
    auto flag = std::make_shared<std::atomic<bool>>(true);
    Writer::Stream stream;
    Task::runWithCancellationFlag(flag, [&] {
        EXPECT_THROW(Writer().writePackets(std::span<const std::shared_ptr<QORPacket>>(packets), 1, 262144, std::nullopt,
                                           stream.continuation()),
                     CancellationError);
    });
}

TEST(ClassicWriterStream, YieldsKilobytesThenTheBytesWithoutAKeptTaskHandle) {
    auto packets = makePackets(uniformSpecs(130, 10));
    Writer writer;
    auto stream = writer.startStream(nullptr, std::vector<PacketRef>(packets.begin(), packets.end()), 1, 262144, std::nullopt,
                                     std::filesystem::path("/tmp/unused.pcap"));
    std::vector<double> kilobytes;
    std::optional<Data> result;
    while (auto event = stream.next()) {
        if (auto kb = ProgressUpdateTranslation::bytesReadValue(*event)) {
            EXPECT_FALSE(result) << "progress after the result";
            kilobytes.push_back(*kb);
        } else {
            result = *event->payload();
        }
    }
    EXPECT_EQ(result, classicBytes(packets));
    EXPECT_EQ(kilobytes, (std::vector<double>{(24 + 64 * 26) / 1024.0, (24 + 128 * 26) / 1024.0, (24 + 130 * 26) / 1024.0}));
}

}  // namespace
}  // namespace qor::test
