#include "QORModels/analysis/RecordWindowAnalysis.hpp"

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MappedFileGuard.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "WindowedPass.hpp"

namespace qor {

CaptureReadResult RecordWindowAnalysis::run(const Data& fileBytes, const RecordVisitor& eachRecord,
                                            const WindowVisitor& eachWindow, const PacketWindowAnalysis::Options& options) {
    using Pass = WindowedPass<CaptureRecord>;
    // Records are read from the mapping only for a record visitor (else through a window).
    PassedPagesRelease pages(fileBytes.span(), options.releasePages && mappedFileRegion(fileBytes).has_value(),
                             options.releaseStep,
                             eachRecord ? PassedPagesRelease::Faults::smallStretches : PassedPagesRelease::Faults::wholeFolios);
    // The visitors see the bytes while the pass holds the file's: views, with no reference
    // counted per record.
    const Data file = fileBytes.unownedView();
    Pass::Work work;
    if (eachRecord) {
        work = [&](CaptureRecord& record, std::size_t slot) {
            // The readers hand out only records whose bytes lie in the file's bytes.
            const Data bytes = file.slice(record.dataLocation, record.captureLength);
            eachRecord(record, MappedFileGuard::probe(bytes.span()) ? bytes : Data(), slot);
        };
    }
    Pass pass(options.windowSize, options.showDuringNextWindow, std::move(work), [&](std::span<const CaptureRecord> window) {
        const bool goOn = !eachWindow || eachWindow(window);
        // Done with the window's bytes, up to the start of its last record (see PacketWindowAnalysis).
        pages.doneUpTo(fileBytes.data() + window.back().dataLocation);
        return goOn;
    });
    auto result = CaptureFileReader::readRecords(
        fileBytes, [&](const CaptureRecord& record) { return pass.push(record); }, options.progress,
        eachRecord ? RecordAccess::mapped : RecordAccess::windowed);
    pass.finish();
    return result;
}

}  // namespace qor
