#pragma once
// The client of the capture daemon: the application's `CaptureXPCClientServiceProtocol` over the
// daemon's Unix socket, and live capture through the daemon.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/capture/CaptureProtocol.hpp"

namespace qor::capture {

/// A failure talking to the daemon: it is not running or refused the connection, answered with
/// an error reply (`code()`), broke the protocol or took too long.
class CaptureDaemonError : public std::runtime_error {
public:
    CaptureDaemonError(std::optional<ProtocolErrorCode> code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    /// The daemon's error code when it answered with one; nothing for connection and protocol
    /// failures.
    [[nodiscard]] std::optional<ProtocolErrorCode> code() const { return code_; }

private:
    std::optional<ProtocolErrorCode> code_;
};

/// Talks to the capture daemon at one socket path. Each call opens its own connection and closes
/// it when done, so the object is stateless and may be used from any thread; a daemon restarted
/// between calls is simply reached again.
///
/// - `getVersion()` runs on a thread of its own and gives the daemon's version text; its future
///   holds a `CaptureDaemonError` when the daemon cannot be reached or answers otherwise.
/// - `connectToAuthSystem()` asks the daemon to confirm that it may capture (it holds
///   CAP_NET_RAW) and that this client may use it; throws `CaptureDaemonError` when not.
/// - `quitDaemon()` asks the daemon to exit (its service manager restarts it when so configured);
///   throws `CaptureDaemonError` when the daemon cannot be reached.
///
/// Every reply must arrive within `replyTimeout` (a capture's packets may be any time apart; its
/// end must come within `replyTimeout` of a stop).
class CaptureDaemonClient : public CaptureXPCClientServiceProtocol {
public:
    explicit CaptureDaemonClient(std::filesystem::path socketPath,
                                 std::chrono::milliseconds replyTimeout = std::chrono::seconds(10));

    std::future<std::string> getVersion() override;
    void quitDaemon() override;
    void connectToAuthSystem() override;

    /// The interfaces the daemon can capture on.
    std::vector<InterfaceInfo> listInterfaces();

    /// What a capture through the daemon hands to the caller.
    struct CaptureHandlers {
        /// Once, before the first packet: the link type and snapshot length of the capture.
        std::function<void(const CaptureStartedReply&)> onStarted;
        /// Each packet; false asks the daemon to stop (the capture still ends with its counters).
        std::function<bool(const PacketReply&)> onPacket;
        /// Roughly every 100 ms while waiting; false asks the daemon to stop.
        std::function<bool()> onTick;
    };
    /// Runs a capture through the daemon until it ends (the request's count or duration, a
    /// handler's stop, `stop` becoming true) and gives how it ended. Throws `CaptureDaemonError`
    /// when the daemon refuses the capture (the code says why, `invalidFilter` for a filter that
    /// does not compile), cannot be reached, or goes away mid-capture.
    CaptureEndedReply capture(const StartCaptureRequest& request, const CaptureHandlers& handlers,
                              const std::atomic<bool>* stop = nullptr);

    [[nodiscard]] const std::filesystem::path& socketPath() const { return socketPath_; }

private:
    /// Sends one request and gives the one reply.
    Message exchange(const Message& request);
    std::filesystem::path socketPath_;
    std::chrono::milliseconds replyTimeout_;
};

}  // namespace qor::capture
