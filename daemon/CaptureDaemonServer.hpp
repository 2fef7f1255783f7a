#pragma once
// The capture daemon's server: the Unix socket, the peer check and one session per client.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor::captured {

struct CaptureDaemonOptions {
    std::filesystem::path socketPath;
    /// Users allowed besides root and the daemon's own effective user.
    std::vector<uid_t> extraAllowedUsers;
    /// A request whose first byte has arrived must be complete within this time.
    std::chrono::milliseconds messageTimeout{std::chrono::seconds(5)};
    /// A connection with no request for this long is closed (a capture in progress is no idling).
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
    /// A client that takes no bytes for this long while the daemon sends to it is dropped (its
    /// capture ends).
    std::chrono::milliseconds sendTimeout{std::chrono::seconds(10)};
    /// Connections served at once; more are answered with a busy error and closed.
    std::size_t maxClients = 16;
    /// What getVersion answers.
    std::string version;
};

/// Serves the capture protocol (QORModels/capture/CaptureProtocol.hpp) on a Unix socket.
///
/// Who may connect: each peer's credentials are read with SO_PEERCRED; root, the daemon's own
/// effective user and the users of `extraAllowedUsers` are served, anyone else gets a
/// permission-denied error reply and is disconnected, and the refusal is logged. The socket file
/// is made world-writable so that refused peers reach the check and are logged, instead of being
/// stopped silently by the file mode.
///
/// Hostile peers: a request frame is at most `kMaxRequestFrame` bytes (a larger length prefix is
/// refused before any body is read), must complete within `messageTimeout`, must decode exactly;
/// a malformed request gets an error reply and the connection is closed. Each client has its own
/// thread, so a slow or stalled client holds only itself; sends wait at most `sendTimeout`.
///
/// Requests: getVersion answers `version`; connectToAuthSystem answers ok when the daemon can
/// capture (holds CAP_NET_RAW) and permission denied otherwise; quitDaemon answers ok, then stops
/// the daemon (captures in progress end with reason failed, "the capture daemon is quitting");
/// listInterfaces answers libpcap's interface list; startCapture validates the filter, opens the
/// interface and streams the packets (see `LiveCapture`) until its count or duration, a
/// stopCapture, the client's hang-up or the daemon's stop.
///
/// Log lines (through qorLog): each refused peer, each capture's start and end with its
/// counters, each client dropped for a protocol fault or a timeout, and a quit request.
class CaptureDaemonServer {
public:
    explicit CaptureDaemonServer(CaptureDaemonOptions options);
    ~CaptureDaemonServer();
    CaptureDaemonServer(const CaptureDaemonServer&) = delete;
    CaptureDaemonServer& operator=(const CaptureDaemonServer&) = delete;

    /// Creates the socket and starts accepting. A stale socket file (nobody listening) is
    /// replaced; a live one, or any other file at the path, makes this throw
    /// `std::runtime_error`, as does a failure to bind.
    void start();
    /// Stops accepting, ends every session and waits for their threads; removes the socket file.
    /// Idempotent.
    void stop();
    /// Blocks until a client's quitDaemon or `requestQuit`.
    void waitUntilQuit();
    /// Makes `waitUntilQuit` return (from a signal-handling thread, for example).
    void requestQuit();

    /// Sessions currently open.
    [[nodiscard]] std::size_t activeSessions() const;

private:
    struct Session;
    void acceptLoop();
    void admit(int fd);
    void reapFinished();
    void serve(Session& session);

    CaptureDaemonOptions options_;
    int listenFd_ = -1;
    int shutdownFd_ = -1;  // an eventfd that becomes readable, for good, when stopping
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::condition_variable quitCondition_;
    bool quit_ = false;
    bool started_ = false;
    std::list<std::unique_ptr<Session>> sessions_;
};

}  // namespace qor::captured
