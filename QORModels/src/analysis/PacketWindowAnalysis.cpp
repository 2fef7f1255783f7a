#include "QORModels/analysis/PacketWindowAnalysis.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
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
    // Pages of a file mapping that the pass is done with leave resident memory; only a mapping's
    // pages can (other memory would lose its contents).
    const bool mapped = mappedFileRegion(fileBytes).has_value();
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto released = reinterpret_cast<std::uintptr_t>(fileBytes.data()) & ~(pageSize - 1);  // pages before were let go

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
        const auto upTo = reinterpret_cast<std::uintptr_t>(fileBytes.data() + window.back()->dataLocation()) & ~(pageSize - 1);
        if (mapped && upTo > released) {
            releaseMappedPages(reinterpret_cast<const void*>(released), upTo - released);
            released = upTo;
        }
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
