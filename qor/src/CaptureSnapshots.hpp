#pragma once
// A capture file read into packet snapshots for the stream commands.

#include <filesystem>
#include <vector>

#include "CaptureLoading.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"

namespace qor::cli {

/// A capture's snapshots, in file order, and what reading the file learnt.
struct CaptureSnapshots {
    CaptureFacts facts;
    std::vector<PacketSnapshot> snapshots;
};

/// Reads `path` window by window without keeping its packet records: each window's packets
/// become snapshots (on the calling thread, the main thread) and are dropped; the snapshots
/// read their bytes from the mapped file, whose pages stay resident for the analysis that
/// follows, unless `keepPagesResident` is false (for an analysis that lets go of the pages
/// itself: reading them again maps them back from the page cache). Fails as `loadCapture` does.
CaptureSnapshots snapshotCapture(const std::filesystem::path& path, bool keepPagesResident = true);

}  // namespace qor::cli
