// qor sessions FILE: the subscriber sessions of a trace (PPPoE, L2TP and RADIUS), each with its
// summary and its ladder of events.

#include <fmt/compile.h>
#include <fmt/format.h>
#include <tbb/enumerable_thread_specific.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "SecondsText.hpp"
#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "QORModels/support/ObservedTaskGroup.hpp"

namespace qor::cli {
namespace {

/// "2023-11-14 22:13:20.000123 UTC".
std::string utcText(double seconds) {
    const double whole = std::floor(seconds);
    const auto micros = static_cast<long>(std::llround((seconds - whole) * 1e6));
    std::time_t t = static_cast<std::time_t>(whole) + (micros >= 1000000 ? 1 : 0);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    return fmt::format("{}.{:06d} UTC", date, micros % 1000000);
}

std::string orDash(const std::optional<std::string>& text) { return text && !text->empty() ? *text : "-"; }

/// A session's block of text. fmt's own buffer grows without clearing what it adds, as a
/// string written through an inserter would.
void appendSessionText(fmt::memory_buffer& out, const SubscriberSession& session, bool details) {
    auto to = std::back_inserter(out);
    const SessionSummary& s = session.summary;
    const bool l2tp = s.transport == SessionTransport::l2tp;
    fmt::format_to(to, "{}  [{}]\n", session.title(), rawValue(s.transport));
    if (l2tp) {
        fmt::format_to(to, "  LAC {} ({})  LNS {} ({})  tunnels {}\n", orDash(s.lacHost), s.clientMAC, orDash(s.lnsHost),
                       s.acMAC, orDash(s.tunnelIDs));
    } else {
        fmt::format_to(to, "  client {}  AC {}", s.clientMAC, s.acMAC);
        if (s.acName) fmt::format_to(to, "  AC-Name {}", *s.acName);
        if (s.serviceName) fmt::format_to(to, "  Service-Name {}", *s.serviceName);
        out.push_back('\n');
    }
    fmt::format_to(to, "  user {}  auth {} {}  assigned {}  MRU {}", orDash(s.username), orDash(s.authProtocol),
                   rawValue(s.authResult), orDash(s.assignedIP), s.mru ? std::to_string(*s.mru) : "-");
    if (s.acctSessionID) fmt::format_to(to, "  Acct-Session-Id {}", *s.acctSessionID);
    out.push_back('\n');
    fmt::format_to(to, "  start {}  duration {:.6f} s  data {} packets, {} bytes\n", utcText(s.startTime), s.duration(),
                   s.dataPacketCount, s.dataByteCount);
    for (const auto& e : session.events) {
        // The phase column is padded by hand: phase names are ASCII, and a million ladder lines
        // need not have their display width measured.
        constexpr std::string_view kPhaseColumn = "         ";
        const std::string_view phase = rawValue(e.phase);
        const double offset = e.timestamp - s.startTime;
        std::array<char, kMicrosecondTextRoom> digits;
        fmt::memory_buffer general;
        std::string_view time;
        if (auto text = microsecondText(offset, digits)) {
            time = *text;
        } else {
            fmt::format_to(std::back_inserter(general), FMT_COMPILE("{:.6f}"), offset);
            time = std::string_view(general.data(), general.size());
        }
        // The time is right-aligned in twelve columns by hand too: it is ASCII.
        constexpr std::string_view kTimeColumn = "            ";
        fmt::format_to(to, FMT_COMPILE("    {}{}  {}  {}{}  {}"),
                       kTimeColumn.substr(std::min(time.size(), kTimeColumn.size())), time,
                       e.direction == SessionDirection::clientToAC ? "\u2192" : "\u2190", phase,
                       kPhaseColumn.substr(std::min(phase.size(), kPhaseColumn.size())), e.label);
        if (e.annotation) fmt::format_to(to, FMT_COMPILE("  [{}]"), *e.annotation);
        out.push_back('\n');
        if (!details) continue;
        for (const auto& row : e.detail)
            fmt::format_to(to, "{:{}}{}: {}\n", "", 18 + 2 * row.depth, row.name, row.value);
    }
    out.push_back('\n');
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json sessionJSON(const SubscriberSession& session, bool details) {
    const SessionSummary& s = session.summary;
    nlohmann::ordered_json summary{
        {"sessionID", s.sessionID},
        {"clientMAC", s.clientMAC},
        {"acMAC", s.acMAC},
        {"acName", optionalText(s.acName)},
        {"serviceName", optionalText(s.serviceName)},
        {"username", optionalText(s.username)},
        {"authProtocol", optionalText(s.authProtocol)},
        {"authResult", rawValue(s.authResult)},
        {"assignedIP", optionalText(s.assignedIP)},
        {"mru", s.mru ? nlohmann::ordered_json(*s.mru) : nlohmann::ordered_json(nullptr)},
        {"transport", rawValue(s.transport)},
        {"lacHost", optionalText(s.lacHost)},
        {"lnsHost", optionalText(s.lnsHost)},
        {"tunnelIDs", optionalText(s.tunnelIDs)},
        {"acctSessionID", optionalText(s.acctSessionID)},
        {"startTime", s.startTime},
        {"endTime", s.endTime},
        {"duration", s.duration()},
        {"dataPacketCount", s.dataPacketCount},
        {"dataByteCount", s.dataByteCount},
    };
    auto events = nlohmann::ordered_json::array();
    for (const auto& e : session.events) {
        nlohmann::ordered_json event{{"id", e.id},
                                     {"direction", rawValue(e.direction)},
                                     {"phase", rawValue(e.phase)},
                                     {"label", e.label},
                                     {"annotation", optionalText(e.annotation)},
                                     {"timestamp", e.timestamp}};
        if (details) {
            auto rows = nlohmann::ordered_json::array();
            for (const auto& row : e.detail) rows.push_back({{"depth", row.depth}, {"name", row.name}, {"value", row.value}});
            event["detail"] = std::move(rows);
        }
        events.push_back(std::move(event));
    }
    return {{"id", session.id()},
            {"title", session.title()},
            {"key", {{"macA", session.key.macA}, {"macB", session.key.macB}}},
            {"summary", std::move(summary)},
            {"events", std::move(events)}};
}

void run(const std::string& path, bool json, bool details) {
    activateAnalyzers();
    // One pass over the file's records, window by window on all cores: each packet is classified
    // once, from its record and bytes, on the worker that takes it, into its slot, and only its
    // event (if any) is kept; no packet object is made (and without --details the event keeps no
    // detail rows). The window's events are then taken in packet order, on this thread while the
    // workers classify the next window into the other half of the slots, and handed to the
    // grouping, which packs each one and sorts it into its group; a slot's event is cleared by
    // the classification that next uses the slot. So the output does not depend on which thread
    // met which packet, and sorting events into their groups overlaps the classification.
    constexpr std::size_t kWindow = PacketWindowAnalysis::kDefaultWindow;
    // The file's pages are let go 4 MiB at a time: the sessions keep hundreds of megabytes, and
    // a release per window would interrupt the classifying cores thousands of times.
    constexpr std::size_t kReleaseStep = std::size_t{4} << 20;
    tbb::enumerable_thread_specific<SessionClassifier> classifiers(details);
    std::vector<std::optional<RawSessionEvent>> slots(2 * kWindow);
    std::size_t shownPackets = 0;  // the packets of the windows taken in so far
    auto grouping = std::make_unique<SubscriberSessionBuilder::Grouping>();
    const auto facts = streamRecords(
        path,
        [&](const CaptureRecord& record, const Data& bytes, std::size_t slot) {
            // A packet without bytes classifies as nothing, which clears its slot too.
            classifiers.local().classify({record.packetId, record.dateReceived, record.captureLength, record.realLength,
                                          record.linkType, record.linkName, bytes},
                                         slots[slot]);
        },
        [&](std::span<const CaptureRecord> window) {
            const std::size_t base = shownPackets % slots.size();
            shownPackets += window.size();
            for (std::size_t i = base; i < base + window.size(); ++i)
                if (slots[i]) grouping->add(*slots[i]);
            return true;
        },
        /*releasePages=*/true, kWindow, /*showDuringNextWindow=*/true, kReleaseStep);
    if (json) {
        const auto& sessions = keepUntilExit(grouping->finish());
        auto list = nlohmann::ordered_json::array();
        for (const auto& session : sessions) list.push_back(sessionJSON(session, details));
        const std::string out = nlohmann::ordered_json{{"sessions", std::move(list)}}.dump(2) + "\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
    } else {
        // The sessions are outlined (summaries, and where their events lie), then built, their
        // blocks made, on the workers a batch at a time and written in order, each batch while
        // the next is made: only two batches of ladders are alive at once, and a batch's texts
        // keep their capacity for the batch after next.
        // A million ladder lines leave through a large buffer, not a write per few kilobytes
        // (a terminal keeps its line buffering). The buffer is never freed: stdout may still
        // flush it as the process exits.
        if (!isatty(fileno(stdout))) {
            constexpr std::size_t kOutputBuffer = std::size_t{1} << 20;
            static char* const outputBuffer = new char[kOutputBuffer];
            std::setvbuf(stdout, outputBuffer, _IOFBF, kOutputBuffer);
        }
        const std::size_t sessions = grouping->outline();
        constexpr std::size_t kBatch = 1024;
        // Two batches of blocks: this thread writes one while the workers make the next.
        std::array<std::vector<fmt::memory_buffer>, 2> blocks;
        for (auto& batch : blocks) batch.resize(std::min(kBatch, sessions));
        auto make = [&](std::size_t first) {
            auto& batch = blocks[(first / kBatch) % 2];
            observedParallelForEach(std::min(kBatch, sessions - first), [&](std::size_t i) {
                batch[i].clear();
                appendSessionText(batch[i], grouping->session(first + i), details);
            });
        };
        // Running the task and waiting for it order this thread's and the task's use of the
        // blocks; a failure leaves no task using them behind.
        ObservedTaskGroup making;
        if (sessions > 0) make(0);
        for (std::size_t first = 0; first < sessions; first += kBatch) {
            if (first + kBatch < sessions) making.run([&, next = first + kBatch] { make(next); });
            const auto& batch = blocks[(first / kBatch) % 2];
            for (std::size_t i = 0, count = std::min(kBatch, sessions - first); i < count; ++i)
                std::fwrite(batch[i].data(), 1, batch[i].size(), stdout);
            making.wait();
        }
        const std::string count = fmt::format("{} session{}\n", sessions, sessions == 1 ? "" : "s");
        std::fwrite(count.data(), 1, count.size(), stdout);
        keepUntilExit(std::move(grouping));  // the packed events and the outlines
    }
    reportReadIssue(facts);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("sessions", "Build the subscriber sessions (PPPoE, L2TP, RADIUS) of a capture");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto details = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Capture file (pcap or pcapng)")->required();
    sub->add_flag("--json", *json, "Print the sessions as JSON");
    sub->add_flag("--details", *details, "Add each event's detail rows");
    sub->callback([=] { run(*path, *json, *details); });
}};

}  // namespace
}  // namespace qor::cli
