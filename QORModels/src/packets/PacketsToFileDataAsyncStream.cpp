#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"

#include <cassert>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "CaptureOutputBuffer.hpp"
#include "QORLog/QORLog.hpp"

namespace qor {

namespace {

constexpr const char* kLogTag = "QORModels/PacketsToFileDataAsyncStream";
constexpr std::uint32_t kClassicMagic = 0xA1B2C3D4;
constexpr std::uint16_t kClassicVersionMajor = 2;
constexpr std::uint16_t kClassicVersionMinor = 4;
constexpr double kMicrosecondsPerSecond = 1'000'000.0;
constexpr double kKilobyte = 1024.0;

struct ClassicTime {
    std::uint32_t seconds;
    std::uint32_t microseconds;
};

/// Whole seconds and truncated microseconds of `time`, counting a fraction that lies within the
/// time's own rounding error below the next microsecond as that microsecond; clamped to what
/// the header can hold.
ClassicTime classicTime(double time) {
    constexpr double kSecondsLimit = 4294967296.0;  // 2^32
    if (!(time > 0)) return {0, 0};                 // before 1970, or NaN
    if (time >= kSecondsLimit) return {std::numeric_limits<std::uint32_t>::max(), 999'999};
    const double whole = std::trunc(time);
    const double tolerance = (std::nextafter(time, kSecondsLimit) - time) * kMicrosecondsPerSecond;
    auto seconds = static_cast<std::uint64_t>(whole);
    auto micros = static_cast<std::uint64_t>(std::floor((time - whole) * kMicrosecondsPerSecond + tolerance));
    if (micros >= 1'000'000) {
        seconds += 1;
        micros -= 1'000'000;
    }
    if (seconds > std::numeric_limits<std::uint32_t>::max()) return {std::numeric_limits<std::uint32_t>::max(), 999'999};
    return {static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(micros)};
}

template <class Ptr>
std::uint64_t expectedClassicBytes(std::span<const Ptr> packets) {
    std::uint64_t total = PacketsToFileDataAsyncStream::kGlobalHeaderLength;
    for (const auto& p : packets) total += PacketsToFileDataAsyncStream::kRecordHeaderLength + p->captureLength();
    return total;
}

void writeClassicHeader(CaptureOutputBuffer& out, std::uint32_t linkType, std::uint32_t snapLen) {
    out.u32(kClassicMagic);
    out.u16(kClassicVersionMajor);
    out.u16(kClassicVersionMinor);
    out.u32(0);  // time-zone offset
    out.u32(0);  // timestamp accuracy
    out.u32(snapLen);
    out.u32(linkType);
}

/// Packets written so far and the progress reports due.
struct RecordCursor {
    explicit RecordCursor(std::optional<double> totalBytes) : schedule(totalBytes) {}
    WriteProgressSchedule schedule;
    std::uint64_t written = 0;
};

/// One record per packet; false when the sink refused a chunk. `checkCancelled()` throws to
/// stop, `report(bytes)` delivers a progress report.
template <class Ptr, class Check, class Report>
bool writeClassicRecords(CaptureOutputBuffer& out, std::span<const Ptr> packets, RecordCursor& cursor, Check&& checkCancelled,
                         Report&& report) {
    for (const auto& packet : packets) {
        assert(packet && "packets must not be null");
        const std::optional<Data> bytes = bytesToWrite(packet);
        const ClassicTime time = classicTime(packet->dateReceived());
        const auto captured = static_cast<std::uint32_t>(bytes ? bytes->size() : 0);
        out.u32(time.seconds);
        out.u32(time.microseconds);
        out.u32(captured);
        out.u32(packet->realLength());
        if (bytes) out.append(*bytes);
        if (out.stopped()) return false;
        ++cursor.written;
        if (cursor.schedule.due(cursor.written, static_cast<double>(out.size()))) {
            checkCancelled();
            report(static_cast<std::uint64_t>(out.size()));
        }
    }
    return true;
}

/// The shared body of `serialize` and `writePackets`.
template <class Ptr, class Check, class Report>
void writeClassicInto(CaptureOutputBuffer& out, std::span<const Ptr> packets, std::uint32_t linkType,
                      std::uint32_t snapLen, std::optional<double> totalBytes, Check&& checkCancelled, Report&& report) {
    writeClassicHeader(out, linkType, snapLen);
    RecordCursor cursor(totalBytes);
    if (!writeClassicRecords(out, packets, cursor, checkCancelled, report)) return;
    checkCancelled();
    report(static_cast<std::uint64_t>(out.size()));
}

template <class Ptr, class Check, class Report>
Data writeClassic(std::span<const Ptr> packets, std::uint32_t linkType, std::uint32_t snapLen,
                  std::optional<double> totalBytes, Check&& checkCancelled, Report&& report) {
    CaptureOutputBuffer out;
    out.reserve(static_cast<std::size_t>(expectedClassicBytes(packets)));
    writeClassicInto(out, packets, linkType, snapLen, totalBytes, checkCancelled, report);
    return out.take();
}

template <class Ptr>
Data serializeImpl(std::span<const Ptr> packets, std::uint32_t linkType, std::uint32_t snapLen,
                   std::optional<double> totalBytes, const PacketsToFileDataAsyncStream::OnProgress& onProgress,
                   const PacketsToFileDataAsyncStream::IsCancelled& isCancelled) {
    return writeClassic(
        packets, linkType, snapLen, totalBytes,
        [&] {
            if (isCancelled && isCancelled()) throw CancellationError();
        },
        [&](std::uint64_t bytes) {
            if (onProgress) onProgress(bytes);
        });
}

template <class Ptr>
Data writePacketsImpl(std::span<const Ptr> packets, std::uint32_t linkType, std::uint32_t snapLen,
                      std::optional<double> totalBytes, const PacketsToFileDataAsyncStream::Stream::Continuation& continuation) {
    return writeClassic(
        packets, linkType, snapLen, totalBytes, [] { Task::checkCancellation(); },
        [&](std::uint64_t bytes) {
            continuation.yield(ProgressUpdate<Data>::bytesRead(static_cast<double>(bytes) / kKilobyte));
        });
}

std::string errorDescription(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

template <class Ptr>
PacketsToFileDataAsyncStream::Stream startStreamImpl(const std::function<void(Task)>& setTask, std::vector<Ptr> packets,
                                                     std::uint32_t linkType, std::uint32_t snapLen,
                                                     std::optional<double> totalBytes) {
    PacketsToFileDataAsyncStream::Stream stream;
    auto continuation = stream.continuation();
    // The handler also keeps the task's handle, so that a caller who does not keep it is not
    // blocked here until the write ends; the handle goes when the stream ends. A consumer that
    // gives up on the stream cancels the write.
    auto taskHolder = std::make_shared<Task>();
    continuation.onTermination([taskHolder](StreamTermination how) {
        if (how == StreamTermination::cancelled) taskHolder->cancel();
        QOR_LOG(kLogTag, std::string("Stream terminated with status ") +
                             (how == StreamTermination::finished ? "finished" : "cancelled"));
    });
    Task task = Task::detached([continuation, packets = std::move(packets), linkType, snapLen, totalBytes] {
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] { return std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()); };
        try {
            PacketsToFileDataAsyncStream writer;
            Data bytes = writer.writePackets(std::span<const Ptr>(packets), linkType, snapLen, totalBytes, continuation);
            continuation.yield(ProgressUpdate<Data>::finished(std::move(bytes)));
            QOR_LOG(kLogTag, "time to write " + elapsed());
            continuation.finish();
        } catch (...) {
            auto error = std::current_exception();
            QOR_LOG(kLogTag, "time to write " + elapsed() + " - " + errorDescription(error));
            continuation.finish(error);
        }
    });
    *taskHolder = task;
    if (setTask) setTask(task);
    return stream;
}

}  // namespace

WriteProgressSchedule::WriteProgressSchedule(std::optional<double> totalBytes) {
    if (totalBytes) threshold_.emplace(*totalBytes, kReportFraction);
}

Data PacketsToFileDataAsyncStream::serialize(std::span<const PacketRef> packets, std::uint32_t linkType,
                                             std::uint32_t snapLen, std::optional<double> totalBytes,
                                             const OnProgress& onProgress, const IsCancelled& isCancelled) {
    return serializeImpl(packets, linkType, snapLen, totalBytes, onProgress, isCancelled);
}

Data PacketsToFileDataAsyncStream::serialize(std::span<const std::shared_ptr<QORPacket>> packets, std::uint32_t linkType,
                                             std::uint32_t snapLen, std::optional<double> totalBytes,
                                             const OnProgress& onProgress, const IsCancelled& isCancelled) {
    return serializeImpl(packets, linkType, snapLen, totalBytes, onProgress, isCancelled);
}

std::optional<std::uint64_t> PacketsToFileDataAsyncStream::serializeTo(
    const Sink& sink, std::span<const std::shared_ptr<QORPacket>> packets, std::uint32_t linkType, std::uint32_t snapLen,
    std::optional<double> totalBytes, const OnProgress& onProgress, const IsCancelled& isCancelled) {
    ClassicPcapPartWriter writer(sink, linkType, snapLen, totalBytes, onProgress, isCancelled);
    writer.append(packets);
    return writer.finish();
}

struct ClassicPcapPartWriter::State {
    State(std::optional<double> totalBytes, PacketsToFileDataAsyncStream::OnProgress p,
          PacketsToFileDataAsyncStream::IsCancelled c)
        : cursor(totalBytes), onProgress(std::move(p)), isCancelled(std::move(c)) {}
    CaptureOutputBuffer out;
    RecordCursor cursor;
    PacketsToFileDataAsyncStream::OnProgress onProgress;
    PacketsToFileDataAsyncStream::IsCancelled isCancelled;

    void checkCancelled() const {
        if (isCancelled && isCancelled()) throw CancellationError();
    }
    void report(std::uint64_t bytes) const {
        if (onProgress) onProgress(bytes);
    }
};

ClassicPcapPartWriter::ClassicPcapPartWriter(Sink sink, std::uint32_t linkType, std::uint32_t snapLen,
                                             std::optional<double> totalBytes,
                                             PacketsToFileDataAsyncStream::OnProgress onProgress,
                                             PacketsToFileDataAsyncStream::IsCancelled isCancelled)
    : state_(std::make_unique<State>(totalBytes, std::move(onProgress), std::move(isCancelled))) {
    state_->out.streamTo(std::move(sink));
    writeClassicHeader(state_->out, linkType, snapLen);
}

ClassicPcapPartWriter::~ClassicPcapPartWriter() = default;

bool ClassicPcapPartWriter::append(std::span<const std::shared_ptr<QORPacket>> packets) {
    State& s = *state_;
    if (s.out.stopped()) return false;
    return writeClassicRecords(
        s.out, packets, s.cursor, [&] { s.checkCancelled(); }, [&](std::uint64_t bytes) { s.report(bytes); });
}

std::optional<std::uint64_t> ClassicPcapPartWriter::finish() {
    State& s = *state_;
    if (!s.out.stopped()) {
        s.checkCancelled();
        s.report(s.out.size());
    }
    if (!s.out.finish()) return std::nullopt;
    return s.out.size();
}

PacketsToFileDataAsyncStream::Stream PacketsToFileDataAsyncStream::startStream(const std::function<void(Task)>& setTask,
                                                                               std::vector<PacketRef> packets,
                                                                               std::uint32_t linkType, std::uint32_t snapLen,
                                                                               std::optional<double> totalBytes,
                                                                               std::optional<std::filesystem::path>) {
    return startStreamImpl(setTask, std::move(packets), linkType, snapLen, totalBytes);
}

PacketsToFileDataAsyncStream::Stream PacketsToFileDataAsyncStream::startStream(
    const std::function<void(Task)>& setTask, std::vector<std::shared_ptr<QORPacket>> packets, std::uint32_t linkType,
    std::uint32_t snapLen, std::optional<double> totalBytes, std::optional<std::filesystem::path>) {
    return startStreamImpl(setTask, std::move(packets), linkType, snapLen, totalBytes);
}

Data PacketsToFileDataAsyncStream::writePackets(std::span<const PacketRef> packets, std::uint32_t linkType,
                                                std::uint32_t snapLen, std::optional<double> totalBytes,
                                                const Stream::Continuation& continuation) {
    return writePacketsImpl(packets, linkType, snapLen, totalBytes, continuation);
}

Data PacketsToFileDataAsyncStream::writePackets(std::span<const std::shared_ptr<QORPacket>> packets,
                                                std::uint32_t linkType, std::uint32_t snapLen,
                                                std::optional<double> totalBytes, const Stream::Continuation& continuation) {
    return writePacketsImpl(packets, linkType, snapLen, totalBytes, continuation);
}

std::uint64_t PacketsToFileDataAsyncStream::expectedByteCount(std::span<const PacketRef> packets) {
    return expectedClassicBytes(packets);
}

std::uint64_t PacketsToFileDataAsyncStream::expectedByteCount(std::span<const std::shared_ptr<QORPacket>> packets) {
    return expectedClassicBytes(packets);
}

}  // namespace qor
