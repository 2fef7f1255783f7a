#include "CaptureSnapshots.hpp"

#include <iterator>

#include "QORPlatform/MainQueue.hpp"

namespace qor::cli {

CaptureSnapshots snapshotCapture(const std::filesystem::path& path) {
    assertMainThread("snapshotCapture");
    // Windows as large as the extraction's: the snapshots are all kept anyway.
    constexpr std::size_t kWindow = 8192;
    CaptureSnapshots capture;
    capture.facts = streamSnapshots(
        path,
        [&](std::vector<PacketSnapshot>& window) {
            std::move(window.begin(), window.end(), std::back_inserter(capture.snapshots));
            return true;
        },
        kWindow);
    return capture;
}

}  // namespace qor::cli
