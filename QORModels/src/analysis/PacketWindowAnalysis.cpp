#include "QORModels/analysis/PacketWindowAnalysis.hpp"

#include <tbb/blocked_range.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORModels/support/ObservedTaskGroup.hpp"
#include "QORModels/support/OwnCount.hpp"

namespace qor {
namespace {
/// Packets one worker takes at a time: enough to make a task worth its scheduling.
constexpr std::size_t kGrain = 64;
}  // namespace

CaptureReadResult PacketWindowAnalysis::run(const Data& fileBytes, const PacketVisitor& eachPacket,
                                            const WindowVisitor& eachWindow, const Options& options) {
    const std::size_t windowSize = std::max<std::size_t>(options.windowSize, 1);
    auto cache = std::make_shared<MappedFileDataCache>(fileBytes);
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = cache;
    auto path = options.fileURL.value_or(std::filesystem::path("-"));
    auto fileNumber = options.fileURL ? systemFileNumber(*options.fileURL).value_or(0) : 0;
    auto source = std::make_shared<const QORPacket::FileSource>(QORPacket::FileSource{path, static_cast<std::int64_t>(fileNumber)});

    // Three windows are alive at most: the one being read, the one being analysed, and the one
    // shown before it, whose packets the next analysis releases on the workers. A window shown
    // while the next one is analysed is a fourth.
    std::vector<std::shared_ptr<QORPacket>> reading, analysing, shown, retired;
    for (auto* window : {&reading, &analysing, &shown, &retired}) window->reserve(windowSize);
    bool inFlight = false;
    bool stopped = false;
    // A pass that neither analyses nor visits packets (a summary of the records) has no work for
    // the workers: it runs on the caller alone, each window shown as soon as it is read.
    const bool workersNeeded = options.analyse || static_cast<bool>(eachPacket);
    const bool overlap = options.showDuringNextWindow && workersNeeded;
    std::size_t packetsLaunched = 0;
    // Launching a window and waiting for it order the caller's and the workers' accesses to the
    // windows. Destroyed before the windows: a read that throws leaves no task using them.
    ObservedTaskGroup group;
    // Pages of a file mapping that the pass is done with leave resident memory (other memory
    // would lose its contents, so only a mapping's).
    PassedPagesRelease pages(fileBytes.span(), options.releasePages && mappedFileRegion(fileBytes).has_value(),
                             options.releaseStep);

    // Shows a window to the window visitor, unless a visitor said stop.
    auto show = [&](const std::vector<std::shared_ptr<QORPacket>>& window) {
        if (window.empty() || stopped) return;
        if (eachWindow && !eachWindow(std::span<const std::shared_ptr<QORPacket>>(window))) stopped = true;
        // The window's bytes are done with: up to the start of the last packet's record (the next
        // window's first header may share its page; touching it again only maps it back).
        pages.doneUpTo(fileBytes.data() + window.back()->dataLocation());
    };
    // Analyses the window just read on the workers while the caller reads the next one; the
    // packets shown last go on the same workers, so releasing them costs the caller nothing.
    auto start = [&] {
        analysing.swap(reading);
        const std::size_t base = overlap ? packetsLaunched % (2 * windowSize) : 0;
        packetsLaunched += analysing.size();
        inFlight = true;
        if (!workersNeeded) return;
        group.run([&, base] {
            observedParallelFor(tbb::blocked_range<std::size_t>(0, analysing.size(), kGrain), [&](const tbb::blocked_range<std::size_t>& r) {
                for (std::size_t i = r.begin(); i != r.end(); ++i) {
                    if (i < retired.size()) retired[i].reset();
                    if (options.analyse) (void)analysing[i]->analyse();
                    if (eachPacket) eachPacket(*analysing[i], base + i);
                }
            });
        });
    };
    // Waits for the window in flight, shows it (or, overlapping, the one before it while the
    // next analyses) and starts the window read since, if any.
    auto launch = [&] {
        if (inFlight) {
            inFlight = false;
            if (workersNeeded) group.wait();
        }
        retired.clear();  // what the analysis did not release (a shorter window's tail)
        if (overlap) {
            retired.swap(shown);
            shown.swap(analysing);
        } else {
            show(analysing);
            retired.swap(analysing);
        }
        if (!stopped && !reading.empty()) {
            start();
            if (!workersNeeded) {  // nothing to analyse: the window is shown as soon as it is read
                inFlight = false;
                show(analysing);
                analysing.clear();
            }
        }
        if (overlap) show(shown);
    };
    // Each worker's share of a window (`kGrain` packets: the workers split a window at those
    // boundaries) shares the cache and the file source through references of its own: the caller
    // makes the packets of one window while the workers drop those of another, and one count
    // for all of them (or for a window the two workers drop together) would bounce between the
    // cores at every packet.
    std::shared_ptr<QORDataCachingProtocol> shareCache;
    std::shared_ptr<const QORPacket::FileSource> shareSource;
    auto result = CaptureFileReader::read(
        fileBytes,
        [&](std::shared_ptr<QORPacket> packet) {
            if (reading.size() % kGrain == 0) {
                shareCache = withOwnCount(cacheSlot);
                shareSource = withOwnCount(source);
            }
            packet->setDataCache(shareCache);
            packet->setFileSource(shareSource);
            reading.push_back(std::move(packet));
            if (reading.size() >= windowSize) launch();
            return !stopped;
        },
        options.progress, nullptr, !workersNeeded ? RecordAccess::windowed : RecordAccess::mapped);
    launch();  // the last window read
    launch();  // and shown
    return result;
}

}  // namespace qor
