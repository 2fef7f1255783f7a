#include "CaptureLoading.hpp"

#include <unistd.h>

#include <memory>
#include <vector>

#include "Command.hpp"
#include "ProgressBar.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"
#include "QORModels/packets/SecretsKeystoreBridge.hpp"
#include "QORModels/support/OwnCount.hpp"

namespace qor::cli {

namespace {
/// Files below this size read too fast for a progress bar to help.
constexpr std::uint64_t kProgressBarMinimumBytes = 32ull * 1024 * 1024;
}

bool wantsProgressBar(std::uint64_t fileSize) { return fileSize >= kProgressBarMinimumBytes && ::isatty(STDERR_FILENO); }

namespace {

/// The file's bytes, mapped; `CommandFailure` (status 1) naming the file when it cannot be.
Data mapCapture(const std::filesystem::path& path) {
    std::string error;
    auto data = mapFile(path, &error);
    if (!data) throw CommandFailure(1, path.string() + ": " + error);
    return *data;
}

}  // namespace

LoadedCapture loadCapture(const std::filesystem::path& path, const std::function<void(double)>& onProgress) {
    Data data = mapCapture(path);
    LoadedCapture capture;
    capture.path = path;
    capture.fileSize = data.size();
    capture.cache = std::make_shared<QORDataCache>(path, false);

    FileDataToPacketsAsyncStream reader;
    auto stream = reader.startStream({}, capture.cache, data, path);
    try {
        while (auto update = stream.next()) {
            if (auto* packets = update->payload()) {
                capture.packets = std::move(*packets);
            } else if (auto kb = ProgressUpdateTranslation::bytesReadValue(*update); kb && onProgress) {
                onProgress(*kb * 1024.0);
            }
        }
    } catch (const APIErrorException& e) {
        throw CommandFailure(1, path.string() + ": " + e.what());
    }
    capture.isPcapng = reader.lastFormat() == CaptureContainerFormat::pcapng;
    capture.classicLinkType = capture.isPcapng ? std::nullopt : reader.lastLinkType();
    capture.sectionComment = reader.lastSectionComment();
    capture.metadata = reader.lastPcapngMetadata();
    capture.secrets = reader.lastSecrets();
    capture.issue = reader.lastReadIssue();
    if (onProgress) onProgress(static_cast<double>(capture.fileSize));
    return capture;
}

namespace {

/// What the reader learnt about the file, into `facts`; the file's embedded key-log lines go to
/// the key store (opening a file hands them over, whichever way it is read).
void takeReadResult(CaptureFacts& facts, CaptureReadResult&& result) {
    facts.isPcapng = result.format == CaptureContainerFormat::pcapng;
    if (!facts.isPcapng && result.classicHeader) facts.classicLinkType = result.classicHeader->linktype;
    facts.sectionComment = std::move(result.sectionComment);
    facts.metadata = std::move(result.metadata);
    facts.secrets = std::move(result.secrets);
    facts.issue = std::move(result.issue);
    bridgeSecretsToKeystore(facts.secrets, facts.path);
}

/// Runs `read` (which reports progress in kilobytes to the callback it is given) under a
/// progress bar, and gives the facts of the read: a file that is no capture fails as
/// `loadCapture` fails.
template <class Read>
CaptureFacts readShowingProgress(const std::filesystem::path& path, const Data& data, const Read& read) {
    CaptureFacts facts;
    facts.path = path;
    facts.fileSize = data.size();
    ProgressBar bar(facts.fileSize, facts.fileSize > 0 && wantsProgressBar(facts.fileSize));
    const ReadProgress progress = [&](double kb) { bar.update(static_cast<std::uint64_t>(kb * 1024.0)); };
    CaptureReadResult result;
    try {
        result = read(progress);
    } catch (const APIErrorException& e) {
        bar.finish();
        throw CommandFailure(1, path.string() + ": " + e.what());
    } catch (...) {  // a visitor's own failure
        bar.finish();
        throw;
    }
    bar.finish();
    takeReadResult(facts, std::move(result));
    return facts;
}

/// The options of a streamed pass's windows.
PacketWindowAnalysis::Options windowOptions(bool releasePages, std::size_t windowSize, bool showDuringNextWindow,
                                            std::size_t releaseStep) {
    PacketWindowAnalysis::Options options;
    options.releasePages = releasePages;
    options.windowSize = windowSize;
    options.showDuringNextWindow = showDuringNextWindow;
    options.releaseStep = releaseStep;
    return options;
}

/// Maps `path` and runs `pass(bytes, options)` under a progress bar.
template <class Pass>
CaptureFacts streamPass(const std::filesystem::path& path, PacketWindowAnalysis::Options options, const Pass& pass) {
    Data data = mapCapture(path);
    return readShowingProgress(path, data, [&](const ReadProgress& progress) {
        options.progress = progress;
        return pass(data, options);
    });
}

}  // namespace

CaptureFacts streamCapture(const std::filesystem::path& path, const PacketWindowAnalysis::PacketVisitor& eachPacket,
                           const PacketWindowAnalysis::WindowVisitor& eachWindow, bool analyse, bool releasePages,
                           std::size_t windowSize, bool showDuringNextWindow, std::size_t releaseStep) {
    auto options = windowOptions(releasePages, windowSize, showDuringNextWindow, releaseStep);
    options.analyse = analyse;
    options.fileURL = path;
    return streamPass(path, std::move(options), [&](const Data& data, const PacketWindowAnalysis::Options& o) {
        return PacketWindowAnalysis::run(data, eachPacket, eachWindow, o);
    });
}

CaptureFacts streamRecords(const std::filesystem::path& path, const RecordWindowAnalysis::RecordVisitor& eachRecord,
                           const RecordWindowAnalysis::WindowVisitor& eachWindow, bool releasePages, std::size_t windowSize,
                           bool showDuringNextWindow, std::size_t releaseStep) {
    return streamPass(path, windowOptions(releasePages, windowSize, showDuringNextWindow, releaseStep),
                      [&](const Data& data, const PacketWindowAnalysis::Options& o) {
                          return RecordWindowAnalysis::run(data, eachRecord, eachWindow, o);
                      });
}

CaptureFacts streamSnapshots(const std::filesystem::path& path, const SnapshotWindowVisitor& eachWindow, std::size_t windowSize) {
    constexpr std::size_t kSnapshotsPerCount = 64;
    // No work on the records: each window is shown as soon as it is read, and its pages are the
    // visitor's to let go.
    return streamPass(path, windowOptions(/*releasePages=*/false, windowSize, /*showDuringNextWindow=*/false, 0),
                      [&](const Data& data, const PacketWindowAnalysis::Options& options) {
                          std::shared_ptr<QORDataCachingProtocol> cache = std::make_shared<MappedFileDataCache>(data);
                          auto fileURL = std::make_shared<const std::filesystem::path>(path);
                          std::vector<PacketSnapshot> snapshots;
                          return RecordWindowAnalysis::run(
                              data, {},
                              [&](std::span<const CaptureRecord> window) {
                                  snapshots.clear();
                                  snapshots.reserve(window.size());
                                  // Each run of snapshots shares the cache and the path through
                                  // references of its own: the workers that read one run's bytes
                                  // do not bounce the count this thread changes for the next.
                                  std::shared_ptr<QORDataCachingProtocol> runCache;
                                  std::shared_ptr<const std::filesystem::path> runURL;
                                  for (const CaptureRecord& record : window) {
                                      if (snapshots.size() % kSnapshotsPerCount == 0) {
                                          runCache = withOwnCount(cache);
                                          runURL = withOwnCount(fileURL);
                                      }
                                      snapshots.push_back(PacketSnapshot::of(record, runURL, runCache));
                                  }
                                  return eachWindow(snapshots);
                              },
                              options);
                      });
}

void holdUntilExit(std::shared_ptr<void> held) {
    static auto* kept = new std::vector<std::shared_ptr<void>>;  // never freed, on purpose
    kept->push_back(std::move(held));
}

LoadedCapture loadCaptureShowingProgress(const std::filesystem::path& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) size = 0;  // file_size reports failure as the largest value; loading says why
    ProgressBar bar(size, size > 0 && wantsProgressBar(size));
    auto capture = loadCapture(path, [&](double done) { bar.update(static_cast<std::uint64_t>(done)); });
    bar.finish();
    return capture;
}

void reportReadIssue(const CaptureFacts& capture) {
    if (capture.issue) throw CommandFailure(2, capture.path.string() + ": damaged capture: " + *capture.issue);
}

}  // namespace qor::cli
