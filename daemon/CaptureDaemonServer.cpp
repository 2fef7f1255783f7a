#include "CaptureDaemonServer.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "QORLog/QORLog.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "QORModels/capture/CaptureProtocol.hpp"
#include "QORModels/capture/LiveCapture.hpp"
#include "QORModels/capture/UnixSocket.hpp"

namespace qor::captured {

using namespace qor::capture;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kLogFile = "qor-captured/CaptureDaemonServer";
/// Packet frames are sent in batches of about this size (and at the end of each libpcap batch).
constexpr std::size_t kSendBatchBytes = 256 * 1024;

void daemonLog(const std::string& message, const char* function, int line) { qorLog(message, kLogFile, function, line); }
#define DAEMON_LOG(message) daemonLog((message), __func__, __LINE__)

std::string describePeer(const ucred& peer) {
    return "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
}

ProtocolErrorCode errorCode(LiveCaptureError::Kind kind) {
    switch (kind) {
    case LiveCaptureError::Kind::invalidFilter: return ProtocolErrorCode::invalidFilter;
    case LiveCaptureError::Kind::permissionDenied: return ProtocolErrorCode::permissionDenied;
    default: return ProtocolErrorCode::captureFailed;
    }
}

bool isRequest(const Message& message) {
    return static_cast<std::uint8_t>(messageType(message)) < 0x80;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

/// Sends an error reply, waiting briefly: the connection is closed right after.
void sendError(UnixSocket& socket, ProtocolErrorCode code, const std::string& message) {
    socket.sendAll(encodeFrame(ErrorReply{code, message}), std::chrono::milliseconds(100));
}

}  // namespace

struct CaptureDaemonServer::Session {
    UnixSocket socket;
    ucred peer{};
    std::thread thread;
    std::atomic<bool> finished{false};
};

CaptureDaemonServer::CaptureDaemonServer(CaptureDaemonOptions options) : options_(std::move(options)) {
    if (options_.version.empty()) options_.version = projectVersion();
}

CaptureDaemonServer::~CaptureDaemonServer() { stop(); }

void CaptureDaemonServer::start() {
    std::lock_guard lock(mutex_);
    if (started_) return;
    const std::string path = options_.socketPath.string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path '" + path + "' is empty or too long");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    struct stat existing{};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) throw std::runtime_error(path + " exists and is not a socket");
        try {
            UnixSocket::connect(options_.socketPath);
            throw std::runtime_error(path + ": another capture daemon is listening there");
        } catch (const std::system_error&) {
            ::unlink(path.c_str());  // stale: nobody listens
        }
    }

    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(listenFd_, 64) != 0) {
        const int error = errno;
        ::close(listenFd_);
        listenFd_ = -1;
        throw std::system_error(error, std::generic_category(), path);
    }
    shutdownFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    started_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void CaptureDaemonServer::requestQuit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        if (shutdownFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(shutdownFd_, &one, sizeof one);
        }
    }
    quitCondition_.notify_all();
}

void CaptureDaemonServer::waitUntilQuit() {
    std::unique_lock lock(mutex_);
    quitCondition_.wait(lock, [this] { return quit_; });
}

void CaptureDaemonServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_) return;
        started_ = false;
    }
    requestQuit();
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
    for (auto& session : sessions) {
        if (session->thread.joinable()) session->thread.join();
    }
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(options_.socketPath.c_str());
    std::lock_guard lock(mutex_);
    ::close(shutdownFd_);
    shutdownFd_ = -1;
}

std::size_t CaptureDaemonServer::activeSessions() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) { return !s->finished.load(); }));
}

void CaptureDaemonServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {shutdownFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, 1000);
        reapFinished();
        if (ready < 0 && errno != EINTR) {
            DAEMON_LOG(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        if (ready <= 0 || fds[0].revents == 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;  // the peer went away already, or out of descriptors for a moment
        admit(fd);
    }
}

void CaptureDaemonServer::reapFinished() {
    std::list<std::unique_ptr<Session>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if ((*it)->finished.load()) {
                done.splice(done.end(), sessions_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : done) session->thread.join();
}

void CaptureDaemonServer::admit(int fd) {
    auto session = std::make_unique<Session>();
    session->socket = UnixSocket(fd);
    socklen_t length = sizeof session->peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &session->peer, &length) != 0) {
        DAEMON_LOG(std::string("Refused a connection whose credentials cannot be read: ") + std::strerror(errno));
        return sendError(session->socket, ProtocolErrorCode::permissionDenied, "credentials unreadable");
    }
    const uid_t uid = session->peer.uid;
    const bool allowed = uid == 0 || uid == ::geteuid() ||
                         std::find(options_.extraAllowedUsers.begin(), options_.extraAllowedUsers.end(), uid) !=
                             options_.extraAllowedUsers.end();
    if (!allowed) {
        DAEMON_LOG("Refused connection from " + describePeer(session->peer) + ": not root, the daemon's user (uid " +
                   std::to_string(::geteuid()) + ") or an allowed user");
        return sendError(session->socket, ProtocolErrorCode::permissionDenied,
                         "this user may not use the capture daemon");
    }
    if (activeSessions() >= options_.maxClients) {
        DAEMON_LOG("Refused connection from " + describePeer(session->peer) + ": " +
                   std::to_string(options_.maxClients) + " clients already connected");
        return sendError(session->socket, ProtocolErrorCode::busy, "too many clients");
    }
    Session& s = *session;
    std::lock_guard lock(mutex_);
    sessions_.push_back(std::move(session));
    s.thread = std::thread([this, &s] {
        serve(s);
        s.socket.close();
        s.finished.store(true);
    });
}

namespace {

/// One client's connection: reads requests under the timeouts, sends replies.
class Connection {
public:
    Connection(UnixSocket& socket, const ucred& peer, const CaptureDaemonOptions& options, int shutdownFd)
        : socket_(socket), peer_(peer), options_(options), shutdownFd_(shutdownFd) {}

    /// The next request; nothing when the connection is over (closed, timed out, malformed,
    /// daemon stopping); the reason has been logged and, for a fault, answered.
    std::optional<Message> nextRequest() {
        auto idleSince = Clock::now();
        std::optional<Clock::time_point> frameStart;
        for (;;) {
            if (auto message = frames_.next()) {
                if (!isRequest(*message)) return fault("a reply sent as a request");
                return message;
            }
            if (frames_.failed()) return fault(frames_.error());
            if (frames_.midFrame() && !frameStart) frameStart = Clock::now();
            const auto deadline = frameStart ? *frameStart + options_.messageTimeout : idleSince + options_.idleTimeout;
            const auto now = Clock::now();
            if (now >= deadline) {
                DAEMON_LOG("Dropped " + describePeer(peer_) +
                           (frameStart ? ": a request did not complete in time" : ": idle for too long"));
                return std::nullopt;
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            pollfd fds[2] = {{socket_.fd(), POLLIN, 0}, {shutdownFd_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(wait, 1000)));
            if (ready < 0 && errno != EINTR) return std::nullopt;
            if (fds[1].revents != 0) return std::nullopt;
            if (ready <= 0 || fds[0].revents == 0) continue;
            if (!receiveAvailable()) return std::nullopt;
        }
    }

    /// Reads what the socket holds into the frame reader; false when the peer is gone.
    bool receiveAvailable() {
        std::size_t n = 0;
        switch (socket_.receive(buffer_, std::chrono::milliseconds(0), n)) {
        case UnixSocket::Status::data: frames_.append({buffer_.data(), n}); return true;
        case UnixSocket::Status::timedOut: return true;
        case UnixSocket::Status::closed:
        case UnixSocket::Status::failed: return false;
        }
        return false;
    }

    bool send(const Message& message) { return sendBytes(encodeFrame(message)); }
    bool sendBytes(std::span<const std::byte> bytes) {
        if (socket_.sendAll(bytes, options_.sendTimeout)) return true;
        DAEMON_LOG("Dropped " + describePeer(peer_) + ": it stopped taking replies");
        return false;
    }

    std::optional<Message> fault(const std::string& reason) {
        DAEMON_LOG("Dropped " + describePeer(peer_) + ": malformed request: " + reason);
        sendError(socket_, ProtocolErrorCode::malformed, reason);
        return std::nullopt;
    }

    FrameReader& frames() { return frames_; }
    int peerFd() const { return socket_.fd(); }
    const ucred& peer() const { return peer_; }
    int shutdownFd() const { return shutdownFd_; }

private:
    UnixSocket& socket_;
    ucred peer_;
    const CaptureDaemonOptions& options_;
    int shutdownFd_;
    FrameReader frames_{kMaxRequestFrame};
    std::array<std::byte, 16384> buffer_{};
};

/// Runs one capture for the connection; false when the connection is over afterwards.
bool runCapture(Connection& connection, const StartCaptureRequest& request) {
    std::unique_ptr<LiveCapture> capture;
    try {
        capture = LiveCapture::open(liveCaptureOptions(request));
    } catch (const LiveCaptureError& e) {
        return connection.send(ErrorReply{errorCode(e.kind()), e.what()});
    }
    DAEMON_LOG("Capture for " + describePeer(connection.peer()) + " on " + request.interface + " with filter '" +
               request.filter + "'");
    if (!connection.send(CaptureStartedReply{capture->linkType(), capture->snapLength()})) return false;

    std::vector<std::byte> pending;
    pending.reserve(kSendBatchBytes + kMaxSnapLength + 64);
    bool clientGone = false;
    bool protocolFault = false;
    bool quitting = false;
    const auto flush = [&] {
        if (pending.empty() || clientGone) return !clientGone;
        clientGone = !connection.sendBytes(pending);
        pending.clear();
        return !clientGone;
    };

    LiveCapture::Hooks hooks;
    hooks.onPacket = [&](const CapturedPacket& packet) {
        appendPacketFrame(pending, packet.timestampMicros, packet.originalLength, packet.bytes);
        return pending.size() < kSendBatchBytes || flush();
    };
    hooks.afterBatch = flush;
    hooks.watches.push_back({connection.shutdownFd(), [&] {
                                 quitting = true;
                                 return false;
                             }});
    // The client may send stopCapture, or hang up; anything else ends the capture as a fault.
    hooks.watches.push_back({connection.peerFd(), [&] {
                                 if (!connection.receiveAvailable()) {
                                     clientGone = true;
                                     return false;
                                 }
                                 auto message = connection.frames().next();
                                 if (message && std::holds_alternative<StopCaptureRequest>(*message)) return false;
                                 if (!message && !connection.frames().failed()) return true;
                                 protocolFault = true;
                                 connection.fault(message ? "only stopCapture may be sent during a capture"
                                                          : connection.frames().error());
                                 return false;
                             }});
    CaptureOutcome outcome = capture->run(hooks);
    if (quitting) {
        outcome.reason = CaptureEndReason::failed;
        outcome.detail = "the capture daemon is quitting";
    }
    const auto& c = outcome.counters;
    DAEMON_LOG("Capture for " + describePeer(connection.peer()) + " on " + request.interface + " ended: " +
               std::to_string(c.delivered) + " delivered, " + std::to_string(c.received) + " received, " +
               std::to_string(c.dropped) + " dropped, " + std::to_string(c.interfaceDropped) +
               " dropped by the interface" + (outcome.detail.empty() ? "" : " (" + outcome.detail + ")"));
    if (clientGone || protocolFault) return false;
    if (!flush()) return false;
    return connection.send(CaptureEndedReply{outcome.reason, outcome.counters, outcome.detail}) && !quitting;
}

}  // namespace

void CaptureDaemonServer::serve(Session& session) {
    Connection connection(session.socket, session.peer, options_, shutdownFd_);
    while (auto request = connection.nextRequest()) {
        bool keepGoing = true;
        if (std::holds_alternative<GetVersionRequest>(*request)) {
            keepGoing = connection.send(VersionReply{options_.version});
        } else if (std::holds_alternative<ConnectToAuthSystemRequest>(*request)) {
            keepGoing = connection.send(canCaptureDirectly()
                                            ? Message(OkReply{})
                                            : Message(ErrorReply{ProtocolErrorCode::permissionDenied,
                                                                 "the capture daemon lacks CAP_NET_RAW"}));
        } else if (std::holds_alternative<QuitDaemonRequest>(*request)) {
            DAEMON_LOG("Quit requested by " + describePeer(session.peer));
            connection.send(OkReply{});
            requestQuit();
            keepGoing = false;
        } else if (std::holds_alternative<ListInterfacesRequest>(*request)) {
            try {
                keepGoing = connection.send(InterfacesReply{listCaptureInterfaces()});
            } catch (const LiveCaptureError& e) {
                keepGoing = connection.send(ErrorReply{ProtocolErrorCode::captureFailed, e.what()});
            }
        } else if (auto* start = std::get_if<StartCaptureRequest>(&*request)) {
            keepGoing = runCapture(connection, *start);
        } else {
            keepGoing = connection.send(ErrorReply{ProtocolErrorCode::unexpected, "no capture is running"});
        }
        if (!keepGoing || readable(shutdownFd_)) break;
    }
}

}  // namespace qor::captured
