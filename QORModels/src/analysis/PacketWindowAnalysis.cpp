#include "QORModels/analysis/PacketWindowAnalysis.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <vector>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORModels/packets/MappedFileDataCache.hpp"

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

    std::vector<std::shared_ptr<QORPacket>> window;
    window.reserve(windowSize);
    bool stopped = false;
    // Pages of a file mapping that the pass is done with leave resident memory (other memory
    // would lose its contents, so only a mapping's).
    PassedPagesRelease pages(fileBytes.span(), mappedFileRegion(fileBytes).has_value());

    auto flush = [&] {
        if (window.empty()) return;
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, window.size(), kGrain), [&](const tbb::blocked_range<std::size_t>& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) {
                if (options.analyse) (void)window[i]->analyse();
                if (eachPacket) eachPacket(*window[i], i);
            }
        });
        if (eachWindow && !eachWindow(std::span<const std::shared_ptr<QORPacket>>(window))) stopped = true;
        // The window's bytes are done with: up to the start of the last packet's record (the next
        // window's first header may share its page; touching it again only maps it back).
        pages.doneUpTo(fileBytes.data() + window.back()->dataLocation());
        window.clear();
    };

    auto result = CaptureFileReader::read(
        fileBytes,
        [&](std::shared_ptr<QORPacket> packet) {
            packet->setDataCache(cacheSlot);
            packet->setFileSource(source);
            window.push_back(std::move(packet));
            if (window.size() >= windowSize) flush();
            return !stopped;
        },
        options.progress);
    if (!stopped) flush();
    return result;
}

}  // namespace qor
