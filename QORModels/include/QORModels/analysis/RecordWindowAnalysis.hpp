#pragma once
// Reading a capture file in one pass, window by window on every core, without packet objects.

#include <cstddef>
#include <functional>
#include <span>

#include "QORModels/analysis/PacketWindowAnalysis.hpp"
#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/CaptureRecord.hpp"

namespace qor {

/// `PacketWindowAnalysis`'s pass over a capture's records instead of its packets, for a caller
/// that needs each packet's place, header values and bytes but no packet object (no analysis is
/// stored anywhere): each window's records are shown to a per-record visitor on all cores, with
/// the record's captured bytes, then to a per-window visitor on the calling thread in file order.
/// Windows, slots, page release and the overlap of a window's showing with the next window's
/// visits are those of `PacketWindowAnalysis` (its `Options`; `analyse`, `fileURL` and
/// `windowSize` apart from the window's size do not apply).
///
/// Thread safety: `run` blocks its caller; the record visitor runs on the pass's worker threads
/// and on its caller while it waits for them (several at once, each on different records), the
/// window visitor on the calling thread.
class RecordWindowAnalysis {
public:
    /// A record of the current window and its captured bytes: a view of the file's bytes, valid
    /// during the call (empty when the file no longer holds them, it shrank since it was mapped).
    /// `slot` as for `PacketWindowAnalysis::PacketVisitor`.
    using RecordVisitor = std::function<void(const CaptureRecord& record, const Data& bytes, std::size_t slot)>;
    /// A window, in file order, after every record of it went through the record visitor; false
    /// stops the read.
    using WindowVisitor = std::function<bool(std::span<const CaptureRecord> window)>;

    /// Reads every record (see the class comment). Throws what `CaptureFileReader::readRecords`
    /// throws for bytes that are no capture.
    static CaptureReadResult run(const Data& fileBytes, const RecordVisitor& eachRecord, const WindowVisitor& eachWindow,
                                 const PacketWindowAnalysis::Options& options);
};

}  // namespace qor
