#pragma once
// Capturing packets from a network interface with libpcap.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "QORModels/capture/CaptureProtocol.hpp"

namespace qor::capture {

/// What to capture.
struct LiveCaptureOptions {
    std::string interface;
    /// A capture filter expression; empty captures everything.
    std::string filter;
    /// Bytes kept of each packet; 0 means `kDefaultSnapLength`. At most `kMaxSnapLength`.
    std::uint32_t snapLength = 0;
    bool promiscuous = false;
    /// The kernel ring buffer libpcap asks for. Large, so that a burst is held while the consumer
    /// writes: at 100,000 small packets a second, 32 MiB is seconds of traffic.
    int bufferBytes = 32 * 1024 * 1024;
    /// Stop after this many packets (0: no limit).
    std::uint64_t maxPackets = 0;
    /// Stop after this many milliseconds (0: no limit).
    std::uint32_t durationMillis = 0;
};

/// The options a daemon request asks for (the kernel buffer at its default).
LiveCaptureOptions liveCaptureOptions(const StartCaptureRequest& request);

/// Why a capture could not start.
class LiveCaptureError : public std::runtime_error {
public:
    enum class Kind {
        invalidFilter,     ///< the filter does not compile (the message is libpcap's)
        permissionDenied,  ///< the process may not capture on the interface
        noSuchDevice,      ///< no interface of that name
        failed,            ///< anything else libpcap refused
    };
    LiveCaptureError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    [[nodiscard]] Kind kind() const { return kind_; }

private:
    Kind kind_;
};

/// One packet as the capture hands it over; the bytes are valid during the callback only.
struct CapturedPacket {
    std::uint64_t timestampMicros = 0;
    std::uint32_t originalLength = 0;
    std::span<const std::byte> bytes;
};

/// What ended a capture and libpcap's counters at that moment.
struct CaptureOutcome {
    CaptureEndReason reason = CaptureEndReason::stopped;
    std::string detail;  ///< libpcap's error text when `reason` is failed
    CaptureCounters counters;
};

/// A capture on one interface, opened with `pcap_create` and `pcap_activate` with a large kernel
/// buffer and the filter installed. Packets are handed over when a kernel block fills or 100 ms
/// after the first one arrived, whichever comes first, not one by one (immediate mode): in
/// immediate mode libpcap gives every packet a ring slot of the full snapshot length, and on the
/// loopback interface (64 KiB frames) the ring then holds only a few hundred packets and drops
/// at a few ten thousand packets per second. A live count is at most 100 ms behind.
///
/// The filter is first checked with `BPFFilterValidator` (which compiles it for Ethernet), so
/// that an expression that no interface could take is refused with the same message everywhere;
/// it is then compiled for the interface's own link type, which can still refuse it (a field of
/// a header the link does not have).
///
/// `run` is called from one thread; `requestStop` from any thread or a signal handler.
class LiveCapture {
public:
    /// Opens and activates the capture; throws `LiveCaptureError`.
    static std::unique_ptr<LiveCapture> open(const LiveCaptureOptions& options);
    ~LiveCapture();
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    [[nodiscard]] std::uint32_t linkType() const;
    [[nodiscard]] std::uint32_t snapLength() const;
    /// libpcap's warning from activation (for example that promiscuous mode is not supported);
    /// empty when none.
    [[nodiscard]] const std::string& warning() const { return warning_; }

    /// Receives each packet; false ends the capture (reason stopped).
    using PacketHandler = std::function<bool(const CapturedPacket&)>;
    /// Another descriptor to wait on beside the capture: when it is readable (or hung up),
    /// `onReadable` runs; false ends the capture (reason stopped).
    struct Watch {
        int fd = -1;
        std::function<bool()> onReadable;
    };
    struct Hooks {
        PacketHandler onPacket;
        /// After each batch of packets libpcap hands over, and at least every `tickMillis`
        /// (a place to flush output or show progress); false ends the capture.
        std::function<bool()> afterBatch;
        std::vector<Watch> watches;
        int tickMillis = 100;
    };
    /// Captures until the packet count or duration of the options is reached, a hook says stop,
    /// `requestStop` is called, or libpcap fails (reason failed, with its message).
    CaptureOutcome run(const Hooks& hooks);

    /// Ends a running `run` soon (at once when it is waiting). Async-signal-safe. A capture once
    /// stopped stays stopped: a later `run` returns at once.
    void requestStop() noexcept;

    /// libpcap's counters now (zeros when it cannot say).
    [[nodiscard]] CaptureCounters counters() const;

private:
    struct Handle;
    LiveCapture(std::unique_ptr<Handle> handle, LiveCaptureOptions options, std::string warning);
    std::unique_ptr<Handle> handle_;
    LiveCaptureOptions options_;
    std::string warning_;
    int stopFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::uint64_t delivered_ = 0;
};

/// The interfaces libpcap can capture on, in its order; throws `LiveCaptureError` when it cannot
/// list them.
std::vector<InterfaceInfo> listCaptureInterfaces();

}  // namespace qor::capture
