#include "CaptureSnapshots.hpp"

#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor::cli {

CaptureSnapshots snapshotCapture(const std::filesystem::path& path) {
    assertMainThread("snapshotCapture");
    CaptureSnapshots capture;
    PacketSnapshot::SharedPath sharedPath;
    capture.facts = streamCapture(
        path, {},
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            for (const auto& packet : window) {
                if (auto s = PacketSnapshot::of(*packet, &sharedPath)) capture.snapshots.push_back(std::move(*s));
            }
            return true;
        },
        /*analyse=*/false, /*releasePages=*/false);
    return capture;
}

}  // namespace qor::cli
