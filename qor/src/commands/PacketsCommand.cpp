// qor packets FILE: one line (or one JSON object) per packet, streamed.

#include <fmt/compile.h>
#include <fmt/format.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "commands/PluginSetup.hpp"

namespace qor::cli {
namespace {

/// RapidJSON's output stream over a buffer that keeps its capacity from packet to packet.
struct TextOutput {
    using Ch = char;
    fmt::memory_buffer* text;
    void Put(char c) { text->push_back(c); }
    void Flush() {}
};

/// The packet's record as one JSON object: the record's own property names, in name order;
/// absent values left out.
void appendJSON(const QORPacket& p, fmt::memory_buffer& out) {
    TextOutput stream{&out};
    rapidjson::Writer<TextOutput> w(stream);
    auto text = [&](const char* key, const std::optional<std::string>& v) {
        if (!v) return;
        w.Key(key);
        w.String(v->data(), static_cast<rapidjson::SizeType>(v->size()));
    };
    auto nonEmpty = [&](const char* key, const std::optional<std::string>& v) {
        if (v && !v->empty()) text(key, v);
    };
    auto port = [&](const char* key) {
        if (auto v = p.valueForUndefinedKey(key).asUInt()) {
            w.Key(key);
            w.Uint64(*v);
        }
    };
    w.StartObject();
    w.Key("captureLength");
    w.Uint(p.captureLength());
    w.Key("dateReceived");
    w.Double(p.dateReceived());
    w.Key("dateReference");
    w.Double(p.dateReference());
    port("dstPort");
    w.Key("linkType");
    w.Uint(p.linkType());
    auto [source, destination] = p.packetEndpointStrings();
    text("packetComment", p.packetComment());
    text("packetDestinationString", destination);
    nonEmpty("packetIPDestinationAddress", p.packetIPDestinationAddress());
    nonEmpty("packetIPSourceAddress", p.packetIPSourceAddress());
    w.Key("packetId");
    w.Int64(p.packetId());
    text("packetInfoOverview", p.packetInfoOverview());
    text("packetProtocol", p.packetProtocol());
    text("packetProtocolHistory", p.packetProtocolHistory());
    text("packetSourceString", source);
    if (auto v = p.pcapngInterfaceIndex()) {
        w.Key("pcapngInterfaceIndex");
        w.Int64(*v);
    }
    text("pcapngInterfaceName", p.pcapngInterfaceName());
    if (auto v = p.pcapngPacketFlags()) {
        w.Key("pcapngPacketFlags");
        w.Uint(*v);
    }
    w.Key("realLength");
    w.Uint(p.realLength());
    port("srcPort");
    w.EndObject();
    out.push_back('\n');
}

/// Appends `text` padded with spaces to `width` columns, aligned right or left, as fmt's
/// "{:>N}"/"{:<N}" would. ASCII text (addresses, protocol and link-type names nearly always are)
/// is measured by its bytes; other text goes through fmt, which counts display columns. fmt
/// measures every padded text code point by code point, which cost more than the rest of the line.
void appendPadded(fmt::memory_buffer& out, std::string_view text, std::size_t width, bool right) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        if (right) fmt::format_to(fmt::appender(out), "{:>{}}", text, width);
        else fmt::format_to(fmt::appender(out), "{:<{}}", text, width);
        return;
    }
    const std::size_t fill = text.size() < width ? width - text.size() : 0;
    auto pad = [&] {
        out.resize(out.size() + fill);
        std::fill(out.end() - fill, out.end(), ' ');
    };
    if (right) pad();
    out.append(text);
    if (!right) pad();
}

/// One listing line: "{:>6} {:>11.6f} {:>15} -> {:<15} {:<8} {:>5}/{:<5} {:<5} {:<6} {}{}{}".
void appendLine(const QORPacket& p, fmt::memory_buffer& out) {
    std::string iface;
    if (auto i = p.pcapngInterfaceIndex()) {
        iface = std::to_string(*i);
        if (auto n = p.pcapngInterfaceName()) iface += "(" + *n + ")";
    }
    auto comment = p.packetComment();
    auto [source, destination] = p.packetEndpointStrings();
    const InternedString linkName = p.packetLinkTypeName();
    const std::string linkNumber = linkName.hasValue() ? std::string() : std::to_string(p.linkType());
    fmt::format_to(fmt::appender(out), FMT_COMPILE("{:>6} {:>11.6f} "), p.packetId(), p.packetTime());
    appendPadded(out, source.value_or(""), 15, true);
    out.append(std::string_view(" -> "));
    appendPadded(out, destination.value_or(""), 15, false);
    out.push_back(' ');
    appendPadded(out, p.packetProtocolInterned().view(), 8, false);
    fmt::format_to(fmt::appender(out), FMT_COMPILE(" {:>5}/{:<5} "), p.captureLength(), p.realLength());
    appendPadded(out, linkName.hasValue() ? linkName.view() : std::string_view(linkNumber), 5, false);
    out.push_back(' ');
    appendPadded(out, iface, 6, false);
    out.push_back(' ');
    out.append(p.packetInfoOverview());
    if (comment) {
        out.append(std::string_view("  # "));
        out.append(*comment);
    }
    out.push_back('\n');
}

/// Streams the file: each window of packets is analysed and formatted on all cores (one text per
/// packet, kept with its capacity for the next window), written in file order, then dropped.
void run(const std::string& file, bool json) {
    activateAnalyzers();
    std::vector<fmt::memory_buffer> texts(PacketWindowAnalysis::kDefaultWindow);
    std::string out;
    auto capture = streamCapture(
        file,
        [&](QORPacket& packet, std::size_t slot) {
            fmt::memory_buffer& text = texts[slot];
            text.clear();
            if (json) appendJSON(packet, text);
            else appendLine(packet, text);
        },
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            out.clear();
            for (std::size_t i = 0; i < window.size(); ++i) out.append(texts[i].data(), texts[i].size());
            std::fwrite(out.data(), 1, out.size(), stdout);
            return true;
        },
        /*analyse=*/true);
    std::fflush(stdout);
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* cmd = app.add_subcommand("packets", "List packets: number, time, source, destination, protocol, lengths, info");
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *file, "pcap or pcapng file")->required();
    cmd->add_flag("--json", *json, "Print JSON Lines, one object per packet");
    cmd->callback([file, json] { run(*file, *json); });
}};

}  // namespace
}  // namespace qor::cli
