#pragma once
// Writing packets as a classic pcap file, in one call or as a stream with progress.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORModels/packets/ProgressUpdate.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/AsyncStream.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/Task.hpp"

namespace qor {

/// When a writer reports progress: after every 64th packet, or, when the expected output size
/// is known, each time the bytes written reach the next half percent of it (after every packet
/// when that step is 0); the writer reports once more with the final size at the end.
///
/// Not thread-safe; one per write.
class WriteProgressSchedule {
public:
    static constexpr std::uint64_t kPacketsPerReport = 64;
    static constexpr double kReportFraction = 0.005;

    explicit WriteProgressSchedule(std::optional<double> totalBytes);
    /// Whether to report after the packet just written (`packetsWritten` so far, `bytesWritten`
    /// bytes of output so far).
    bool due(std::uint64_t packetsWritten, double bytesWritten) {
        if (!threshold_) return packetsWritten % kPacketsPerReport == 0;
        return threshold_->shouldReport(bytesWritten);
    }

private:
    std::optional<ProgressThreshold> threshold_;
};

/// Writes packets as a little-endian classic pcap file (microsecond timestamps).
///
/// Layout written:
///
///     global header  magic A1B2C3D4 (bytes D4 C3 B2 A1), version 2.4, time zone 0,
///                    accuracy 0, snapshot length, link type          24 bytes
///     per packet     seconds, microseconds, captured length,
///                    original length                                 16 bytes
///                    the captured bytes (none when unavailable)
///
/// A packet whose bytes are not available is written with captured length 0. Link type and
/// snapshot length are 32-bit by type, so every value the caller can pass fits the header.
/// Times: seconds are the whole part of `dateReceived`, microseconds its fraction truncated,
/// except that a fraction within the time's floating-point rounding error below the next whole
/// microsecond counts as that microsecond (so a time read from a file, s + u/1e6, writes back
/// as exactly s and u). Times before 1970 are written as 0 and times past the 32-bit seconds
/// range as its largest value; the format cannot hold them.
///
/// Output is built in one growing buffer, reserved up front. Cancellation is checked at each
/// progress report point (before the report); a cancelled write throws `CancellationError` and
/// its partial bytes are dropped.
///
/// Thread safety: the object has no state; any number of writes may run at once on any threads.
/// The packets are only read (their data caches lock internally).
class PacketsToFileDataAsyncStream {
public:
    using Stream = AsyncStream<ProgressUpdate<Data>>;
    /// Receives the number of bytes written so far.
    using OnProgress = std::function<void(std::uint64_t bytesWritten)>;
    using IsCancelled = std::function<bool()>;

    PacketsToFileDataAsyncStream() = default;

    /// The classic pcap bytes of `packets`, on the calling thread. `totalBytes` is the expected
    /// output size (it paces the reports); `isCancelled` is asked at each report point, and a
    /// true answer throws `CancellationError`.
    static Data serialize(std::span<const PacketRef> packets, std::uint32_t linkType, std::uint32_t snapLen,
                          std::optional<double> totalBytes, const OnProgress& onProgress, const IsCancelled& isCancelled);
    static Data serialize(std::span<const std::shared_ptr<QORPacket>> packets, std::uint32_t linkType,
                          std::uint32_t snapLen, std::optional<double> totalBytes, const OnProgress& onProgress,
                          const IsCancelled& isCancelled);

    /// Receives the output chunk by chunk; false stops the write.
    using Sink = std::function<bool(std::span<const std::byte>)>;
    /// Streams the same bytes as `serialize` to `sink` in chunks of a few megabytes (so a file of
    /// any size is written without holding it in memory) and returns how many were written;
    /// nothing when the sink refused a chunk, after which nothing more is written.
    static std::optional<std::uint64_t> serializeTo(const Sink& sink, std::span<const std::shared_ptr<QORPacket>> packets,
                                                    std::uint32_t linkType, std::uint32_t snapLen,
                                                    std::optional<double> totalBytes, const OnProgress& onProgress,
                                                    const IsCancelled& isCancelled);

    /// Writes in the background: the stream yields `bytesRead` events (units of 1024 bytes
    /// written), then `finished` with the file's bytes, and ends; or ends with the error
    /// (`CancellationError` when the task handed to `setTask` is cancelled). `fileURL` names the
    /// destination for the caller's benefit and does not change the bytes.
    Stream startStream(const std::function<void(Task)>& setTask, std::vector<PacketRef> packets, std::uint32_t linkType,
                       std::uint32_t snapLen, std::optional<double> totalBytes,
                       std::optional<std::filesystem::path> fileURL = std::nullopt);
    Stream startStream(const std::function<void(Task)>& setTask, std::vector<std::shared_ptr<QORPacket>> packets,
                       std::uint32_t linkType, std::uint32_t snapLen, std::optional<double> totalBytes,
                       std::optional<std::filesystem::path> fileURL = std::nullopt);

    /// The body of the stream's task: writes on the calling thread, checks the current task's
    /// cancellation flag at each report point and yields `bytesRead` on `continuation`.
    Data writePackets(std::span<const PacketRef> packets, std::uint32_t linkType, std::uint32_t snapLen,
                      std::optional<double> totalBytes, const Stream::Continuation& continuation);
    Data writePackets(std::span<const std::shared_ptr<QORPacket>> packets, std::uint32_t linkType,
                      std::uint32_t snapLen, std::optional<double> totalBytes, const Stream::Continuation& continuation);

    /// The size of the classic output for `packets` when all their bytes are available.
    static std::uint64_t expectedByteCount(std::span<const PacketRef> packets);
    static std::uint64_t expectedByteCount(std::span<const std::shared_ptr<QORPacket>> packets);

    static constexpr std::size_t kGlobalHeaderLength = 24;
    static constexpr std::size_t kRecordHeaderLength = 16;
};

/// Writes a classic pcap file in parts to a sink, for a caller that streams packets from one
/// file to another without keeping them: the global header when made, each `append` the
/// packets it is given, `finish` the last chunk. The bytes are `serializeTo`'s for the packets of
/// all the appends, in order; progress and cancellation as for `serializeTo` (a cancelled write
/// throws `CancellationError` from `append` or `finish`).
///
/// Not thread-safe: one caller, packets in file order.
class ClassicPcapPartWriter {
public:
    using Sink = PacketsToFileDataAsyncStream::Sink;

    ClassicPcapPartWriter(Sink sink, std::uint32_t linkType, std::uint32_t snapLen, std::optional<double> totalBytes,
                          PacketsToFileDataAsyncStream::OnProgress onProgress = {},
                          PacketsToFileDataAsyncStream::IsCancelled isCancelled = {});
    ~ClassicPcapPartWriter();
    ClassicPcapPartWriter(const ClassicPcapPartWriter&) = delete;
    ClassicPcapPartWriter& operator=(const ClassicPcapPartWriter&) = delete;

    /// Writes `packets` after those of the earlier calls; false once the sink refused a chunk,
    /// after which nothing more is written.
    bool append(std::span<const std::shared_ptr<QORPacket>> packets);
    /// Hands the last chunk over: the bytes written in all, or nothing when the sink refused one.
    std::optional<std::uint64_t> finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qor
