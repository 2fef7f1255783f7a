// Classic pcap reading, the pcapng path and the key-store bridge.
//
// Classic pcap (fields in the byte order the magic gives):
//   global header, 24 bytes: magic, version major/minor (16 each), thiszone, sigfigs,
//                            snaplen, link type
//   records: seconds, sub-second fraction (µs or ns), captured length, original length,
//            then the captured bytes; no padding between records.

#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "QORCommonTools/ByteReader.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/Keylog.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORCommonTools/PCAPFileHeader.hpp"
#include "QORCommonTools/SequentialReader.hpp"
#include "QORCommonTools/TraceFingerprint.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/packets/PacketArena.hpp"
#include "QORPlatform/SearchPaths.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/FileDataToPacketsAsyncStream";
constexpr std::size_t kGlobalHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::size_t kProgressEveryRecords = 64;
/// The most records whose room is reserved up front (more still read, with growth).
constexpr std::size_t kMaxReservedRecords = std::size_t{1} << 26;

std::string elapsedSince(std::chrono::steady_clock::time_point start) {
    std::ostringstream s;
    s << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return s.str();
}

}  // namespace

FileDataToPacketsAsyncStream::Stream FileDataToPacketsAsyncStream::startStream(const std::function<void(Task)>& setTask,
                                                                            std::shared_ptr<QORDataCache> fileCache, Data data,
                                                                            std::optional<std::filesystem::path> fileURL) {
    Stream stream;
    auto continuation = stream.continuation();
    continuation.onTermination([](StreamTermination how) {
        qorLog(std::string("Stream terminated with status ") + (how == StreamTermination::finished ? "finished" : "cancelled"),
               kLogTag, "startStream", __LINE__);
    });
    Task task = Task::detached([this, continuation, fileCache = std::move(fileCache), data = std::move(data),
                                fileURL = std::move(fileURL)] {
        auto start = std::chrono::steady_clock::now();
        try {
            auto packets = parsePackets(data, fileCache, fileURL, &continuation);
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
    if (ByteReader(data).load<std::uint32_t>(0, false) == 0x0A0D0D0A) return parsePcapng(data, fileCache, fileURL, continuation);
    return parseClassic(data, fileCache, fileURL, continuation);
}

PacketList FileDataToPacketsAsyncStream::parseClassic(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                                                      const std::optional<std::filesystem::path>& fileURL,
                                                      const Stream::Continuation* continuation) {
    ByteReader file(data);
    auto magic = file.load<std::uint32_t>(0, false);
    auto header = PCAPFileHeader::parse(data);
    if (!header) {
        if (magic && data.size() >= kGlobalHeaderSize) {
            QOR_LOG(kLogTag, "Unknown libpcap type!");
            throw APIErrorException(APIError::invalidData, "not a pcap or pcapng capture file (unknown magic number)");
        }
        // Shorter than a global header: a known magic cut short, or not a capture at all.
        bool knownMagic = magic && (*magic == 0xA1B2C3D4 || *magic == 0xA1B23C4D || *magic == 0xA1B2CD34 ||
                                    *magic == 0xD4C3B2A1 || *magic == 0x4D3CB2A1 || *magic == 0x34CDB2A1);
        if (!knownMagic) QOR_LOG(kLogTag, "Unknown libpcap type!");
        throw APIErrorException(APIError::invalidData, knownMagic ? "pcap global header is truncated"
                                                                  : "not a pcap or pcapng capture file (unknown magic number)");
    }
    const bool swap = header->swapped == (std::endian::native == std::endian::little);
    const bool nano = header->nanosecond;
    {
        std::lock_guard lock(mutex_);
        lastLinkType_ = header->linktype;
    }
    auto linkName = InternedString::from(ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(header->linktype)));
    if (!fileURL) throw APIErrorException(APIError::invalidData, "a classic pcap file needs its file URL");
    auto source = std::make_shared<QORPacket::FileSource>(
        QORPacket::FileSource{*fileURL, static_cast<std::int64_t>(systemFileNumber(*fileURL).value_or(0))});

    // Size the packet list and the cache once, for as many records as the file could hold: the
    // reserved memory that is never touched costs nothing, and no growth copies happen while
    // reading. The bound is capped so that a huge file cannot ask for more than it will use.
    std::size_t bound = std::min<std::size_t>((data.size() - kGlobalHeaderSize) / kRecordHeaderSize, kMaxReservedRecords);
    PacketList packets;
    packets.reserve(bound);
    adviseHugePages(packets.data(), packets.capacity() * sizeof(packets[0]));
    if (fileCache) fileCache->reserve(bound);
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = fileCache;

    PacketArena* arena = PacketArena::create();
    struct CloseArena {
        PacketArena* a;
        ~CloseArena() { a->close(); }
    } closeArena{arena};
    std::optional<std::string> issue;
    const double divisor = nano ? 1e9 : 1e6;
    std::uint64_t consumed = kGlobalHeaderSize;
    std::size_t offset = kGlobalHeaderSize;
    double reference = 0;
    // Record headers are read through a window; the packet bytes stay slices of `data`.
    SequentialReader in(data);
    while (data.size() - offset >= kRecordHeaderSize) {
        if (Task::isCancelled()) {
            QOR_LOG(kLogTag, "Task is cancelled");
            break;
        }
        ByteReader record(*in.view(offset, kRecordHeaderSize));
        auto seconds = *record.load<std::uint32_t>(0, swap);
        auto fraction = *record.load<std::uint32_t>(4, swap);
        auto caplen = *record.load<std::uint32_t>(8, swap);
        auto origlen = *record.load<std::uint32_t>(12, swap);
        consumed += kRecordHeaderSize + std::uint64_t{caplen};
        double time = static_cast<double>(seconds) + static_cast<double>(fraction) / divisor;
        if (packets.empty()) reference = time;
        std::size_t location = offset + kRecordHeaderSize;
        if (std::uint64_t{caplen} > data.size() - location) {  // truncated last record
            issue = "record " + std::to_string(packets.size() + 1) + " at offset " + std::to_string(offset) + " claims " +
                    std::to_string(caplen) + " captured bytes but only " + std::to_string(data.size() - location) +
                    " remain; reading stopped there";
            break;
        }
        if (std::uint64_t{location} + caplen > UINT32_MAX) {
            QOR_LOG(kLogTag, "capture data beyond 4 GiB cannot be addressed; reading stops here");
            issue = "packet data beyond 4 GiB cannot be addressed; reading stopped at record " + std::to_string(packets.size() + 1);
            break;
        }
        auto packet = QORPacket::create(arena);
        packet->setPacketId(static_cast<std::int64_t>(packets.size()) + 1);
        packet->setDataLocation(static_cast<std::uint32_t>(location));
        packet->setCaptureLength(caplen);
        packet->setRealLength(origlen);
        packet->setLinkType(header->linktype);
        packet->setDateReceived(time);
        packet->setDateReference(reference);
        packet->set_packetTime(time - reference);
        packet->setFileSource(source);
        packet->setPacketProtocolAndHistory(linkName);
        if (fileCache) {
            fileCache->set(data.slice(location, caplen),
                           UInt32Range{static_cast<std::uint32_t>(location), static_cast<std::uint32_t>(location + caplen)});
            packet->setDataCache(cacheSlot);
        }
        packets.push_back(std::move(packet));
        if (continuation && packets.size() % kProgressEveryRecords == 0) {
            continuation->yield(ProgressUpdate<PacketList>::bytesRead(static_cast<double>(consumed) / 1024.0));
        }
        offset = location + caplen;
    }
    if (!issue && offset < data.size() && !Task::isCancelled()) {
        issue = std::to_string(data.size() - offset) + " trailing bytes after the last record are not a complete record header";
    }
    {
        std::lock_guard lock(mutex_);
        lastReadIssue_ = std::move(issue);
    }
    return packets;
}

PacketList FileDataToPacketsAsyncStream::parsePcapng(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                                                     const std::optional<std::filesystem::path>& fileURL,
                                                     const Stream::Continuation* continuation) {
    PcapngReader::Progress progress;
    if (continuation) {
        progress = [continuation](double kb) { continuation->yield(ProgressUpdate<PacketList>::bytesRead(kb)); };
    }
    auto result = PcapngReader::read(data, progress);
    std::shared_ptr<QORPacket::FileSource> source;
    if (fileURL) source = std::make_shared<QORPacket::FileSource>(QORPacket::FileSource{*fileURL, 0});
    if (fileCache) fileCache->reserve(result.packets.size());
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = fileCache;
    for (auto& packet : result.packets) {
        std::uint64_t end = std::uint64_t{packet->dataLocation()} + packet->captureLength();
        if (end > data.size() || end > UINT32_MAX) continue;
        if (fileCache) {
            fileCache->set(data.slice(packet->dataLocation(), packet->captureLength()),
                           UInt32Range{packet->dataLocation(), static_cast<std::uint32_t>(end)});
            packet->setDataCache(cacheSlot);
        }
        if (source) packet->setFileSource(source);
    }
    {
        std::lock_guard lock(mutex_);
        lastSectionComment_ = result.sectionComment;
        lastReadIssue_ = result.issue;
        lastPcapngMetadata_ = result.metadata.isEmpty() ? std::nullopt : std::optional<PcapngMetadata>(result.metadata);
        lastSecrets_ = result.secrets;
    }
    bridgeSecretsToKeystore(result.secrets, fileURL);
    return std::move(result.packets);
}

std::optional<std::string> FileDataToPacketsAsyncStream::lastSectionComment() const {
    std::lock_guard lock(mutex_);
    return lastSectionComment_;
}

std::optional<PcapngMetadata> FileDataToPacketsAsyncStream::lastPcapngMetadata() const {
    std::lock_guard lock(mutex_);
    return lastPcapngMetadata_;
}

std::vector<std::string> FileDataToPacketsAsyncStream::lastSecrets() const {
    std::lock_guard lock(mutex_);
    return lastSecrets_;
}

std::optional<std::string> FileDataToPacketsAsyncStream::lastReadIssue() const {
    std::lock_guard lock(mutex_);
    return lastReadIssue_;
}

std::optional<std::uint32_t> FileDataToPacketsAsyncStream::lastLinkType() const {
    std::lock_guard lock(mutex_);
    return lastLinkType_;
}

void FileDataToPacketsAsyncStream::bridgeSecretsToKeystore(const std::vector<std::string>& secrets,
                                                           const std::optional<std::filesystem::path>& fileURL) {
    if (!fileURL || secrets.empty()) return;
    auto fingerprint = TraceFingerprint::fingerprint(*fileURL, TraceFingerprint::defaultFullHashThreshold,
                                                     TraceFingerprint::defaultBlockSize);
    if (!fingerprint) return;
    KeylogLocations::ensureDirectories();
    auto target = KeylogLocations::traceEntry(*fingerprint);
    std::string existing;
    {
        std::ifstream in(target, std::ios::binary);
        if (in) existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string incoming;
    for (std::size_t i = 0; i < secrets.size(); ++i) incoming += (i ? "\n" : "") + secrets[i];
    auto lines = KeylogMigrator::newLines(existing, incoming);
    if (lines.empty()) return;
    std::string content = existing;
    if (!content.empty() && content.back() != '\n') content += "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) content += (i ? "\n" : "") + lines[i];
    content += "\n";
    writeFileAtomically(target, content);
    QOR_LOG("QORModels/FileDataToPacketsAsyncStream", "pcapng: bridged " + std::to_string(lines.size()) +
                                                          " DSB key line(s) for " + fileURL->filename().string());
}

}  // namespace qor
