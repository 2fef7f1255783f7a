// qor export: writes the packets of a capture file (or a range of them) as classic pcap or
// pcapng, with a section comment and TLS key-log lines.
//
//   qor export IN OUT [--format pcap|pcapng] [--comment TEXT] [--keylog FILE] [--range A-B]
//
// Decisions:
// - The format defaults to OUT's extension ("pcapng" and "ntar" give pcapng, anything else
//   classic pcap).
// - pcapng output keeps the input's section comment unless --comment replaces it; without
//   either, the default comment is written. Its key-log lines are the input's Decryption
//   Secrets Blocks merged with --keylog's lines (duplicates and "#" lines dropped).
// - Classic output carries one link type; packets of several link types are refused (with a
//   pointer to pcapng) rather than written under a wrong type. Comments and key-log lines
//   have no place in classic pcap: the command says how many are dropped.
// - pcapng output puts the Decryption Secrets Block before the first packet, where readers that
//   decrypt as they read (tshark) find the keys in time.
// - The input is read like every other command reads it: a file that cannot be opened or is no
//   capture fails with status 1 and nothing is written. A damaged capture (reading stopped
//   early) is still exported: the packets read before the fault are written to OUT, then the
//   fault is reported as "qor: IN: damaged capture: ..." and the status is 2, as the other
//   commands print what they could read before reporting it.
// - The file is streamed into a temporary file beside OUT (reserved at full size first) and
//   renamed into place, so OUT is either the old file or the complete new one; an interrupt
//   (SIGINT, SIGTERM, SIGHUP) during the write removes the temporary file. A new OUT gets the
//   usual permissions (0666 less the umask); an existing OUT keeps its mode.
// - A progress bar is drawn on standard error while it is a terminal.

#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
#include "ProgressBar.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "QORPlatform/AtomicFileWriting.hpp"

namespace qor::cli {
namespace {

constexpr std::uint32_t kClassicSnapLength = 262144;
constexpr std::uint32_t kDefaultLinkType = 1;
constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

struct ExportOptions {
    std::string input;
    std::string output;
    std::string format;
    std::optional<std::string> comment;
    std::optional<std::string> keylog;
    std::optional<std::string> range;
};

/// A 1-based inclusive packet range.
struct PacketRange {
    std::uint64_t first = 1;
    std::uint64_t last = 0;
};

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

/// "A-B" with 1 <= A <= B.
PacketRange parseRange(const std::string& text) {
    auto dash = text.find('-');
    std::optional<std::uint64_t> a, b;
    if (dash != std::string::npos) {
        a = parseNumber(std::string_view(text).substr(0, dash));
        b = parseNumber(std::string_view(text).substr(dash + 1));
    }
    if (!a || !b || *a < 1 || *a > *b) {
        throw CommandFailure(kUsageStatus, "--range: expected A-B with packet numbers 1 <= A <= B, got \"" + text + "\"");
    }
    return {*a, *b};
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CommandFailure(kFailureStatus, path + ": cannot read key log: " + std::strerror(errno));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/// How the output is produced: streamed to the file by `content`, at most `upperBound` bytes.
struct OutputWriter {
    std::uint64_t upperBound = 0;
    AtomicWriteContent content;
};

OutputWriter exportClassic(std::span<const std::shared_ptr<QORPacket>> packets, const LoadedCapture& capture,
                           const ExportOptions& options, bool showProgress) {
    std::set<std::uint32_t> linkTypes;
    std::size_t comments = 0;
    for (const auto& p : packets) {
        linkTypes.insert(p->linkType());
        if (p->packetComment()) ++comments;
    }
    if (linkTypes.size() > 1) {
        std::string list;
        for (auto t : linkTypes) list += (list.empty() ? "" : ", ") + std::to_string(t);
        throw CommandFailure(kFailureStatus, options.input + ": packets have " + std::to_string(linkTypes.size()) +
                                                 " link types (" + list +
                                                 "); classic pcap holds one. Export with --format pcapng instead");
    }
    std::uint32_t linkType = kDefaultLinkType;
    if (!linkTypes.empty()) {
        linkType = *linkTypes.begin();
    } else if (capture.classicLinkType) {
        linkType = *capture.classicLinkType;
    } else if (capture.metadata && !capture.metadata->interfaces.empty()) {
        linkType = capture.metadata->interfaces.front().linkType;
    }
    if (comments) {
        std::fprintf(stderr, "qor: note: classic pcap has no comments; %zu packet comment(s) not exported\n", comments);
    }
    if (options.comment || options.keylog) {
        std::fprintf(stderr, "qor: note: classic pcap has no section comment or key-log block; --comment and "
                             "--keylog are ignored (use --format pcapng)\n");
    }
    const auto total = PacketsToFileDataAsyncStream::expectedByteCount(packets);
    auto bar = std::make_shared<ProgressBar>(total, showProgress, "writing");
    auto onProgress = [bar](std::uint64_t written) { bar->update(written); };
    auto never = [] { return false; };
    OutputWriter writer;
    writer.upperBound = total;
    writer.content = [=](const AtomicWriteSink& sink) {
        auto n = PacketsToFileDataAsyncStream::serializeTo(sink, packets, linkType, kClassicSnapLength,
                                                           static_cast<double>(total), onProgress, never);
        bar->finish();
        return n.has_value();
    };
    return writer;
}

OutputWriter exportPcapng(std::span<const std::shared_ptr<QORPacket>> packets, const LoadedCapture& capture,
                          const ExportOptions& options, bool showProgress) {
    std::vector<std::string> secrets = capture.secrets;
    if (options.keylog) secrets.push_back(readTextFile(*options.keylog));
    std::optional<std::string> comment = options.comment ? options.comment : capture.sectionComment;
    const double total = PcapngWriter::totalByteCount(packets, secrets, comment);
    auto bar = std::make_shared<ProgressBar>(static_cast<std::uint64_t>(total), showProgress, "writing");
    auto progress = [bar](double written) { bar->update(static_cast<std::uint64_t>(written)); };
    OutputWriter writer;
    writer.upperBound = static_cast<std::uint64_t>(total);
    writer.content = [=](const AtomicWriteSink& sink) {
        auto n = PcapngWriter::writeTo(sink, packets, secrets, comment, total, progress,
                                       PcapngWriter::SecretsPlacement::beforePackets);
        bar->finish();
        return n.has_value();
    };
    return writer;
}

/// Seconds since `start`, as text for the timing log lines (shown with QOR_LOG set).
std::string secondsSince(std::chrono::steady_clock::time_point start) {
    return std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void runExport(const ExportOptions& options) {
    constexpr const char* kLogTag = "qor/ExportCommand";
    auto phase = std::chrono::steady_clock::now();
    const bool showProgress = ProgressBar::standardErrorIsTerminal();
    std::optional<PacketRange> range;
    if (options.range) range = parseRange(*options.range);

    const auto& capture = keepUntilExit(loadCaptureShowingProgress(options.input));
    const auto& packets = capture.packets;
    QOR_LOG(kLogTag, "read " + std::to_string(packets.size()) + " packets in " + secondsSince(phase));
    phase = std::chrono::steady_clock::now();

    std::span<const std::shared_ptr<QORPacket>> selected(packets);
    if (range) {
        if (range->first > packets.size()) {
            throw CommandFailure(kFailureStatus, options.input + ": has " + std::to_string(packets.size()) +
                                                     " packet(s); --range " + *options.range + " selects none");
        }
        const auto last = std::min<std::uint64_t>(range->last, packets.size());
        selected = selected.subspan(range->first - 1, last - range->first + 1);
    }

    const CaptureContainerFormat format = options.format.empty()
                                              ? captureContainerFormatFromURL(options.output)
                                              : captureContainerFormatFromExtension(options.format);
    OutputWriter writer = format == CaptureContainerFormat::pcapng
                              ? exportPcapng(selected, capture, options, showProgress)
                              : exportClassic(selected, capture, options, showProgress);
    AtomicWriteOptions how;
    how.expectedSize = writer.upperBound;
    how.removeOnInterrupt = true;
    std::string error;
    if (!writeFileAtomically(options.output, writer.content, how, &error)) {
        throw CommandFailure(kFailureStatus, options.output + ": " + error);
    }
    QOR_LOG(kLogTag, "wrote " + options.output + " in " + secondsSince(phase));
    reportReadIssue(capture);
}

const CommandRegistration reg{[](CLI::App& app) {
    auto options = std::make_shared<ExportOptions>();
    auto* sub = app.add_subcommand("export", "Write the packets of a capture file as classic pcap or pcapng");
    sub->add_option("IN", options->input, "Capture file to read (pcap or pcapng)")->required();
    sub->add_option("OUT", options->output, "File to write; replaced only once it is complete")->required();
    sub->add_option("--format", options->format, "Output format (default: from OUT's extension)")
        ->check(CLI::IsMember({"pcap", "pcapng"}));
    sub->add_option("--comment", options->comment, "pcapng section comment (default: the input's, else a standard one)");
    sub->add_option("--keylog", options->keylog, "NSS key-log file whose lines go into the pcapng secrets block");
    sub->add_option("--range", options->range, "Export only packets A to B (1-based, inclusive), e.g. 10-20");
    sub->callback([options] { runExport(*options); });
}};

}  // namespace
}  // namespace qor::cli
