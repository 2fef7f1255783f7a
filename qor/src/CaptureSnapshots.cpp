#include "CaptureSnapshots.hpp"

#include <iterator>

#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor::cli {

CaptureSnapshots snapshotCapture(const std::filesystem::path& path) {
    assertMainThread("snapshotCapture");
    CaptureSnapshots capture;
    capture.facts = streamCapture(
        path, {},
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            auto snapshots = TCPStreamReassembler::snapshot(window);
            std::move(snapshots.begin(), snapshots.end(), std::back_inserter(capture.snapshots));
            return true;
        },
        /*analyse=*/false, /*releasePages=*/false);
    return capture;
}

}  // namespace qor::cli
