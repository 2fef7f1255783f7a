// qor protocols FILE: packets per protocol history, analysed in parallel.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <unordered_map>

#include "CaptureLoading.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/MemoryAdvice.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"

namespace qor::cli {
namespace {

/// The anonymous resident memory of this process (its heap, not the pages of the mapped capture
/// that analysis reads) in bytes, from /proc/self/status; 0 when unknown.
std::uint64_t residentBytes() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("RssAnon:", 0) == 0) {
            std::uint64_t kib = 0;
            if (std::sscanf(line.c_str() + 8, "%lu", &kib) == 1) return kib * 1024;
        }
    }
    return 0;
}

void run(const std::string& path, bool json, bool stats) {
    activateAnalyzers();
    const auto& capture = keepUntilExit(loadCapture(path));
    const auto& packets = capture.packets;
    auto rssBefore = residentBytes();
    auto start = std::chrono::steady_clock::now();
    // First access to each packet's analyzer chain analyses it, on oneTBB's worker threads; each
    // thread counts the histories of its packets (by their interned text: no text is copied or
    // hashed per packet). The file is analysed in blocks, and the pages of a block's packet bytes
    // leave resident memory when it is done: a kept analysis does not keep its bytes in memory
    // (reading them again maps them back from the page cache).
    tbb::enumerable_thread_specific<std::unordered_map<const void*, std::uint64_t>> perThread;
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    // Each thread starts loading the first bytes of the packet `kAhead` places on before it
    // analyses the next one: a packet's bytes are otherwise read from memory, not from the
    // caches, by the first check that they are still the file's (on one core, 6% of the time
    // less in alternating runs over a million packets).
    constexpr std::size_t kAhead = 8;
    std::optional<MappedFileRegion> region;
    if (!packets.empty()) {
        if (auto first = packets.front()->data()) region = mappedFileRegion(*first);
    }
    PassedPagesRelease pages(region ? region->wholeFile : std::span<const std::byte>(), region.has_value());
    for (std::size_t begin = 0; begin < packets.size(); begin += kBlock) {
        const std::size_t end = std::min(packets.size(), begin + kBlock);
        observedParallelFor(tbb::blocked_range<std::size_t>(begin, end), [&](const tbb::blocked_range<std::size_t>& range) {
            auto& local = perThread.local();
            for (std::size_t i = range.begin(); i != range.end(); ++i) {
                if (region && i + kAhead < range.end()) {
                    const QORPacket& next = *packets[i + kAhead];
                    const std::byte* ahead = region->wholeFile.data() + next.dataLocation();
                    __builtin_prefetch(ahead);
                    if (next.captureLength() > 64) __builtin_prefetch(ahead + 64);
                }
                (void)packets[i]->analyse();
                local[packets[i]->packetProtocolHistoryInterned().identity()]++;
            }
        });
        if (region) pages.doneUpTo(region->wholeFile.data() + packets[end - 1]->dataLocation());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto rssAfter = residentBytes();
    std::map<std::string, std::uint64_t> counts;
    for (const auto& local : perThread) {
        for (const auto& [history, n] : local) counts[std::string(InternedString::fromIdentity(history).view())] += n;
    }
    std::vector<std::pair<std::string, std::uint64_t>> sorted(counts.begin(), counts.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });

    if (json) {
        auto list = nlohmann::ordered_json::array();
        for (const auto& [history, n] : sorted) list.push_back({{"history", history}, {"packets", n}});
        fmt::print("{}\n", nlohmann::ordered_json{{"file", path}, {"packets", packets.size()}, {"histories", list}}.dump(2));
    } else {
        std::string out;
        for (const auto& [history, n] : sorted) out += fmt::format("{:>10}  {}\n", n, history.empty() ? "(none)" : history);
        out += fmt::format("{:>10}  packets\n", packets.size());
        fmt::print("{}", out);
    }
    if (stats) {
        double perPacket = packets.empty() || rssAfter < rssBefore ? 0.0 : static_cast<double>(rssAfter - rssBefore) / packets.size();
        // The chain a kept analysis stores lives in the packet record, allocated when the file
        // was read: it counts as analysis memory too.
        fmt::print(stderr, "analysis: {} packets in {:.3f} s, {:.0f} bytes of memory added per packet, {} more in each packet record\n",
                   packets.size(), seconds, perPacket, QORPacket::kStoredChainBytes);
    }
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("protocols", "Analyse every packet and count packets per protocol history");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto stats = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Capture file (pcap or pcapng)")->required();
    sub->add_flag("--json", *json, "Print the counts as JSON");
    sub->add_flag("--stats", *stats, "Print the analysis time and memory per packet on standard error");
    sub->callback([=] { run(*path, *json, *stats); });
}};

}  // namespace
}  // namespace qor::cli
