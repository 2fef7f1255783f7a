#pragma once
// Reading and analysing a capture file in one pass, window by window, on every core.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "QORModels/packets/CaptureFileReader.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// Reads a capture file's bytes and analyses its packets in windows of consecutive packets:
/// each window's packets are analysed on all cores, shown to a per-packet visitor on the
/// analysing threads, then to a per-window visitor on the calling thread in file order, and then
/// dropped with their analyses. The caller reads the next window while the workers analyse the
/// current one, and the packets of a window shown are released by the workers during the next
/// analysis, so at most three windows are alive: memory stays at a few windows' packets,
/// whatever the size of the file. This is how a command lists or exports a capture without
/// keeping it.
///
/// The packets read their bytes from the file's bytes directly (`MappedFileDataCache`); the
/// pages of a window's packets are let go from resident memory when the window is done. A caller
/// that wants to keep some packets (and their analyses) copies their references in the window
/// visitor.
///
/// Thread safety: `run` blocks its caller; the packet visitor runs on the pass's worker threads
/// and on its caller while it waits for them (several at once, each on different packets), the
/// window visitor on the calling thread.
class PacketWindowAnalysis {
public:
    /// Small enough that three windows of packets with their analyses stay near a megabyte, large
    /// enough that starting a window's tasks and waiting for them is lost in its work.
    static constexpr std::size_t kDefaultWindow = 512;

    /// A packet of the current window, analysed; `slot` is its position in the window (with
    /// `Options::showDuringNextWindow`, its position in the file modulo twice the window size).
    using PacketVisitor = std::function<void(QORPacket& packet, std::size_t slot)>;
    /// A window, in file order, after every packet of it went through the packet visitor;
    /// false stops the read.
    using WindowVisitor = std::function<bool(std::span<const std::shared_ptr<QORPacket>> window)>;

    struct Options {
        std::size_t windowSize = kDefaultWindow;
        /// Analyse each packet before the packet visitor sees it.
        bool analyse = true;
        /// The file the bytes are (packets need it to be analysed); a placeholder when absent.
        std::optional<std::filesystem::path> fileURL;
        ReadProgress progress;
        /// Let the pages of a mapped file's windows go from resident memory once they are done
        /// with; off for a caller that reads the packets' bytes again after the pass (they would
        /// only be faulted back in). The record headers are read straight from the mapping
        /// (`RecordAccess::mapped`) when the workers read the packets (a header shares its page
        /// with the start of its packet). A pass over the records alone reads them through a
        /// reused buffer, leaving the mapping untouched: the pages its window visitor reads it
        /// maps in itself, on whichever core reads them, instead of the reading core mapping
        /// every one.
        bool releasePages = true;
        /// With `releasePages`, the least stretch of the file let go at once (0: each window's
        /// pages as it is done). Every release interrupts the other cores to drop the pages from
        /// their address translations; a pass that keeps megabytes anyway lets go in larger steps.
        std::size_t releaseStep = 0;
        /// Show each window to the window visitor while the workers analyse the next one, rather
        /// than between the two, so that a window visitor with work of its own (moving results
        /// out of their slots, say) does not hold the workers up. The packet visitor then runs
        /// on the next window while the window visitor reads the last one's results: a caller
        /// keeps two windows' worth of per-slot results, and a packet's `slot` is its position
        /// in the file modulo twice the window size. Four windows are alive instead of three.
        bool showDuringNextWindow = false;
    };

    /// Reads and analyses every packet (see the class comment). Throws what
    /// `CaptureFileReader::read` throws for bytes that are no capture.
    static CaptureReadResult run(const Data& fileBytes, const PacketVisitor& eachPacket, const WindowVisitor& eachWindow,
                                 const Options& options);
};

}  // namespace qor
