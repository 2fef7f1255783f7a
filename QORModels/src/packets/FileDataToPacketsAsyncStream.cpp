// Reading a capture in the background: the reader runs on a task, registers each packet's bytes
// in the file's data cache and reports progress on the stream.

#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"

#include <chrono>
#include <mutex>
#include <sstream>

#include "PacketCollection.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/SecretsKeystoreBridge.hpp"

namespace qor {

/// What the last read learnt, shared by the reader object and the reads it started.
struct FileDataToPacketsAsyncStream::State {
    mutable std::mutex mutex;
    std::optional<std::string> lastSectionComment;
    std::optional<PcapngMetadata> lastPcapngMetadata;
    std::vector<std::string> lastSecrets;
    std::optional<std::uint32_t> lastLinkType;
    std::optional<std::string> lastReadIssue;
    std::optional<CaptureContainerFormat> lastFormat;

    /// Keeps what a finished read learnt: the pcapng facts only from a pcapng file, the link
    /// type only from a classic one, the issue and the format from either.
    void record(const CaptureReadResult& r) {
        std::lock_guard lock(mutex);
        lastFormat = r.format;
        lastReadIssue = r.issue;
        if (r.format == CaptureContainerFormat::pcapng) {
            lastSectionComment = r.sectionComment;
            lastPcapngMetadata = r.metadata;
            lastSecrets = r.secrets;
        } else if (r.classicHeader) {
            lastLinkType = r.classicHeader->linktype;
        }
    }

    template <class T>
    T get(T State::*field) const {
        std::lock_guard lock(mutex);
        return this->*field;
    }
};

namespace {

constexpr const char* kLogTag = "QORModels/FileDataToPacketsAsyncStream";
/// Packets handed on between two questions whether the read was cancelled (a few microseconds).
constexpr std::size_t kCancellationInterval = 1024;
using State = FileDataToPacketsAsyncStream::State;

std::string elapsedSince(std::chrono::steady_clock::time_point start) {
    std::ostringstream s;
    s << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return s.str();
}

/// The read itself: every packet of the file, its bytes registered in `fileCache`, and what the
/// file said kept in `state`.
PacketList readAll(State& state, const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                   const std::optional<std::filesystem::path>& fileURL,
                   const FileDataToPacketsAsyncStream::Stream::Continuation* continuation) {
    auto format = detectCaptureContainerFormat(data);
    if (format == CaptureContainerFormat::pcap && !fileURL) {
        throw APIErrorException(APIError::invalidData, "a classic pcap file needs its file URL");
    }
    std::shared_ptr<const QORPacket::FileSource> source;
    if (fileURL) {
        auto fileNumber = format == CaptureContainerFormat::pcap ? systemFileNumber(*fileURL).value_or(0) : 0;
        source = std::make_shared<QORPacket::FileSource>(QORPacket::FileSource{*fileURL, static_cast<std::int64_t>(fileNumber)});
    }
    auto bound = PacketCollection::upperBound(format.value_or(CaptureContainerFormat::pcap), data.size());
    PacketCollection packets(bound);
    if (fileCache) fileCache->reserve(packets.reserved());
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = fileCache;

    ReadProgress progress;
    if (continuation) {
        progress = [continuation](double kb) { continuation->yield(ProgressUpdate<PacketList>::bytesRead(kb)); };
    }
    // Cancellation is asked at the first packet and then once per `kCancellationInterval`: the
    // question reads thread-local state, which costs more than the rest of a packet's hand-off.
    std::size_t untilCancellationCheck = 0;
    auto sink = [&](std::shared_ptr<QORPacket> packet) {
        if (untilCancellationCheck-- == 0) {
            untilCancellationCheck = kCancellationInterval - 1;
            if (Task::isCancelled()) {
                QOR_LOG(kLogTag, "Task is cancelled");
                return false;
            }
        }
        // Readers hand out only packets whose bytes lie within the data and below 4 GiB.
        const std::uint32_t location = packet->dataLocation();
        const std::uint32_t length = packet->captureLength();
        if (fileCache) {
            fileCache->set(data.slice(location, length), UInt32Range{location, location + length});
            packet->setDataCache(cacheSlot);
        }
        if (source) packet->setFileSource(source);
        packets.add(std::move(packet));
        return true;
    };
    auto result = CaptureFileReader::read(data, sink, progress, packets.arena());
    state.record(result);
    if (result.format == CaptureContainerFormat::pcapng) bridgeSecretsToKeystore(result.secrets, fileURL);
    return packets.take();
}

}  // namespace

FileDataToPacketsAsyncStream::FileDataToPacketsAsyncStream() : state_(std::make_shared<State>()) {}
FileDataToPacketsAsyncStream::~FileDataToPacketsAsyncStream() = default;

FileDataToPacketsAsyncStream::Stream FileDataToPacketsAsyncStream::startStream(const std::function<void(Task)>& setTask,
                                                                            std::shared_ptr<QORDataCache> fileCache, Data data,
                                                                            std::optional<std::filesystem::path> fileURL) {
    Stream stream;
    auto continuation = stream.continuation();
    continuation.onTermination([](StreamTermination how) {
        qorLog(std::string("Stream terminated with status ") + (how == StreamTermination::finished ? "finished" : "cancelled"),
               kLogTag, "startStream", __LINE__);
    });
    // The task holds the shared state, never this object, which may be gone before it ends.
    Task task = Task::detached([state = state_, continuation, fileCache = std::move(fileCache), data = std::move(data),
                                fileURL = std::move(fileURL)] {
        auto start = std::chrono::steady_clock::now();
        try {
            auto packets = readAll(*state, data, fileCache, fileURL, &continuation);
            continuation.yield(ProgressUpdate<PacketList>::finished(std::move(packets)));
            QOR_LOG(kLogTag, "time to read " + elapsedSince(start));
            continuation.finish();
        } catch (...) {
            QOR_LOG(kLogTag, "time to read " + elapsedSince(start));
            continuation.finish(std::current_exception());
        }
    });
    if (setTask) setTask(task);
    return stream;
}

PacketList FileDataToPacketsAsyncStream::parsePackets(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                                                      const std::optional<std::filesystem::path>& fileURL,
                                                      const Stream::Continuation* continuation) {
    return readAll(*state_, data, fileCache, fileURL, continuation);
}

std::optional<std::string> FileDataToPacketsAsyncStream::lastSectionComment() const { return state_->get(&State::lastSectionComment); }
std::optional<PcapngMetadata> FileDataToPacketsAsyncStream::lastPcapngMetadata() const { return state_->get(&State::lastPcapngMetadata); }
std::vector<std::string> FileDataToPacketsAsyncStream::lastSecrets() const { return state_->get(&State::lastSecrets); }
std::optional<std::string> FileDataToPacketsAsyncStream::lastReadIssue() const { return state_->get(&State::lastReadIssue); }
std::optional<std::uint32_t> FileDataToPacketsAsyncStream::lastLinkType() const { return state_->get(&State::lastLinkType); }
std::optional<CaptureContainerFormat> FileDataToPacketsAsyncStream::lastFormat() const { return state_->get(&State::lastFormat); }

void FileDataToPacketsAsyncStream::bridgeSecretsToKeystore(const std::vector<std::string>& secrets,
                                                           const std::optional<std::filesystem::path>& fileURL) {
    qor::bridgeSecretsToKeystore(secrets, fileURL);
}

}  // namespace qor
