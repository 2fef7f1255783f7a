// Classic pcap output: layout, times, progress schedule, cancellation and the background stream.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "QORLog/QORLog.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"
#include "WritingSupport.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

using Writer = PacketsToFileDataAsyncStream;
using Packets = std::vector<std::shared_ptr<QORPacket>>;

Data serialize(const Packets& packets, std::optional<double> totalBytes, const Writer::OnProgress& onProgress,
               const Writer::IsCancelled& isCancelled = [] { return false; }) {
    return Writer::serialize(packets, 1, 262144, totalBytes, onProgress, isCancelled);
}

TEST(ClassicWriterLayout, ZeroPacketsGiveExactlyTheGlobalHeader) {
    Data out = Writer::serialize(Packets{}, 105, 65535, std::nullopt, {}, [] { return false; });
    EXPECT_EQ(hex(out), "D4C3B2A1" "02000400" "00000000" "00000000" "FFFF0000" "69000000");
}

TEST(ClassicWriterLayout, RecordsMatchAHandBuiltFile) {
    auto packets = makePackets({{bytes({1, 2, 3, 4, 5}), 1.25, 1, 60},
                                {bytes({9, 8, 7}), 2.0, 1},
                                {bytes({0xAA}), 3.5, 1, std::nullopt, std::nullopt, /*bytesAvailable=*/false}});
    PcapBuilder expected(1);
    expected.record(1, 250000, bytes({1, 2, 3, 4, 5}), 60);
    expected.record(2, 0, bytes({9, 8, 7}));
    expected.record(3, 500000, Data(), 1);  // bytes unavailable: captured length 0, original kept
    EXPECT_EQ(hex(classicBytes(packets)), hex(expected.data()));
}

TEST(ClassicWriterLayout, StreamingGivesTheSameBytesAndNothingWhenTheSinkRefuses) {
    auto packets = makePackets({{bytes({1, 2, 3}), 1.5, 1}, {bytes({4}), 2.5, 1, std::nullopt, std::nullopt, false}});
    const Data expected = classicBytes(packets);
    Collector streamed;
    auto n = Writer::serializeTo(streamed.sink(), packets, 1, 262144, std::nullopt, {}, [] { return false; });
    ASSERT_EQ(n, expected.size());  // the second packet's byte is unavailable: written without it
    EXPECT_EQ(streamed.data(), expected);
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
    std::vector<std::uint64_t> reports;  // 90 bytes per record; step 180.12 bytes: a report about every 2nd record
    serialize(makePackets(uniformSpecs(400, 74)), 24 + 400 * 90, [&](std::uint64_t b) { reports.push_back(b); });
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front(), 24u + 2 * 90);  // the first size at or past 180.12
    EXPECT_EQ(reports.back(), 24u + 400 * 90);
    EXPECT_NEAR(static_cast<double>(reports.size()), 200.0, 2.0);
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

    // writePackets reads the flag of the task it runs in.
    auto flag = std::make_shared<std::atomic<bool>>(true);
    Writer::Stream stream;
    Task::runWithCancellationFlag(flag, [&] {
        Writer writer;
        EXPECT_THROW(writer.writePackets(std::span<const std::shared_ptr<QORPacket>>(packets), 1, 262144, std::nullopt,
                                         stream.continuation()),
                     CancellationError);
    });
}

struct LogCapture {
    LogCapture() {
        setLogSink([this](const LogLine& line) {
            std::lock_guard lock(mutex);
            if (line.filename == "QORModels/PacketsToFileDataAsyncStream") messages.push_back(line.message);
        });
    }
    ~LogCapture() { setLogSink({}); }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return messages;
    }
    std::mutex mutex;
    std::vector<std::string> messages;
};

/// The writer logs its time, with the reason when it failed, then the stream's end.
void expectWriterLogs(LogCapture& logs, bool cancelled) {
    auto lines = logs.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("time to write ", 0), 0u);
    if (cancelled) EXPECT_NE(lines[0].find(" - The operation was cancelled."), std::string::npos) << lines[0];
    else EXPECT_EQ(lines[0].find(" - "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "Stream terminated with status finished");
}

TEST(ClassicWriterStream, YieldsKilobytesThenTheBytesAndLogs) {
    LogCapture logs;
    auto packets = makePackets(uniformSpecs(130, 10));
    const Data expected = classicBytes(packets);
    Task task;
    Writer writer;
    auto stream = writer.startStream([&](Task t) { task = t; }, packets, 1, 262144, std::nullopt);
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
    task.wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, expected);
    EXPECT_EQ(kilobytes, (std::vector<double>{(24 + 64 * 26) / 1024.0, (24 + 128 * 26) / 1024.0, (24 + 130 * 26) / 1024.0}));
    expectWriterLogs(logs, false);
}

TEST(ClassicWriterStream, CancelledTaskEndsTheStreamWithTheErrorAndNoResult) {
    LogCapture logs;
    auto gate = std::make_shared<GateCache>();
    auto packets = makePackets(uniformSpecs(100, 10), gate);
    Task task;
    Writer writer;
    auto stream = writer.startStream([&](Task t) { task = t; }, packets, 1, 262144, std::nullopt);
    task.cancel();  // the task waits at its first packet until the gate opens
    gate->open();
    std::optional<ProgressUpdate<Data>> event;
    EXPECT_THROW(event = stream.next(), CancellationError);
    task.wait();
    expectWriterLogs(logs, true);
}

TEST(ClassicWriterStream, PacketProtocolListWorksWithoutAKeptTaskHandle) {
    auto packets = makePackets(uniformSpecs(5, 7));
    std::vector<PacketRef> refs(packets.begin(), packets.end());
    EXPECT_EQ(Writer::serialize(refs, 1, 262144, std::nullopt, {}, [] { return false; }), classicBytes(packets));
    EXPECT_EQ(Writer::expectedByteCount(refs), classicBytes(packets).size());
    Writer writer;
    auto stream = writer.startStream(nullptr, refs, 1, 262144, std::nullopt, std::filesystem::path("/tmp/unused.pcap"));
    std::optional<Data> result;
    while (auto event = stream.next())
        if (event->payload()) result = *event->payload();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, classicBytes(packets));
}

}  // namespace
}  // namespace qor::test
