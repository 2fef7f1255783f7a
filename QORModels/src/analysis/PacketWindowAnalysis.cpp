#include "QORModels/analysis/PacketWindowAnalysis.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"
#include "QORModels/support/OwnCount.hpp"
#include "WindowedPass.hpp"

namespace qor {

CaptureReadResult PacketWindowAnalysis::run(const Data& fileBytes, const PacketVisitor& eachPacket,
                                            const WindowVisitor& eachWindow, const Options& options) {
    using Pass = WindowedPass<std::shared_ptr<QORPacket>>;
    auto cache = std::make_shared<MappedFileDataCache>(fileBytes);
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = cache;
    auto path = options.fileURL.value_or(std::filesystem::path("-"));
    auto fileNumber = options.fileURL ? systemFileNumber(*options.fileURL).value_or(0) : 0;
    auto source = std::make_shared<const QORPacket::FileSource>(QORPacket::FileSource{path, static_cast<std::int64_t>(fileNumber)});

    // A pass that neither analyses nor visits packets (a summary of the records) has no work for
    // the workers: it runs on the caller alone, each window shown as soon as it is read.
    const bool workersNeeded = options.analyse || static_cast<bool>(eachPacket);
    // Pages of a file mapping that the pass is done with leave resident memory (other memory
    // would lose its contents, so only a mapping's). Only the workers read packet bytes from the
    // mapping (the records alone are read through a window), a few at a time.
    PassedPagesRelease pages(fileBytes.span(), options.releasePages && mappedFileRegion(fileBytes).has_value(),
                             options.releaseStep,
                             workersNeeded ? PassedPagesRelease::Faults::smallStretches : PassedPagesRelease::Faults::wholeFolios);
    Pass::Work work;
    if (workersNeeded) {
        work = [&](std::shared_ptr<QORPacket>& packet, std::size_t slot) {
            if (options.analyse) (void)packet->analyse();
            if (eachPacket) eachPacket(*packet, slot);
        };
    }
    Pass pass(options.windowSize, options.showDuringNextWindow, std::move(work),
              [&](std::span<const std::shared_ptr<QORPacket>> window) {
                  const bool goOn = !eachWindow || eachWindow(window);
                  // The window's bytes are done with: up to the start of the last packet's record
                  // (the next window's first header may share its page; touching it again only maps
                  // it back).
                  pages.doneUpTo(fileBytes.data() + window.back()->dataLocation());
                  return goOn;
              });
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
            if (pass.readingCount() % Pass::kGrain == 0) {
                shareCache = withOwnCount(cacheSlot);
                shareSource = withOwnCount(source);
            }
            packet->setDataCache(shareCache);
            packet->setFileSource(shareSource);
            return pass.push(std::move(packet));
        },
        options.progress, nullptr, !workersNeeded ? RecordAccess::windowed : RecordAccess::mapped);
    pass.finish();
    return result;
}

}  // namespace qor
