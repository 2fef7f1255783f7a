#pragma once
// Reading a capture file's bytes into packet records, in the background, with progress.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/ProgressUpdate.hpp"
#include "QORModels/packets/QORDataCache.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/AsyncStream.hpp"
#include "QORPlatform/Task.hpp"

namespace qor {

using PacketList = std::vector<std::shared_ptr<QORPacket>>;

/// A classic pcap record header, as offered to callers (not used by the parser).
struct pcap_custom_hdr {
    std::uint32_t tv_sec = 0;
    std::uint32_t tv_usec = 0;
    std::uint32_t caplen = 0;
    std::uint32_t len = 0;
};

/// Reads classic pcap and pcapng files into packets.
///
/// `startStream` runs the parse on a background task and yields `bytesRead` events, then one
/// `finished` event with the packets. The file's bytes are registered in the data cache by
/// reference (slices of the caller's buffer, which may be a memory-mapped file), so reading
/// copies no packet bytes. Thread-safe: the object's own state (the last pcapng comment and
/// metadata) is guarded by a mutex; parses may run concurrently.
class FileDataToPacketsAsyncStream {
public:
    using Stream = AsyncStream<ProgressUpdate<PacketList>>;

    FileDataToPacketsAsyncStream() = default;

    /// Starts reading `data` (the whole file) in the background. `setTask` receives the task's
    /// handle, whose `cancel()` stops a classic read at the next record (the packets read so far
    /// are delivered).
    Stream startStream(const std::function<void(Task)>& setTask, std::shared_ptr<QORDataCache> fileCache, Data data,
                       std::optional<std::filesystem::path> fileURL);

    /// Parses on the calling thread. Throws `APIErrorException(invalidData)` for a file that is
    /// neither format, a classic header cut short, or a classic file without a URL.
    PacketList parsePackets(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                            const std::optional<std::filesystem::path>& fileURL, const Stream::Continuation* continuation);

    [[nodiscard]] std::optional<std::string> lastSectionComment() const;
    [[nodiscard]] std::optional<PcapngMetadata> lastPcapngMetadata() const;
    /// The TLS key-log texts of the Decryption Secrets Blocks of the last pcapng file read (like
    /// the comment and metadata, replaced only by a pcapng read), so that a writer can carry them
    /// on without reading the file again.
    [[nodiscard]] std::vector<std::string> lastSecrets() const;
    /// The link type of the last classic file read.
    [[nodiscard]] std::optional<std::uint32_t> lastLinkType() const;
    /// What was wrong with the last file read, when reading stopped early or skipped records (a
    /// truncated last record, a record or block whose length runs past the end of the file);
    /// nothing for a clean file. The packets before the fault are delivered either way.
    [[nodiscard]] std::optional<std::string> lastReadIssue() const;

    /// Merges TLS key-log texts found in a pcapng file into the per-trace key-log file.
    static void bridgeSecretsToKeystore(const std::vector<std::string>& secrets,
                                        const std::optional<std::filesystem::path>& fileURL);

private:
    PacketList parseClassic(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                            const std::optional<std::filesystem::path>& fileURL, const Stream::Continuation* continuation);
    PacketList parsePcapng(const Data& data, const std::shared_ptr<QORDataCache>& fileCache,
                           const std::optional<std::filesystem::path>& fileURL, const Stream::Continuation* continuation);

    mutable std::mutex mutex_;
    std::optional<std::string> lastSectionComment_;
    std::optional<PcapngMetadata> lastPcapngMetadata_;
    std::vector<std::string> lastSecrets_;
    std::optional<std::uint32_t> lastLinkType_;
    std::optional<std::string> lastReadIssue_;
};

}  // namespace qor
