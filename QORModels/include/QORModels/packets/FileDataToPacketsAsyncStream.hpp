#pragma once
// Reading a capture file's bytes into packet records, in the background, with progress.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
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

/// Reads classic pcap and pcapng files into packets, in the background, for a document.
///
/// `startStream` runs the read (`CaptureFileReader`) on a background task and yields
/// `bytesRead` events, then one `finished` event with the packets. The file's bytes are
/// registered in the data cache by reference (slices of the caller's buffer, which may be a
/// memory-mapped file), so reading copies no packet bytes. Cancelling the task stops the read at
/// the next packet of either container; the packets read so far are delivered.
///
/// Thread-safe: what the last read learnt (comment, metadata, secrets, link type, issue) lives
/// in a state object behind a mutex that running reads share with this object, so the object
/// may be destroyed while a read it started is still running. Reads may run concurrently.
class FileDataToPacketsAsyncStream {
public:
    using Stream = AsyncStream<ProgressUpdate<PacketList>>;

    FileDataToPacketsAsyncStream();
    ~FileDataToPacketsAsyncStream();

    /// Starts reading `data` (the whole file) in the background. `setTask` receives the task's
    /// handle, whose `cancel()` stops the read at the next packet (the packets read so far are
    /// delivered).
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

    /// The container of the last file read.
    [[nodiscard]] std::optional<CaptureContainerFormat> lastFormat() const;

    /// Merges TLS key-log texts found in a pcapng file into the per-trace key-log file (see
    /// `qor::bridgeSecretsToKeystore`).
    static void bridgeSecretsToKeystore(const std::vector<std::string>& secrets,
                                        const std::optional<std::filesystem::path>& fileURL);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace qor
