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
//   commands print what they could read before reporting it (with --range too, when the damage
//   lies past the range).
// - The input is read twice and never held: a first pass over its record headers learns what
//   the output needs before its first packet (link types, comments, sizes, the key-log lines
//   and section comment a pcapng input carries), then a second pass streams its packets, a
//   window at a time, into the output. A capture of any size is exported in a few megabytes.
//   An input that changes between the passes so that the planned header no longer fits its
//   packets (a link type the first pass did not see) fails with status 1 and writes nothing.
// - The file is streamed into a temporary file beside OUT (reserved at full size first) and
//   renamed into place, so OUT is either the old file or the complete new one; an interrupt
//   (SIGINT, SIGTERM, SIGHUP) during the write removes the temporary file. A new OUT gets the
//   usual permissions (0666 less the umask); an existing OUT keeps its mode.
// - A progress bar is drawn on standard error while it is a terminal, for each pass.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "CaptureLoading.hpp"
#include "Command.hpp"
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

/// What the first pass learns of the packets to export (those of the range, in file order).
struct ExportPlan {
    std::uint64_t packetsInFile = 0;
    std::uint64_t selected = 0;
    std::size_t comments = 0;
    std::uint64_t classicBytes = PacketsToFileDataAsyncStream::kGlobalHeaderLength;
    PcapngWriter::Layout layout;
    CaptureFacts facts;
};

/// Whether the packet numbered `id` (from 1) is exported.
bool inRange(std::int64_t id, const std::optional<PacketRange>& range) {
    return !range || (static_cast<std::uint64_t>(id) >= range->first && static_cast<std::uint64_t>(id) <= range->last);
}

/// The first pass: the record headers alone, of the whole file (a pcapng file's key-log blocks
/// may follow its packets, and damage past the range is reported as without one).
ExportPlan planExport(const ExportOptions& options, const std::optional<PacketRange>& range) {
    ExportPlan plan;
    plan.facts = streamRecords(
        options.input, {},
        [&](std::span<const CaptureRecord> window) {
            for (const CaptureRecord& record : window) {
                plan.packetsInFile = static_cast<std::uint64_t>(record.packetId);
                if (!inRange(record.packetId, range)) continue;
                ++plan.selected;
                if (record.comment) ++plan.comments;
                plan.classicBytes += PacketsToFileDataAsyncStream::kRecordHeaderLength + record.captureLength;
                plan.layout.add(record.linkType, record.captureLength, record.comment);
            }
            return true;
        });
    return plan;
}

/// How the output is produced: streamed to the file by `content`, at most `upperBound` bytes.
struct OutputWriter {
    std::uint64_t upperBound = 0;
    AtomicWriteContent content;
};

/// The failure of an input that no longer matches what its first pass planned.
CommandFailure changedWhileExported(const ExportOptions& options) {
    return CommandFailure(kFailureStatus, options.input + ": changed while it was exported; nothing written");
}

/// The second pass: the selected packets in file order, a window at a time, into `append`
/// (false stops the pass). Returns what the pass learnt of the file.
CaptureFacts streamSelected(const ExportOptions& options, const std::optional<PacketRange>& range,
                            const std::function<bool(std::span<const std::shared_ptr<QORPacket>>)>& append) {
    return streamCapture(
        options.input, {},
        [&](std::span<const std::shared_ptr<QORPacket>> window) {
            std::size_t begin = 0, end = window.size();
            while (begin < end && !inRange(window[begin]->packetId(), range)) {
                if (range && static_cast<std::uint64_t>(window[begin]->packetId()) > range->last) return false;
                ++begin;
            }
            while (end > begin && !inRange(window[end - 1]->packetId(), range)) --end;
            if (begin < end && !append(window.subspan(begin, end - begin))) return false;
            return !range || end == window.size();
        },
        /*analyse=*/false);
}

OutputWriter exportClassic(const ExportPlan& plan, const ExportOptions& options, const std::optional<PacketRange>& range,
                           CaptureFacts& streamed) {
    const auto& linkTypes = plan.layout.linkTypes();  // in order of first appearance
    if (linkTypes.size() > 1) {
        std::vector<std::uint32_t> sorted(linkTypes);
        std::sort(sorted.begin(), sorted.end());
        std::string list;
        for (auto t : sorted) list += (list.empty() ? "" : ", ") + std::to_string(t);
        throw CommandFailure(kFailureStatus, options.input + ": packets have " + std::to_string(linkTypes.size()) +
                                                 " link types (" + list +
                                                 "); classic pcap holds one. Export with --format pcapng instead");
    }
    const CaptureFacts& capture = plan.facts;
    std::uint32_t linkType = kDefaultLinkType;
    if (!linkTypes.empty()) {
        linkType = linkTypes.front();
    } else if (capture.classicLinkType) {
        linkType = *capture.classicLinkType;
    } else if (capture.metadata && !capture.metadata->interfaces.empty()) {
        linkType = capture.metadata->interfaces.front().linkType;
    }
    if (plan.comments) {
        std::fprintf(stderr, "qor: note: classic pcap has no comments; %zu packet comment(s) not exported\n", plan.comments);
    }
    if (options.comment || options.keylog) {
        std::fprintf(stderr, "qor: note: classic pcap has no section comment or key-log block; --comment and "
                             "--keylog are ignored (use --format pcapng)\n");
    }
    const std::uint64_t total = plan.classicBytes;
    OutputWriter writer;
    writer.upperBound = total;
    writer.content = [&options, range, linkType, total, &streamed](const AtomicWriteSink& sink) {
        ClassicPcapPartWriter out(sink, linkType, kClassicSnapLength, static_cast<double>(total));
        bool changed = false;
        streamed = streamSelected(options, range, [&](std::span<const std::shared_ptr<QORPacket>> packets) {
            for (const auto& packet : packets) changed = changed || packet->linkType() != linkType;
            return !changed && out.append(packets);
        });
        if (changed) throw changedWhileExported(options);
        return out.finish().has_value();
    };
    return writer;
}

OutputWriter exportPcapng(const ExportPlan& plan, const ExportOptions& options, const std::optional<PacketRange>& range,
                          CaptureFacts& streamed) {
    std::vector<std::string> secrets = plan.facts.secrets;
    if (options.keylog) secrets.push_back(readTextFile(*options.keylog));
    std::optional<std::string> comment = options.comment ? options.comment : plan.facts.sectionComment;
    const double total = plan.layout.totalByteCount(secrets, comment);
    OutputWriter writer;
    writer.upperBound = static_cast<std::uint64_t>(total);
    writer.content = [&options, range, layout = plan.layout, secrets = std::move(secrets), comment = std::move(comment), total,
                      &streamed](const AtomicWriteSink& sink) {
        PcapngWriter::PartWriter out(sink, layout, secrets, comment, total, {}, PcapngWriter::SecretsPlacement::beforePackets);
        streamed = streamSelected(options, range, [&](std::span<const std::shared_ptr<QORPacket>> packets) { return out.append(packets); });
        if (out.metUnplannedLinkType()) throw changedWhileExported(options);
        return out.finish().has_value();
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
    std::optional<PacketRange> range;
    if (options.range) range = parseRange(*options.range);

    const ExportPlan plan = planExport(options, range);
    QOR_LOG(kLogTag, "planned " + std::to_string(plan.selected) + " packets in " + secondsSince(phase));
    phase = std::chrono::steady_clock::now();
    if (range && range->first > plan.packetsInFile) {
        throw CommandFailure(kFailureStatus, options.input + ": has " + std::to_string(plan.packetsInFile) +
                                                 " packet(s); --range " + *options.range + " selects none");
    }

    const CaptureContainerFormat format = options.format.empty()
                                              ? captureContainerFormatFromURL(options.output)
                                              : captureContainerFormatFromExtension(options.format);
    CaptureFacts streamed = plan.facts;
    OutputWriter writer = format == CaptureContainerFormat::pcapng ? exportPcapng(plan, options, range, streamed)
                                                                   : exportClassic(plan, options, range, streamed);
    AtomicWriteOptions how;
    how.expectedSize = writer.upperBound;
    how.removeOnInterrupt = true;
    std::string error;
    if (!writeFileAtomically(options.output, writer.content, how, &error)) {
        throw CommandFailure(kFailureStatus, options.output + ": " + error);
    }
    QOR_LOG(kLogTag, "wrote " + options.output + " in " + secondsSince(phase));
    // The first pass read the whole file; the second stops after the range, or finds damage
    // the first did not when the file changed in between.
    reportReadIssue(streamed.issue ? streamed : plan.facts);
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
