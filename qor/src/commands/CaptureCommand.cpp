// qor capture: captures packets from a network interface into a pcapng file.
//
//     qor capture -i IFACE [-f FILTER] [-c COUNT] [-a duration:SECONDS] [-s SNAPLEN] [-p] -w FILE
//     qor capture -D
//
// The capture runs with libpcap in this process when it may (CAP_NET_RAW, as root normally has),
// otherwise through the capture daemon (qor-captured); --direct and --via-daemon force one way.
// Each packet is written to FILE as it arrives, so an interrupted capture (Ctrl-C, a kill, a
// crash) leaves a readable file with every packet received until then. Ctrl-C and SIGTERM end the
// capture normally. While capturing, a packet count is shown on standard error when it is a
// terminal; at the end libpcap's counters are printed there, as tcpdump does:
//
//     N packets captured
//     N packets received by filter
//     N packets dropped by kernel
//     N packets dropped by interface
//
// Exit status: 0 when the capture ran; 2 for an invalid capture filter (one error line, no file
// written) or bad arguments; 1 when the interface cannot be opened, the daemon cannot be reached,
// the file cannot be written or the capture breaks.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "Command.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "QORModels/capture/LiveCapture.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/PcapngFileWriter.hpp"

namespace {

using namespace qor::capture;
using qor::cli::CommandFailure;

struct Options {
    std::string interface;
    std::string filter;
    std::uint64_t count = 0;
    std::string autostop;
    std::uint32_t snapLength = 0;
    bool noPromiscuous = false;
    std::string file;
    bool list = false;
    bool direct = false;
    bool viaDaemon = false;
};

/// Set by SIGINT and SIGTERM; the capture in this process is also told at once.
std::atomic<bool> stopRequested{false};
std::atomic<LiveCapture*> runningCapture{nullptr};

void onStopSignal(int) {
    stopRequested.store(true);
    if (LiveCapture* capture = runningCapture.load()) capture->requestStop();
}

/// Installs the stop handlers for the capture's lifetime.
class StopSignals {
public:
    StopSignals() {
        struct sigaction action{};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }

private:
    struct sigaction oldInt_{};
    struct sigaction oldTerm_{};
};

/// "duration:SECONDS" in milliseconds (at least 1); the only condition supported.
std::uint32_t durationMillis(const std::string& autostop) {
    if (autostop.empty()) return 0;
    const std::string prefix = "duration:";
    if (autostop.rfind(prefix, 0) == 0) {
        try {
            std::size_t used = 0;
            const double seconds = std::stod(autostop.substr(prefix.size()), &used);
            if (used == autostop.size() - prefix.size() && seconds > 0 && seconds <= 4'000'000) {
                return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(seconds * 1000));
            }
        } catch (const std::exception&) {
        }
    }
    throw CommandFailure{2, "invalid autostop condition '" + autostop + "' (expected duration:SECONDS)"};
}

/// The live count on a terminal, redrawn at most ten times a second.
class LiveCount {
public:
    LiveCount(std::string interface) : interface_(std::move(interface)), shown_(::isatty(STDERR_FILENO) == 1) {}
    void update(std::uint64_t packets, bool force = false) {
        if (!shown_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::fprintf(stderr, "\rCapturing on '%s': %llu", interface_.c_str(), static_cast<unsigned long long>(packets));
        std::fflush(stderr);
        drawn_ = true;
    }
    void end(std::uint64_t packets) {
        if (!drawn_ && !shown_) return;
        update(packets, true);
        std::fputc('\n', stderr);
    }

private:
    std::string interface_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

void printCounters(const CaptureCounters& counters, std::uint64_t written) {
    std::fprintf(stderr,
                 "%llu packets captured\n%llu packets received by filter\n%llu packets dropped by kernel\n"
                 "%llu packets dropped by interface\n",
                 static_cast<unsigned long long>(written), static_cast<unsigned long long>(counters.received),
                 static_cast<unsigned long long>(counters.dropped),
                 static_cast<unsigned long long>(counters.interfaceDropped));
}

qor::PcapngFileWriter::Header fileHeader(const Options& options, std::uint32_t linkType, std::uint32_t snapLength) {
    qor::PcapngFileWriter::Header header;
    header.linkType = linkType;
    header.snapLength = snapLength;
    header.interfaceName = options.interface;
    header.sectionComment = "Captured by qor capture on " + options.interface +
                            (options.filter.empty() ? "" : " with filter '" + options.filter + "'");
    return header;
}

/// How a capture ended, whichever way it ran.
struct Result {
    CaptureEndReason reason = CaptureEndReason::stopped;
    std::string detail;
    CaptureCounters counters;
    std::uint64_t written = 0;
    std::optional<std::string> writeError;

    /// Writes one packet; false (the capture is to stop) when the write fails, keeping why.
    bool write(qor::PcapngFileWriter& writer, std::uint64_t timestampMicros, std::span<const std::byte> bytes,
               std::uint32_t originalLength) {
        try {
            writer.writePacket(timestampMicros, bytes, originalLength);
            return true;
        } catch (const qor::APIErrorException& e) {
            writeError = e.detail();
            return false;
        }
    }
};

/// Whether the capture runs through the daemon: when asked, or when this process may not capture.
bool throughDaemon(const Options& options) {
    return options.viaDaemon || (!options.direct && !canCaptureDirectly());
}

Result captureDirectly(const Options& options, const StartCaptureRequest& request) {
    std::unique_ptr<LiveCapture> capture;
    try {
        capture = LiveCapture::open(liveCaptureOptions(request));
    } catch (const LiveCaptureError& e) {
        if (e.kind() == LiveCaptureError::Kind::invalidFilter) throw CommandFailure{2, std::string("invalid capture filter: ") + e.what()};
        throw CommandFailure{1, e.what()};
    }
    if (!capture->warning().empty()) std::fprintf(stderr, "qor: warning: %s\n", capture->warning().c_str());
    qor::PcapngFileWriter writer(options.file, fileHeader(options, capture->linkType(), capture->snapLength()));

    Result result;
    LiveCount count(options.interface);
    LiveCapture::Hooks hooks;
    hooks.onPacket = [&](const CapturedPacket& packet) {
        return result.write(writer, packet.timestampMicros, packet.bytes, packet.originalLength);
    };
    hooks.afterBatch = [&] {
        count.update(writer.packetsWritten());
        return !stopRequested.load();
    };
    runningCapture.store(capture.get());
    const CaptureOutcome outcome = capture->run(hooks);
    runningCapture.store(nullptr);
    count.end(writer.packetsWritten());
    result.reason = outcome.reason;
    result.detail = outcome.detail;
    result.counters = outcome.counters;
    result.written = writer.packetsWritten();
    writer.close();
    return result;
}

Result captureThroughDaemon(const Options& options, const StartCaptureRequest& request) {
    CaptureDaemonClient client(daemonClientPath());
    Result result;
    std::unique_ptr<qor::PcapngFileWriter> writer;
    LiveCount count(options.interface);
    CaptureDaemonClient::CaptureHandlers handlers;
    handlers.onStarted = [&](const CaptureStartedReply& started) {
        writer = std::make_unique<qor::PcapngFileWriter>(options.file,
                                                         fileHeader(options, started.linkType, started.snapLength));
    };
    handlers.onPacket = [&](const PacketReply& packet) {
        if (!result.write(*writer, packet.timestampMicros, packet.bytes, packet.originalLength)) return false;
        count.update(writer->packetsWritten());
        return true;
    };
    handlers.onTick = [&] {
        count.update(writer ? writer->packetsWritten() : 0);
        return true;
    };
    CaptureEndedReply ended;
    try {
        ended = client.capture(request, handlers, &stopRequested);
    } catch (const CaptureDaemonError& e) {
        if (e.code() == ProtocolErrorCode::invalidFilter) throw CommandFailure{2, std::string("invalid capture filter: ") + e.what()};
        if (writer) count.end(writer->packetsWritten());
        throw CommandFailure{1, e.what()};
    }
    count.end(writer ? writer->packetsWritten() : 0);
    result.reason = ended.reason;
    result.detail = ended.detail;
    result.counters = ended.counters;
    result.written = writer ? writer->packetsWritten() : 0;
    if (writer) writer->close();
    return result;
}

void listInterfaces(const Options& options) {
    std::vector<InterfaceInfo> interfaces;
    try {
        interfaces = throughDaemon(options) ? CaptureDaemonClient(daemonClientPath()).listInterfaces()
                                            : listCaptureInterfaces();
    } catch (const std::exception& e) {
        throw CommandFailure{1, e.what()};
    }
    int number = 0;
    for (const auto& interface : interfaces) {
        std::printf("%d. %s", ++number, interface.name.c_str());
        if (!interface.description.empty()) std::printf(" (%s)", interface.description.c_str());
        std::printf("\n");
    }
    std::fflush(stdout);
}

void capture(const Options& options) {
    if (options.list) return listInterfaces(options);
    if (options.interface.empty()) throw CommandFailure{2, "no interface given (-i IFACE; qor capture -D lists them)"};
    if (options.file.empty()) throw CommandFailure{2, "no output file given (-w FILE.pcapng)"};
    if (options.direct && options.viaDaemon) throw CommandFailure{2, "--direct and --via-daemon exclude each other"};

    StartCaptureRequest request;
    request.interface = options.interface;
    request.filter = options.filter;
    request.snapLength = options.snapLength;
    request.promiscuous = !options.noPromiscuous;
    request.maxPackets = options.count;
    request.durationMillis = durationMillis(options.autostop);
    if (request.snapLength > kMaxSnapLength) {
        throw CommandFailure{2, "snapshot length above " + std::to_string(kMaxSnapLength)};
    }
    // Checked before anything is opened or written, whichever way the capture runs.
    const auto verdict = qor::BPFFilterValidator::validate(options.filter);
    if (verdict.isInvalid()) throw CommandFailure{2, "invalid capture filter: " + verdict.message()};

    stopRequested.store(false);
    StopSignals signals;
    Result result;
    try {
        result = throughDaemon(options) ? captureThroughDaemon(options, request) : captureDirectly(options, request);
    } catch (const qor::APIErrorException& e) {
        throw CommandFailure{1, e.detail().empty() ? e.what() : e.detail()};
    }
    printCounters(result.counters, result.written);
    if (result.writeError) throw CommandFailure{1, "writing stopped: " + *result.writeError};
    if (result.reason == CaptureEndReason::failed) throw CommandFailure{1, "the capture broke off: " + result.detail};
}

const qor::cli::CommandRegistration reg{[](CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* sub = app.add_subcommand("capture", "Capture packets from a network interface into a pcapng file");
    sub->add_option("-i,--interface", options->interface, "The interface to capture on (qor capture -D lists them)");
    sub->add_option("-f,--filter", options->filter, "A capture filter expression (libpcap syntax)");
    sub->add_option("-c,--count", options->count, "Stop after this many packets")->check(CLI::PositiveNumber);
    sub->add_option("-a,--autostop", options->autostop, "Stop after duration:SECONDS");
    sub->add_option("-s,--snapshot-length", options->snapLength,
                    "Bytes kept of each packet (default and most: 262144)");
    sub->add_flag("-p,--no-promiscuous-mode", options->noPromiscuous, "Do not put the interface in promiscuous mode");
    sub->add_option("-w,--write", options->file, "The pcapng file to write");
    sub->add_flag("-D,--list-interfaces", options->list, "List the interfaces that can be captured on");
    sub->add_flag("--direct", options->direct, "Capture in this process (needs CAP_NET_RAW)");
    sub->add_flag("--via-daemon", options->viaDaemon, "Capture through the capture daemon (qor-captured)");
    sub->callback([options] { capture(*options); });
}};

}  // namespace
