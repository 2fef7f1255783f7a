#pragma once
// Reading a capture file for a command, through the library's reading stream.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/analysis/PacketWindowAnalysis.hpp"
#include "QORModels/analysis/RecordWindowAnalysis.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"

namespace qor::cli {

/// What reading a capture file learnt about it.
struct CaptureFacts {
    std::filesystem::path path;
    bool isPcapng = false;
    std::uint64_t fileSize = 0;
    std::optional<std::uint32_t> classicLinkType;
    std::optional<std::string> sectionComment;
    std::optional<PcapngMetadata> metadata;
    /// The texts of the file's TLS key-log Decryption Secrets Blocks (pcapng only).
    std::vector<std::string> secrets;
    /// Why reading stopped early, when it did (the packets before the fault were read).
    std::optional<std::string> issue;
};

/// A capture file read into packets, with what the reader learnt about it.
struct LoadedCapture : CaptureFacts {
    PacketList packets;
    std::shared_ptr<QORDataCache> cache;
};

/// Reads `path` with the library's background reading stream. `onProgress` hears the bytes
/// consumed so far. Throws `CommandFailure` (status 1) with "FILE: what is wrong" for a file
/// that cannot be opened or is not a capture.
LoadedCapture loadCapture(const std::filesystem::path& path, const std::function<void(double bytes)>& onProgress = {});

/// `loadCapture` with a progress bar on standard error while it reads, when standard error is a
/// terminal and the file is large enough for one.
LoadedCapture loadCaptureShowingProgress(const std::filesystem::path& path);

/// Reads `path` in one pass without keeping its packets (`PacketWindowAnalysis`): each window of
/// packets is analysed (when `analyse`) on all cores, shown to `eachPacket` on the analysing
/// threads and to `eachWindow` in file order, then dropped. A progress bar shows on standard
/// error as for `loadCaptureShowingProgress`. Fails as `loadCapture` does. `releasePages` as in
/// `PacketWindowAnalysis::Options` (off when the packets' bytes are read again afterwards), and
/// `windowSize` the packets of a window, and `showDuringNextWindow` as in the options too (each
/// window shown while the next one is analysed; packet slots then span two windows). The
/// packets' bytes lie in a read-only mapping of the file, whose pages a visitor done with them
/// may let go (`releaseMappedPages`); `releaseStep` as in the options.
CaptureFacts streamCapture(const std::filesystem::path& path, const PacketWindowAnalysis::PacketVisitor& eachPacket,
                           const PacketWindowAnalysis::WindowVisitor& eachWindow, bool analyse, bool releasePages = true,
                           std::size_t windowSize = PacketWindowAnalysis::kDefaultWindow, bool showDuringNextWindow = false,
                           std::size_t releaseStep = 0);

/// `streamCapture` over the file's records instead of its packets (`RecordWindowAnalysis`): no
/// packet object is made; `eachRecord` sees each record with its bytes on the workers,
/// `eachWindow` each window in file order. The options as for `streamCapture`.
CaptureFacts streamRecords(const std::filesystem::path& path, const RecordWindowAnalysis::RecordVisitor& eachRecord,
                           const RecordWindowAnalysis::WindowVisitor& eachWindow, bool releasePages = true,
                           std::size_t windowSize = PacketWindowAnalysis::kDefaultWindow, bool showDuringNextWindow = false,
                           std::size_t releaseStep = 0);

/// Receives a window of snapshots in file order. The caller may take the snapshots (swap the
/// vector's contents out); what it leaves is dropped. Returns false to stop the read.
using SnapshotWindowVisitor = std::function<bool(std::vector<PacketSnapshot>& window)>;

/// Reads `path` record by record without making a packet for any (`RecordWindowAnalysis` with no
/// work on the records): each window of `windowSize` records is handed to `eachWindow` as the
/// snapshots of its packets, on this thread, in file order, as soon as it is read. Every
/// snapshot reads its bytes through one cache of the file's read-only mapping and names the file
/// by one shared path; the record headers are read through a reused buffer, so the mapping's
/// pages are only those the visitor reads (and it may let them go, `releaseMappedPages`).
/// Progress bar, facts and failures as for `streamCapture`.
CaptureFacts streamSnapshots(const std::filesystem::path& path, const SnapshotWindowVisitor& eachWindow, std::size_t windowSize);

/// Throws `CommandFailure` (status 2) naming the file and the fault when reading stopped early;
/// commands call it after printing what was read.
void reportReadIssue(const CaptureFacts& capture);

/// Keeps `held` (reachable, so leak checkers stay quiet) until the process exits.
void holdUntilExit(std::shared_ptr<void> held);

/// Keeps `value` alive until the process exits and gives it back. Commands call it when they
/// are done with a large capture or result: qor exits right after, and freeing a million packet
/// records and their analyzer chains (or a million session events) one by one takes longer than
/// the operating system needs to reclaim the whole process.
template <class T>
const T& keepUntilExit(T value) {
    auto kept = std::make_shared<T>(std::move(value));
    const T& result = *kept;
    holdUntilExit(std::move(kept));
    return result;
}

/// Whether standard error is a terminal and the file is large enough for a progress bar.
bool wantsProgressBar(std::uint64_t fileSize);

}  // namespace qor::cli
