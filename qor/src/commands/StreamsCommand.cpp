// qor streams FILE [--udp] [--json]: one line (or object) per TCP conversation or UDP flow.

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "CaptureSnapshots.hpp"
#include "Command.hpp"
#include "PluginSetup.hpp"
#include "QORModels/streams/TCPStreamReassembler.hpp"
#include "QORModels/streams/UDPFlowReassembler.hpp"

namespace qor::cli {
namespace {

/// One conversation as the listing shows it.
struct Conversation {
    std::string key, title, client, server;
    std::int64_t packets = 0, clientBytes = 0, serverBytes = 0;
    double startTime = 0, duration = 0;
    std::optional<std::string> protocolLabel;
};

std::string keyText(const TCPStreamKey::Endpoint& a, const TCPStreamKey::Endpoint& b) {
    return endpointText(a) + " \u2194 " + endpointText(b);
}

Conversation summary(const TCPStreamSummary& s) {
    return Conversation{keyText(s.key.endpointA, s.key.endpointB), s.title(), endpointText(s.clientEndpoint),
                        endpointText(s.serverEndpoint), s.segmentCount, s.clientToServerBytes, s.serverToClientBytes,
                        s.startTime, s.duration(), std::nullopt};
}

Conversation summary(const UDPFlow& f) {
    Conversation c{f.key.displayString(), f.title(), endpointText(f.clientEndpoint), endpointText(f.serverEndpoint),
                   f.packetCount(), 0, 0, f.startTime, f.duration(), f.protocolLabel()};
    for (const auto& d : f.datagrams)
        (d.direction == TCPSegment::Direction::clientToServer ? c.clientBytes : c.serverBytes) += static_cast<std::int64_t>(d.payload.size());
    return c;
}

/// `text` followed by spaces up to `width` columns (UTF-8 continuation bytes take none).
std::string padded(const std::string& text, std::size_t width) {
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) != 0x80;
    return text + std::string(columns < width ? width - columns : 0, ' ');
}

void print(const std::vector<Conversation>& conversations, bool udp, bool json, double firstPacketTime) {
    if (json) {
        std::string out;
        for (std::size_t i = 0; i < conversations.size(); ++i) {
            const auto& c = conversations[i];
            nlohmann::ordered_json o{{"index", i},         {"key", c.key},
                                     {"title", c.title},   {"client", c.client},
                                     {"server", c.server}, {"packets", c.packets},
                                     {"clientBytes", c.clientBytes}, {"serverBytes", c.serverBytes},
                                     {"startTime", c.startTime},     {"duration", c.duration}};
            if (c.protocolLabel) o["protocolLabel"] = *c.protocolLabel;
            out += o.dump();
            out += '\n';
        }
        fmt::print("{}", out);
        return;
    }
    constexpr std::size_t kTitleWidth = 47;
    std::string out = fmt::format("{:>5}  {}  {}  {:>8}  {:>12}  {:>12}  {:>12}  {:>10}{}\n", "#", padded("conversation", kTitleWidth), padded("client \u2192 server", kTitleWidth), "packets",
                                  "client bytes", "server bytes", "start", "duration", udp ? "  protocol" : "");
    for (std::size_t i = 0; i < conversations.size(); ++i) {
        const auto& c = conversations[i];
        out += fmt::format("{:>5}  {}  {}  {:>8}  {:>12}  {:>12}  {:>12.6f}  {:>10.6f}{}\n", i, padded(c.key, kTitleWidth), padded(c.title, kTitleWidth), c.packets, c.clientBytes,
                           c.serverBytes, c.startTime - firstPacketTime, c.duration,
                           c.protocolLabel ? "  " + *c.protocolLabel : std::string());
    }
    fmt::print("{}", out);
}

void run(const std::string& path, bool udp, bool json) {
    activateAnalyzers();
    // The capture is read once, window by window: each window's records are extracted while the
    // next is read, and only the records are kept for grouping (not the snapshots). TCP
    // conversations are summarised without reading their payload, and UDP flows from their
    // datagrams' lengths and the few bytes that name their protocol, so a window's pages of the
    // file leave memory once its records are extracted.
    double first = 0;  // the capture's first packet's time, which start times count from
    std::vector<Conversation> conversations;
    CaptureFacts facts;
    if (udp) {
        auto [read, groups] = gatherConversations<UDPDatagramGroups>(
            path, [](const auto& snapshots) { return UDPFlowReassembler::extractDatagrams(snapshots); }, &first,
            ExtractedPages::release);
        facts = std::move(read);
        for (const auto& flow : UDPFlowReassembler::reassembleAllOffMain(std::move(groups))) conversations.push_back(summary(flow));
    } else {
        auto [read, groups] = gatherConversations<TCPSegmentGroups>(
            path, [](const auto& snapshots) { return TCPStreamReassembler::extractSegments(snapshots); }, &first,
            ExtractedPages::release);
        facts = std::move(read);
        TCPStreamReassembler::forEachSummaryOffMain(std::move(groups), [&](TCPStreamSummary&& stream) {
            conversations.push_back(summary(stream));
            return true;
        });
    }
    print(conversations, udp, json, first);
    std::fflush(stdout);
    reportReadIssue(facts);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* sub = app.add_subcommand("streams", "List the TCP conversations (or UDP flows) of a capture, numbered as tshark numbers them");
    auto path = std::make_shared<std::string>();
    auto udp = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    sub->add_option("FILE", *path, "Capture file (pcap or pcapng)")->required();
    sub->add_flag("--udp", *udp, "List UDP flows instead of TCP conversations");
    sub->add_flag("--json", *json, "Print one JSON object per conversation");
    sub->callback([=] { run(*path, *udp, *json); });
}};

}  // namespace
}  // namespace qor::cli
