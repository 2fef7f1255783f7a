#pragma once
// A capture file read into packet snapshots for the stream commands.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include "CaptureLoading.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/support/ObservedTaskGroup.hpp"

namespace qor::cli {

/// A capture's snapshots, in file order, and what reading the file learnt.
struct CaptureSnapshots {
    CaptureFacts facts;
    std::vector<PacketSnapshot> snapshots;
};

/// Reads `path` window by window without keeping its packet records: each window's packets
/// become snapshots (on the calling thread, the main thread) and are dropped; the snapshots
/// read their bytes from the mapped file, whose pages stay resident for the analysis that
/// follows. Fails as `loadCapture` does.
CaptureSnapshots snapshotCapture(const std::filesystem::path& path);

/// What becomes of a window's pages of the capture's file mapping once its records are extracted.
enum class ExtractedPages {
    /// Let go: the records' bytes are read no further, or only a few of them are.
    release,
    /// Kept resident: every record's bytes are read again (conversations are built from all of
    /// them), and faulting the pages back in would cost more than keeping them.
    keep,
};

/// Reads `path` in one streamed pass and hands `sink`, on the calling thread and in file order,
/// the records `extract` gives for each window's snapshots (`extract(const
/// std::vector<PacketSnapshot>&)` gives a vector of records in snapshot order, as the stream
/// reassemblers' extraction steps do), so the records `sink` hears are those one extraction of
/// the whole capture gives, in the same order, without the capture's snapshots ever being held
/// at once. A window's records are extracted on the workers while the caller hands the window
/// before to `sink` and reads the next window; the window's pages of the file mapping are let go
/// once its extraction is done, unless `pages` says to keep them (the reading itself lets none
/// go: the extraction reads them next). `sink` may move the records out of the vector it is
/// given. `firstPacketTime`, when given, learns the arrival time of the capture's first packet
/// (left as it is for an empty capture). Fails as `loadCapture` does.
template <class Extract, class Sink>
CaptureFacts extractFromCapture(const std::filesystem::path& path, const Extract& extract, const Sink& sink,
                                double* firstPacketTime = nullptr, ExtractedPages pages = ExtractedPages::release) {
    // Enough packets per window that extracting one keeps every core busy (extraction works in
    // batches of a few hundred snapshots).
    constexpr std::size_t kWindow = 8192;
    using Records = decltype(extract(std::declval<const std::vector<PacketSnapshot>&>()));
    std::vector<PacketSnapshot> extracting;
    Records extracted, taken;
    // Running a task and waiting for it order the caller's and the task's accesses to the
    // vectors. Destroyed before them: a failed read leaves no task using them.
    ObservedTaskGroup extraction;
    // Waits for the window in flight and takes its records.
    auto collect = [&] {
        extraction.wait();
        if (pages == ExtractedPages::release && !extracting.empty()) {
            const auto first = extracting.front().bytes(), last = extracting.back().bytes();
            if (first && last && last->data() >= first->data())
                releaseMappedPages(first->data(), static_cast<std::size_t>(last->data() + last->size() - first->data()));
        }
        taken = std::move(extracted);
        extracted = {};
    };
    auto deliver = [&] {
        sink(taken);
        taken = {};
    };
    CaptureFacts facts = streamSnapshots(
        path,
        [&](std::vector<PacketSnapshot>& window) {
            if (firstPacketTime && !window.empty()) {
                *firstPacketTime = window.front().dateReceived;
                firstPacketTime = nullptr;
            }
            collect();
            std::swap(window, extracting);  // the reader drops the window extracted before
            extraction.run([&] { extracted = extract(extracting); });
            deliver();  // the window before goes to the sink while the workers extract this one
            return true;
        },
        kWindow);
    collect();
    deliver();
    return facts;
}

/// The records `extract` gives for every window of `path` (as for `extractFromCapture`), gathered
/// by conversation into a `Groups` (`TCPSegmentGroups`, `UDPDatagramGroups`) as the windows come,
/// with what reading the file learnt. The file's pages stay resident unless `pages` says to let
/// them go: conversations built from every record's bytes afterwards read them all again, while
/// summaries of them read none. Fails as `loadCapture` does.
template <class Groups, class Extract>
std::pair<CaptureFacts, Groups> gatherConversations(const std::filesystem::path& path, const Extract& extract,
                                                    double* firstPacketTime = nullptr, ExtractedPages pages = ExtractedPages::keep) {
    Groups groups;
    CaptureFacts facts = extractFromCapture(
        path, extract, [&](auto& records) { groups.add(std::move(records)); }, firstPacketTime, pages);
    return {std::move(facts), std::move(groups)};
}

}  // namespace qor::cli
