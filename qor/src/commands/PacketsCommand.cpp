// qor packets FILE: one line (or one JSON object) per packet, streamed.

#include <fmt/compile.h>
#include <fmt/format.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "DisplayFilter.hpp"
#include "SecondsText.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/filters/PacketFilterEngine.hpp"
#include "commands/PluginSetup.hpp"

namespace qor::cli {
namespace {

/// One packet's output text. A listing line is about a hundred bytes, and the writer asks for
/// its upper bound (about a hundred and fifty more) before writing it; the inline capacity holds
/// that for most lines, and a longer text keeps its heap capacity for the packets that take its
/// slot in later windows.
using LineText = fmt::basic_memory_buffer<char, 448>;

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
    auto string = [&](const char* key, std::string_view v) {
        w.Key(key);
        w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
    };
    auto text = [&](const char* key, const std::optional<std::string>& v) {
        if (v) string(key, *v);
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
    const auto& [summary, source, destination, protocolName] = texts;
    text("packetComment", p.packetComment());
    text("packetDestinationString", destination);
    nonEmpty("packetIPDestinationAddress", p.packetIPDestinationAddress());
    nonEmpty("packetIPSourceAddress", p.packetIPSourceAddress());
    w.Key("packetId");
    w.Int64(p.packetId());
    string("packetInfoOverview", summary);
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

/// Whether `text` is ASCII, tested eight bytes at a time (the texts are a few to a few dozen
/// bytes); the last bytes are tested as a word that overlaps the ones before, not one by one.
/// Inlined into each column's padding, as `copyText` and `spaces` are.
[[gnu::always_inline]] inline bool isASCII(std::string_view text) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    const char* p = text.data();
    const std::size_t n = text.size();
    auto load8 = [](const char* at) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        return word;
    };
    auto load4 = [](const char* at) {
        std::uint32_t word;
        std::memcpy(&word, at, 4);
        return word;
    };
    if (n >= 8) {
        std::uint64_t high = load8(p + n - 8);
        for (std::size_t i = 0; i + 8 <= n; i += 8) high |= load8(p + i);
        return (high & kHigh) == 0;
    }
    if (n >= 4) return ((load4(p) | load4(p + n - 4)) & 0x80808080u) == 0;
    if (n == 0) return true;
    // One to three bytes: the first, the middle and the last cover them all.
    return ((static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) | static_cast<unsigned char>(p[n - 1])) & 0x80u) == 0;
}

/// Copies `n` bytes. A line's columns are mostly 1 to 16 bytes: they are copied by two moves of
/// fixed size that overlap, not by a call.
[[gnu::always_inline]] inline void copyText(char* to, const char* from, std::size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n != 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

/// Writes one listing line at the end of a text: room for the whole line is made once, and each
/// column is copied into it, padded with spaces to its width as "{:>N}"/"{:<N}" would. ASCII
/// text (addresses, protocol and link-type names nearly always are) is measured by its bytes;
/// other text goes through fmt, which counts display columns. Going through fmt (or growing the
/// text) for every column cost more than the rest of the line.
class LineWriter {
public:
    /// `most`: an upper bound of the line's bytes (see `room`).
    LineWriter(LineText& out, std::size_t most) : out_(out) {
        const std::size_t start = out_.size();
        out_.resize(start + most + kSpaceRun);
        at_ = out_.data() + start;
    }
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;
    ~LineWriter() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }

    /// The most bytes `padded` writes for `text` in `width` columns (fmt pads text that is not
    /// ASCII by display columns, with fewer spaces than its bytes would suggest).
    static std::size_t room(std::string_view text, std::size_t width) { return text.size() + width; }
    /// The most bytes `seconds` writes on its fast path; the slow path makes its own room.
    static constexpr std::size_t kSecondsRoom = kMicrosecondTextRoom;
    /// The most bytes `integer` writes.
    static constexpr std::size_t kIntegerRoom = 20 + 1;

    void put(char c) { *at_++ = c; }
    [[gnu::always_inline]] void text(std::string_view text) {
        copyText(at_, text.data(), text.size());
        at_ += text.size();
    }
    /// Inlined, as `text` is: a line pads eight columns, and a call cost as much as the copying.
    [[gnu::always_inline]] void padded(std::string_view value, std::size_t width, bool right) {
        if (!isASCII(value)) {
            paddedByColumns(value, width, right);
            return;
        }
        paddedASCII(value, width, right);
    }
    /// `padded` for text known to be ASCII (digits).
    [[gnu::always_inline]] void paddedASCII(std::string_view value, std::size_t width, bool right) {
        const std::size_t fill = value.size() < width ? width - value.size() : 0;
        if (right) spaces(fill);
        text(value);
        if (!right) spaces(fill);
    }
    template <class Integer>
    [[gnu::always_inline]] void integer(Integer value, std::size_t width, bool right) {
        const fmt::format_int digits(value);
        paddedASCII(std::string_view(digits.data(), digits.size()), width, right);
    }
    /// `seconds` as "{:>11.6f}" would (see `microsecondText`; other values go through fmt).
    void seconds(double seconds) {
        std::array<char, kMicrosecondTextRoom> digits;
        if (auto text = microsecondText(seconds, digits)) paddedASCII(*text, 11, true);
        else secondsByFmt(seconds);
    }

private:
    /// `padded` for text that is not ASCII (kept out of line: its buffer would make every call's
    /// frame larger).
    [[gnu::noinline]] void paddedByColumns(std::string_view value, std::size_t width, bool right) {
        fmt::memory_buffer formatted;
        if (right) fmt::format_to(fmt::appender(formatted), "{:>{}}", value, width);
        else fmt::format_to(fmt::appender(formatted), "{:<{}}", value, width);
        text(std::string_view(formatted.data(), formatted.size()));
    }
    /// The rare time the fast path leaves (up to hundreds of digits): the line is made room for
    /// here, so that every line does not reserve the room of the largest double.
    [[gnu::noinline]] void secondsByFmt(double seconds) {
        fmt::memory_buffer formatted;
        fmt::format_to(fmt::appender(formatted), FMT_COMPILE("{:>11.6f}"), seconds);
        const auto at = static_cast<std::size_t>(at_ - out_.data());
        out_.resize(out_.size() + formatted.size());
        at_ = out_.data() + at;
        text(std::string_view(formatted.data(), formatted.size()));
    }
    /// Padding is written in runs of `kSpaceRun` spaces, the last one only partly kept (the
    /// writer keeps that much room past the line), so that a column's padding costs one move.
    static constexpr std::size_t kSpaceRun = 16;
    [[gnu::always_inline]] void spaces(std::size_t count) {
        static constexpr char kSpaces[kSpaceRun + 1] = "                ";
        char* const end = at_ + count;
        for (; at_ < end; at_ += kSpaceRun) std::memcpy(at_, kSpaces, kSpaceRun);
        at_ = end;
    }

    LineText& out_;
    char* at_;
};

/// One listing line: "{:>6} {:>11.6f} {:>15} -> {:<15} {:<8} {:>5}/{:<5} {:<5} {:<6} {}{}{}".
void appendLine(const QORPacket& p, const QORPacket::ListingTexts& texts, LineText& out) {
    std::string iface;
    if (auto i = p.pcapngInterfaceIndex()) {
        iface = fmt::format_int(*i).str();
        if (auto n = p.pcapngInterfaceName()) iface.append(1, '(').append(*n).append(1, ')');
    }
    auto comment = p.packetComment();
    const auto& [summary, source, destination, protocolName] = texts;
    const InternedString linkName = p.packetLinkTypeName();
    const std::string linkNumber = linkName.hasValue() ? std::string() : std::to_string(p.linkType());
    const std::string_view sourceText = source ? std::string_view(*source) : std::string_view();
    const std::string_view destinationText = destination ? std::string_view(*destination) : std::string_view();
    const std::string_view protocol = protocolName.view();
    const std::string_view link = linkName.hasValue() ? linkName.view() : std::string_view(linkNumber);
    const std::string_view commentText = comment ? std::string_view(*comment) : std::string_view();
    const std::size_t most = 3 * LineWriter::kIntegerRoom + 5 + LineWriter::kSecondsRoom + 16 + LineWriter::room(sourceText, 15) +
                             LineWriter::room(destinationText, 15) + LineWriter::room(protocol, 8) + LineWriter::room(link, 5) +
                             LineWriter::room(iface, 6) + summary.size() + 4 + commentText.size() + 1;
    LineWriter line(out, most);
    line.integer(p.packetId(), 6, true);
    line.put(' ');
    line.seconds(p.packetTime());
    line.put(' ');
    line.padded(sourceText, 15, true);
    line.text(" -> ");
    line.padded(destinationText, 15, false);
    line.put(' ');
    line.padded(protocol, 8, false);
    line.put(' ');
    line.integer(p.captureLength(), 5, true);
    line.put('/');
    line.integer(p.realLength(), 5, false);
    line.put(' ');
    line.padded(link, 5, false);
    line.put(' ');
    line.padded(iface, 6, false);
    line.put(' ');
    line.text(summary);
    if (comment) {
        line.text("  # ");
        line.text(commentText);
    }
    line.put('\n');
}

/// What `qor packets` was asked for.
struct Options {
    std::string file;
    bool json = false;
    /// Only the packets this predicate-language expression holds for.
    std::string filter;
    /// Only the packets the saved query of this name holds for, from the folder `queryDir`
    /// (the store's default folder when empty).
    std::string query, queryDir;
    /// Print only the number of packets listed.
    bool count = false;
};

/// Packets in a window of the listing. What the listing holds at a time is about three windows
/// of packet records, output texts and file pages (a window being read, one being analysed and
/// one being written), so the window sets the listing's memory beyond the code it runs. Each
/// window also costs a hand-over between the cores and a release of file pages, whatever its
/// size. In alternating runs over a million-packet capture (nine of each), 256 packets took the
/// time 384 took (median 0.70 s) and held 0.4 MB less at the peak; 192 held 0.2 MB less again
/// for 9% more time, and 128 saved only 0.1 MB more than 256.
constexpr std::size_t kListingWindow = 256;

/// Streams the file: each window of packets is analysed, filtered and formatted on all cores
/// (one text per packet, kept with its capacity for later windows), written in file order, then
/// dropped. A packet the filter cannot judge (it has no analyzers) is left out.
void run(const Options& options) {
    activateAnalyzers();
    const auto filter = !options.query.empty()  ? compileSavedQuery(options.query, options.queryDir)
                        : !options.filter.empty() ? compileDisplayFilter(options.filter)
                                                  : nullptr;
    // A packet's slot is its position in its window: one window of texts.
    constexpr std::size_t kSlots = kListingWindow;
    std::vector<LineText> texts(kSlots);
    std::vector<std::uint8_t> listed(kSlots);
    std::uint64_t count = 0;
    std::string out;
    CaptureFacts capture;
    try {
        capture = streamCapture(
            options.file,
            [&](QORPacket& packet, std::size_t slot) {
                LineText& text = texts[slot];
                text.clear();
                // The packet is analysed here: the listing's texts, and the filter's values, come
                // from that one analysis. Only the filter and the JSON fields read the analysis
                // again from the packet; a plain listing lets it go with the walk.
                std::optional<QORPacket::ListingTexts> listing;
                if (!options.count)
                    listing = packet.listingTexts(filter || options.json ? QORPacket::ListingAnalysis::keep : QORPacket::ListingAnalysis::once);
                const bool shown = !filter || PacketFilterEngine::evaluate(*filter, packet).value_or(false);
                listed[slot] = shown ? 1 : 0;
                if (!shown || !listing) return;
                if (options.json) appendJSON(packet, *listing, text);
                else appendLine(packet, *listing, text);
            },
            [&](std::span<const std::shared_ptr<QORPacket>> window) {
                out.clear();
                for (std::size_t i = 0; i < window.size(); ++i) {
                    if (!listed[i]) continue;
                    ++count;
                    out.append(texts[i].data(), texts[i].size());
                }
                if (!out.empty()) std::fwrite(out.data(), 1, out.size(), stdout);
                return true;
            },
            /*analyse=*/false, /*releasePages=*/true, kListingWindow, /*showDuringNextWindow=*/false);
    } catch (const FilterEvaluationError& e) {
        std::fflush(stdout);
        throw CommandFailure(2, "filter: " + e.reason());
    }
    if (options.count) std::printf("%llu\n", static_cast<unsigned long long>(count));
    std::fflush(stdout);
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto* cmd = app.add_subcommand("packets", "List packets: number, time, source, destination, protocol, lengths, info");
    auto options = std::make_shared<Options>();
    cmd->add_option("FILE", options->file, "pcap or pcapng file")->required();
    cmd->add_flag("--json", options->json, "Print JSON Lines, one object per packet");
    cmd->add_option("-Y,--filter", options->filter,
                    "Only packets matching a display filter, e.g. 'srcPort == 443 OR dstPort == 443' or "
                    "'packetProtocol == \"DNS\" AND packetLengthReal > 100'");
    auto* query = cmd->add_option("--query", options->query, "Only packets matching the saved query of this name (see qor queries)");
    query->excludes("--filter");
    cmd->add_option("--query-dir", options->queryDir, "The folder of the saved queries (default: the store's folder)");
    cmd->add_flag("--count", options->count, "Print only the number of packets (matching the filter)");
    cmd->callback([options] { run(*options); });
}};

}  // namespace
}  // namespace qor::cli
