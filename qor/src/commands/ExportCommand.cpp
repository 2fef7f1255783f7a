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
// - The file is written into a temporary file beside OUT (reserved at full size, mapped and
//   filled in place; or built in memory and written with one write where mapping is not
//   supported) and renamed into place, so OUT is either the old file or the complete new one; an interrupt (SIGINT,
//   SIGTERM, SIGHUP) during the write removes the temporary file. A new OUT gets the usual
//   permissions (0666 less the umask); an existing OUT keeps its mode.
// - A progress bar is drawn on standard error while it is a terminal.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "Command.hpp"
#include "ProgressBar.hpp"
#include "QORCommonTools/FileHelpers.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/packets/PcapngWriter.hpp"

namespace qor::cli {
namespace {

namespace fs = std::filesystem;
using Packets = std::vector<std::shared_ptr<QORPacket>>;

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

/// Reads the capture with progress; the reader keeps what it learnt about the file.
Packets readCapture(FileDataToPacketsAsyncStream& reader, const std::string& path, const Data& data, bool showProgress) {
    auto cache = std::make_shared<QORDataCache>(path, false);
    ProgressBar bar(data.size(), showProgress, "reading");
    Task task;
    auto stream = reader.startStream([&](Task t) { task = t; }, cache, data, fs::path(path));
    Packets packets;
    try {
        while (auto event = stream.next()) {
            if (auto kb = ProgressUpdateTranslation::bytesReadValue(*event)) {
                bar.update(static_cast<std::uint64_t>(*kb * 1024));
            } else if (auto* result = event->payload()) {
                packets = std::move(*result);
            }
        }
    } catch (const APIErrorException& e) {
        task.wait();
        throw CommandFailure(kFailureStatus, path + ": not a capture file (neither pcap nor pcapng)");
    }
    task.wait();
    return packets;
}

// --- Writing the file -------------------------------------------------------------------------

/// The temporary file being written, removed by the signal handler when the export is
/// interrupted. A fixed buffer, so that the handler touches nothing but async-signal-safe calls.
char gTemporaryPath[4096];
volatile std::sig_atomic_t gTemporaryActive = 0;

extern "C" void removeTemporaryAndReraise(int signal) {
    if (gTemporaryActive) ::unlink(gTemporaryPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

/// How the output is produced: streamed chunk by chunk to a sink by `stream`, which returns the
/// byte count (nothing when the sink refused a chunk); at most `upperBound` bytes.
struct OutputWriter {
    std::uint64_t upperBound = 0;
    std::function<std::optional<std::uint64_t>(const PcapngWriter::Sink&)> stream;
};

/// Writes the output to a temporary file beside `target`, then renames it into place. The file
/// is first reserved at the output's full size, so that a full disk is reported before anything
/// is written, then written chunk by chunk and cut to the size actually written. Throws
/// `CommandFailure` naming the target on any error (nothing is left behind).
void writeAtomically(const fs::path& target, const OutputWriter& writer) {
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const std::string pattern = (dir / ("." + target.filename().string() + ".qor-XXXXXX")).string();
    auto fail = [&](const std::string& what) {
        return CommandFailure(kFailureStatus, target.string() + ": " + what + ": " + std::strerror(errno));
    };
    if (pattern.size() >= sizeof gTemporaryPath) throw CommandFailure(kFailureStatus, target.string() + ": path too long");
    std::memcpy(gTemporaryPath, pattern.c_str(), pattern.size() + 1);

    struct sigaction action {};
    action.sa_handler = removeTemporaryAndReraise;
    sigemptyset(&action.sa_mask);
    struct sigaction previous[3];
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) sigaction(signals[i], &action, &previous[i]);
    auto restoreSignals = [&] {
        gTemporaryActive = 0;
        for (int i = 0; i < 3; ++i) sigaction(signals[i], &previous[i], nullptr);
    };

    // mkstemp creates the file and fills in the name in place; block the signals meanwhile so
    // that the handler never sees a half-made name.
    sigset_t block, old;
    sigemptyset(&block);
    for (int s : signals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &old);
    const int fd = ::mkstemp(gTemporaryPath);
    if (fd >= 0) gTemporaryActive = 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) {
        auto error = fail("cannot create a file in " + dir.string());
        restoreSignals();
        throw error;
    }
    auto abandon = [&](const std::string& what) {
        auto error = fail(what);
        ::close(fd);
        ::unlink(gTemporaryPath);
        restoreSignals();
        return error;
    };

    struct stat existing {};
    mode_t mode;
    if (::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) throw abandon("cannot set permissions");

    auto writeAll = [&](std::span<const std::byte> bytes) {
        const std::byte* at = bytes.data();
        std::size_t left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, at, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw abandon("cannot write");
            }
            at += n;
            left -= static_cast<std::size_t>(n);
        }
    };

    if (writer.upperBound > 0 && ::fallocate(fd, 0, 0, static_cast<off_t>(writer.upperBound)) != 0 && errno == ENOSPC) {
        throw abandon("cannot write");
    }
    std::optional<std::uint64_t> count;
    try {
        count = writer.stream([&](std::span<const std::byte> chunk) {
            writeAll(chunk);
            return true;
        });
    } catch (const CommandFailure&) {
        throw;  // writeAll already cleaned up
    } catch (...) {
        ::close(fd);
        ::unlink(gTemporaryPath);
        restoreSignals();
        throw;
    }
    if (!count || ::ftruncate(fd, static_cast<off_t>(*count)) != 0) throw abandon("cannot write");
    if (::close(fd) != 0) {
        auto error = fail("cannot write");
        ::unlink(gTemporaryPath);
        restoreSignals();
        throw error;
    }
    if (::rename(gTemporaryPath, target.c_str()) != 0) {
        auto error = fail("cannot replace");
        ::unlink(gTemporaryPath);
        restoreSignals();
        throw error;
    }
    restoreSignals();
}

// --- The command ------------------------------------------------------------------------------

OutputWriter exportClassic(std::span<const std::shared_ptr<QORPacket>> packets,
                           const FileDataToPacketsAsyncStream& reader, const ExportOptions& options, bool showProgress) {
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
    } else if (auto classic = reader.lastLinkType()) {
        linkType = *classic;
    } else if (auto meta = reader.lastPcapngMetadata(); meta && !meta->interfaces.empty()) {
        linkType = meta->interfaces.front().linkType;
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
    writer.stream = [=](const PcapngWriter::Sink& sink) {
        auto n = PacketsToFileDataAsyncStream::serializeTo(sink, packets, linkType, kClassicSnapLength,
                                                           static_cast<double>(total), onProgress, never);
        bar->finish();
        return n;
    };
    return writer;
}

OutputWriter exportPcapng(std::span<const std::shared_ptr<QORPacket>> packets,
                          const FileDataToPacketsAsyncStream& reader, const ExportOptions& options, bool showProgress) {
    std::vector<std::string> secrets = reader.lastSecrets();
    if (options.keylog) secrets.push_back(readTextFile(*options.keylog));
    std::optional<std::string> comment = options.comment ? options.comment : reader.lastSectionComment();
    const double total = PcapngWriter::totalByteCount(packets, secrets, comment);
    auto bar = std::make_shared<ProgressBar>(static_cast<std::uint64_t>(total), showProgress, "writing");
    auto progress = [bar](double written) { bar->update(static_cast<std::uint64_t>(written)); };
    OutputWriter writer;
    writer.upperBound = static_cast<std::uint64_t>(total);
    writer.stream = [=](const PcapngWriter::Sink& sink) {
        auto n = PcapngWriter::writeTo(sink, packets, secrets, comment, total, progress);
        bar->finish();
        return n;
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

    std::string error;
    auto input = mapFile(options.input, &error);
    if (!input) throw CommandFailure(kFailureStatus, options.input + ": cannot read: " + error);

    FileDataToPacketsAsyncStream reader;
    Packets packets = readCapture(reader, options.input, *input, showProgress);
    QOR_LOG(kLogTag, "read " + std::to_string(packets.size()) + " packets in " + secondsSince(phase));
    phase = std::chrono::steady_clock::now();
    if (auto issue = reader.lastReadIssue()) {
        std::fprintf(stderr, "qor: warning: %s: %s; exporting the %zu packet(s) read\n", options.input.c_str(),
                     issue->c_str(), packets.size());
    }

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
                              ? exportPcapng(selected, reader, options, showProgress)
                              : exportClassic(selected, reader, options, showProgress);
    writeAtomically(options.output, writer);
    QOR_LOG(kLogTag, "wrote " + options.output + " in " + secondsSince(phase));
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
