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
    using Pass = WindowedPass<std::shared_ptr<QORPacket>, CaptureRecord>;
    auto cache = std::make_shared<MappedFileDataCache>(fileBytes);
    std::shared_ptr<QORDataCachingProtocol> cacheSlot = cache;
    auto path = options.fileURL.value_or(std::filesystem::path("-"));
    auto fileNumber = options.fileURL ? systemFileNumber(*options.fileURL).value_or(0) : 0;
    auto source = std::make_shared<const QORPacket::FileSource>(QORPacket::FileSource{path, static_cast<std::int64_t>(fileNumber)});

    // A pass that neither analyses nor visits packets (a summary of the records) has no work for
    // the workers: it runs on the caller alone, each window shown as soon as it is read.
    const bool workersNeeded = options.analyse || static_cast<bool>(eachPacket);
    // Pages of a file mapping that the pass is done with leave resident memory (other memory
    // would lose its contents, so only a mapping's).
    PassedPagesRelease pages(fileBytes.span(), options.releasePages && mappedFileRegion(fileBytes).has_value(),
                             options.releaseStep);
    Pass::Work work;
    if (workersNeeded) {
        work = [&](std::shared_ptr<QORPacket>& packet, std::size_t slot) {
            if (options.analyse) (void)packet->analyse();
            if (eachPacket) eachPacket(*packet, slot);
        };
    }
    // The packets are made on the workers, a worker's share of a window at a time. Each share
    // holds the cache and the file source through references of its own: one count for every
    // packet would bounce between the cores at every packet made and every packet dropped.
    Pass::Make make = [&](std::span<const CaptureRecord> records, std::span<std::shared_ptr<QORPacket>> packets) {
        auto shareCache = withOwnCount(cacheSlot);
        auto shareSource = withOwnCount(source);
        for (std::size_t i = 0; i < records.size(); ++i) {
            auto& packet = packets[i];
            packet = QORPacket::fromRecord(records[i], nullptr);
            packet->setDataCache(shareCache);
            packet->setFileSource(shareSource);
        }
    };
    Pass pass(options.windowSize, options.showDuringNextWindow, std::move(make), std::move(work),
              [&](std::span<const std::shared_ptr<QORPacket>> window) {
                  const bool goOn = !eachWindow || eachWindow(window);
                  // The window's bytes are done with: up to the start of the last packet's record
                  // (the next window's first header may share its page; touching it again only maps
                  // it back).
                  pages.doneUpTo(fileBytes.data() + window.back()->dataLocation());
                  return goOn;
              });
    auto result = CaptureFileReader::readRecords(
        fileBytes, [&](const CaptureRecord& record) { return pass.push(record); }, options.progress,
        !workersNeeded ? RecordAccess::windowed : RecordAccess::mapped);
    pass.finish();
    return result;
}

}  // namespace qor
