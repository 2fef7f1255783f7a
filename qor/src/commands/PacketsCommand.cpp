// qor packets FILE: one line (or one JSON object) per packet, streamed.

#include <fmt/compile.h>
#include <fmt/format.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "commands/PluginSetup.hpp"

namespace qor::cli {
namespace {

/// One packet's output text. A listing line is about a hundred bytes; the inline capacity holds
/// most of them, and a longer text keeps its heap capacity for the packets that take its slot
/// in later windows.
using LineText = fmt::basic_memory_buffer<char, 160>;

/// RapidJSON's output stream over a buffer that keeps its capacity from packet to packet.
struct TextOutput {
    using Ch = char;
    LineText* text;
    void Put(char c) { text->push_back(c); }
    void Flush() {}
};

/// The packet's record as one JSON object: the record's own property names, in name order;
/// absent values left out.
void appendJSON(const QORPacket& p, const QORPacket::ListingTexts& texts, LineText& out) {
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
    const auto& [summary, source, destination] = texts;
    text("packetComment", p.packetComment());
    text("packetDestinationString", destination);
    nonEmpty("packetIPDestinationAddress", p.packetIPDestinationAddress());
    nonEmpty("packetIPSourceAddress", p.packetIPSourceAddress());
    w.Key("packetId");
    w.Int64(p.packetId());
    text("packetInfoOverview", summary);
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
void appendPadded(LineText& out, std::string_view text, std::size_t width, bool right) {
    // ASCII test eight bytes at a time (the texts are a few to a few dozen bytes).
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
    if (high & 0x8080808080808080ull) {
        if (right) fmt::format_to(fmt::appender(out), "{:>{}}", text, width);
        else fmt::format_to(fmt::appender(out), "{:<{}}", text, width);
        return;
    }
    const std::size_t fill = text.size() < width ? width - text.size() : 0;
    const std::size_t start = out.size();
    out.resize(start + fill + text.size());
    char* p = out.data() + start;
    if (right) {
        std::memset(p, ' ', fill);
        p += fill;
    }
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    if (!right) std::memset(p + text.size(), ' ', fill);
}

/// Appends an integer padded to `width` columns, as "{:>N}"/"{:<N}" would.
template <class Integer>
void appendInteger(LineText& out, Integer value, std::size_t width, bool right) {
    const fmt::format_int digits(value);
    appendPadded(out, std::string_view(digits.data(), digits.size()), width, right);
}

/// Appends `seconds` as "{:>11.6f}" would. Times of a listing are a few seconds to a few days
/// relative to the first packet, and fmt's exact shortest-digits machinery for a double cost
/// more than the rest of the line's numbers together: such a time is rounded to whole
/// microseconds in integer arithmetic, which gives fmt's digits whenever the scaled value is not
/// near a rounding tie (the product's error is far below the margin kept). Other values (ties,
/// huge, infinite or NaN) go through fmt.
void appendSeconds(LineText& out, double seconds) {
    const double magnitude = std::fabs(seconds);
    if (magnitude < 1e9) {
        const double scaled = magnitude * 1e6;
        const double whole = std::nearbyint(scaled);
        if (std::fabs(scaled - whole) < 0.4) {
            const auto micros = static_cast<std::uint64_t>(whole);
            char text[32];
            char* end = text + sizeof text;
            char* p = end;
            std::uint64_t fraction = micros % 1000000;
            for (int i = 0; i < 6; ++i, fraction /= 10) *--p = static_cast<char>('0' + fraction % 10);
            *--p = '.';
            std::uint64_t integral = micros / 1000000;
            do {
                *--p = static_cast<char>('0' + integral % 10);
                integral /= 10;
            } while (integral != 0);
            if (std::signbit(seconds)) *--p = '-';
            appendPadded(out, std::string_view(p, static_cast<std::size_t>(end - p)), 11, true);
            return;
        }
    }
    fmt::format_to(fmt::appender(out), FMT_COMPILE("{:>11.6f}"), seconds);
}

/// One listing line: "{:>6} {:>11.6f} {:>15} -> {:<15} {:<8} {:>5}/{:<5} {:<5} {:<6} {}{}{}".
void appendLine(const QORPacket& p, const QORPacket::ListingTexts& texts, LineText& out) {
    std::string iface;
    if (auto i = p.pcapngInterfaceIndex()) {
        iface = std::to_string(*i);
        if (auto n = p.pcapngInterfaceName()) iface += "(" + *n + ")";
    }
    auto comment = p.packetComment();
    const auto& [summary, source, destination] = texts;
    const InternedString linkName = p.packetLinkTypeName();
    const std::string linkNumber = linkName.hasValue() ? std::string() : std::to_string(p.linkType());
    appendInteger(out, p.packetId(), 6, true);
    out.push_back(' ');
    appendSeconds(out, p.packetTime());
    out.push_back(' ');
    appendPadded(out, source ? std::string_view(*source) : std::string_view(), 15, true);
    out.append(std::string_view(" -> "));
    appendPadded(out, destination ? std::string_view(*destination) : std::string_view(), 15, false);
    out.push_back(' ');
    appendPadded(out, p.packetProtocolInterned().view(), 8, false);
    out.push_back(' ');
    appendInteger(out, p.captureLength(), 5, true);
    out.push_back('/');
    appendInteger(out, p.realLength(), 5, false);
    out.push_back(' ');
    appendPadded(out, linkName.hasValue() ? linkName.view() : std::string_view(linkNumber), 5, false);
    out.push_back(' ');
    appendPadded(out, iface, 6, false);
    out.push_back(' ');
    out.append(summary);
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
    std::vector<LineText> texts(PacketWindowAnalysis::kDefaultWindow);
    std::string out;
    auto capture = streamCapture(
        file,
        [&](QORPacket& packet, std::size_t slot) {
            LineText& text = texts[slot];
            text.clear();
            // The packet is analysed here: the listing's texts come from that one analysis.
            const QORPacket::ListingTexts listing = packet.listingTexts();
            if (json) appendJSON(packet, listing, text);
            else appendLine(packet, listing, text);
        },
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            out.clear();
            for (std::size_t i = 0; i < window.size(); ++i) out.append(texts[i].data(), texts[i].size());
            std::fwrite(out.data(), 1, out.size(), stdout);
            return true;
        },
        /*analyse=*/false);
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
