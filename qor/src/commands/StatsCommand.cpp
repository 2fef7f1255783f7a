// qor stats FILE [--json] [--tree]: how many packets carry each protocol, counted as the protocol
// statistics window counts them, and optionally the layer hierarchy of the capture.

#include <fmt/format.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CaptureSnapshots.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/statistics/ProtocolHierarchy.hpp"
#include "QORModels/statistics/ProtocolStatisticCounting.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"

namespace qor::cli {
namespace {

/// The exit status of a run that Ctrl-C stopped (128 + SIGINT, as shells report it).
constexpr int kInterruptedStatus = 130;

/// The queue that Ctrl-C asks to stop; null outside a run.
std::atomic<QORSharedMemoryQueue*> interruptTarget{nullptr};

extern "C" void requestStop(int) {
    // Lock-free atomic stores only: safe in a signal handler.
    if (QORSharedMemoryQueue* queue = interruptTarget.load()) queue->setShouldTerminate(true);
}

/// While alive, Ctrl-C asks `queue` to stop instead of killing the process; a second Ctrl-C
/// kills it as usual (the handler resets itself).
class InterruptToStop {
public:
    explicit InterruptToStop(QORSharedMemoryQueue& queue) {
        interruptTarget.store(&queue);
        struct sigaction action{};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptToStop() {
        sigaction(SIGINT, &previous_, nullptr);
        interruptTarget.store(nullptr);
    }
    InterruptToStop(const InterruptToStop&) = delete;
    InterruptToStop& operator=(const InterruptToStop&) = delete;

private:
    struct sigaction previous_{};
};

[[noreturn]] void interrupted() { throw CommandFailure(kInterruptedStatus, "interrupted"); }

/// What one window's count found: its tally and how many snapshots it had.
struct WindowCount {
    ProtocolTally tally;
    std::size_t packets = 0;
};

/// Reads and counts `path` in one pass: each window of packets is counted on the workers while
/// the next is read (the reading draws the progress bar), and the windows' tallies are added up.
/// A window's count is the library's count over its snapshots, so the sum is the count of the
/// whole list. Ctrl-C (the queue's request to stop) ends the run as interrupted.
std::pair<ProtocolTally, std::size_t> countCapture(const std::string& path, QORSharedMemoryQueue& queue, bool tree,
                                                   CaptureFacts& facts) {
    ProtocolTally tally;
    std::size_t packets = 0;
    facts = extractFromCapture(
        path,
        [&](const std::vector<PacketSnapshot>& snapshots) {
            WindowCount counted;
            counted.packets = snapshots.size();
            if (snapshots.empty()) return counted;
            try {
                counted.tally = ProtocolStatisticCounting::count(snapshots, queue, tree);
            } catch (const APIErrorException& e) {
                if (e.code() == APIError::user_cancelled) interrupted();
                throw;
            }
            return counted;
        },
        [&](const WindowCount& counted) {
            tally.add(counted.tally);
            packets += counted.packets;
        });
    return {std::move(tally), packets};
}

/// Most packets first, equal counts by name.
std::vector<std::pair<std::string, std::int64_t>> byFrequency(const ProtocolStatistic& statistic) {
    std::vector<std::pair<std::string, std::int64_t>> sorted(statistic.begin(), statistic.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return sorted;
}

std::string text(const std::vector<std::pair<std::string, std::int64_t>>& protocols, std::size_t packets,
                 const std::vector<ProtocolHierarchyRow>* hierarchy) {
    std::string out;
    for (const auto& [name, n] : protocols) out += fmt::format("{:>10}  {}\n", n, name);
    out += fmt::format("{:>10}  packets\n", packets);
    if (hierarchy) {
        out += "\nProtocol hierarchy\n";
        for (const auto& row : *hierarchy) {
            out += fmt::format("{:<40} frames:{} bytes:{}\n", std::string(2 * row.depth, ' ') + row.protocol, row.frames,
                               row.bytes);
        }
    }
    return out;
}

std::string json(const std::string& path, const std::vector<std::pair<std::string, std::int64_t>>& protocols,
                 std::size_t packets, const std::vector<ProtocolHierarchyRow>* hierarchy) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& [name, n] : protocols) list.push_back({{"protocol", name}, {"packets", n}});
    nlohmann::ordered_json out{{"file", path}, {"packets", packets}, {"protocols", std::move(list)}};
    if (hierarchy) {
        auto rows = nlohmann::ordered_json::array();
        for (const auto& row : *hierarchy)
            rows.push_back({{"protocol", row.protocol}, {"depth", row.depth}, {"frames", row.frames}, {"bytes", row.bytes}});
        out["hierarchy"] = std::move(rows);
    }
    return out.dump(2) + "\n";
}

void run(const std::string& path, bool asJSON, bool tree) {
    activateAnalyzers();
    QORSharedMemoryQueue queue;
    InterruptToStop stopOnInterrupt(queue);
    CaptureFacts facts;
    const auto [tally, packets] = countCapture(path, queue, tree, facts);
    if (queue.shouldTerminate()) interrupted();

    const auto protocols = byFrequency(tally.protocols);
    std::vector<ProtocolHierarchyRow> hierarchy;
    if (tree) hierarchy = protocolHierarchy(tally.histories);
    const auto* rows = tree ? &hierarchy : nullptr;
    const std::string out = asJSON ? json(path, protocols, packets, rows) : text(protocols, packets, rows);
    std::fwrite(out.data(), 1, out.size(), stdout);
    reportReadIssue(facts);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("stats", "Count the packets that carry each protocol (the protocol statistics)");
    auto path = std::make_shared<std::string>();
    auto asJSON = std::make_shared<bool>(false);
    auto tree = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Capture file (pcap or pcapng)")->required();
    sub->add_flag("--json", *asJSON, "Print the counts as JSON");
    sub->add_flag("--tree", *tree, "Add the protocol hierarchy: frames and bytes per layer path");
    sub->callback([=] { run(*path, *asJSON, *tree); });
}};

}  // namespace
}  // namespace qor::cli
