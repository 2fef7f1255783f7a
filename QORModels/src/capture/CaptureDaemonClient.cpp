#include "QORModels/capture/CaptureDaemonClient.hpp"

#include <array>
#include <system_error>

#include "QORModels/capture/UnixSocket.hpp"

namespace qor::capture {

namespace {

constexpr auto kTick = std::chrono::milliseconds(100);

void sendOrThrow(UnixSocket& socket, const Message& message, std::chrono::milliseconds timeout) {
    if (!socket.sendAll(encodeFrame(message), timeout)) {
        throw CaptureDaemonError(std::nullopt, "cannot send to the capture daemon");
    }
}

/// A new connection to the daemon at `path`, with `request` sent on it.
UnixSocket connectAndSend(const std::filesystem::path& path, const Message& request,
                          std::chrono::milliseconds timeout) {
    UnixSocket socket;
    try {
        socket = UnixSocket::connect(path);
    } catch (const std::system_error& e) {
        throw CaptureDaemonError(std::nullopt, "cannot reach the capture daemon at " + path.string() + ": " +
                                                   e.code().message());
    }
    sendOrThrow(socket, request, timeout);
    return socket;
}

/// Reads replies from one connection.
class ReplyReader {
public:
    explicit ReplyReader(UnixSocket& socket) : socket_(socket) {}

    /// The next reply; nothing when none arrived within `wait` (only when `mayTimeOut`).
    std::optional<Message> next(std::chrono::milliseconds wait, bool mayTimeOut) {
        for (;;) {
            if (auto message = frames_.next()) return message;
            if (frames_.failed()) throw CaptureDaemonError(std::nullopt, "the capture daemon sent " + frames_.error());
            std::size_t n = 0;
            switch (socket_.receive(buffer_, wait, n)) {
            case UnixSocket::Status::data: frames_.append({buffer_.data(), n}); break;
            case UnixSocket::Status::timedOut:
                if (mayTimeOut) return std::nullopt;
                throw CaptureDaemonError(std::nullopt, "the capture daemon did not answer in time");
            case UnixSocket::Status::closed:
            case UnixSocket::Status::failed:
                throw CaptureDaemonError(std::nullopt, "the capture daemon closed the connection");
            }
        }
    }

private:
    UnixSocket& socket_;
    FrameReader frames_{kMaxReplyFrame};
    std::array<std::byte, 65536> buffer_{};
};

[[noreturn]] void throwReply(const Message& reply) {
    if (const auto* error = std::get_if<ErrorReply>(&reply)) throw CaptureDaemonError(error->code, error->message);
    throw CaptureDaemonError(std::nullopt, "the capture daemon answered with an unexpected " +
                                               messageTypeName(static_cast<std::uint8_t>(messageType(reply))));
}

}  // namespace

CaptureDaemonClient::CaptureDaemonClient(std::filesystem::path socketPath, std::chrono::milliseconds replyTimeout)
    : socketPath_(std::move(socketPath)), replyTimeout_(replyTimeout) {}

Message CaptureDaemonClient::exchange(const Message& request) {
    UnixSocket socket = connectAndSend(socketPath_, request, replyTimeout_);
    ReplyReader reader(socket);
    return *reader.next(replyTimeout_, false);
}

std::future<std::string> CaptureDaemonClient::getVersion() {
    return std::async(std::launch::async, [this] {
        Message reply = exchange(GetVersionRequest{});
        if (auto* version = std::get_if<VersionReply>(&reply)) return std::move(version->version);
        throwReply(reply);
    });
}

void CaptureDaemonClient::quitDaemon() {
    Message reply = exchange(QuitDaemonRequest{});
    if (!std::holds_alternative<OkReply>(reply)) throwReply(reply);
}

void CaptureDaemonClient::connectToAuthSystem() {
    Message reply = exchange(ConnectToAuthSystemRequest{});
    if (!std::holds_alternative<OkReply>(reply)) throwReply(reply);
}

std::vector<InterfaceInfo> CaptureDaemonClient::listInterfaces() {
    Message reply = exchange(ListInterfacesRequest{});
    if (auto* list = std::get_if<InterfacesReply>(&reply)) return std::move(list->interfaces);
    throwReply(reply);
}

CaptureEndedReply CaptureDaemonClient::capture(const StartCaptureRequest& request, const CaptureHandlers& handlers,
                                               const std::atomic<bool>* stop) {
    UnixSocket socket = connectAndSend(socketPath_, request, replyTimeout_);
    ReplyReader reader(socket);
    Message first = *reader.next(replyTimeout_, false);
    auto* started = std::get_if<CaptureStartedReply>(&first);
    if (!started) throwReply(first);
    if (handlers.onStarted) handlers.onStarted(*started);

    bool stopSent = false;
    auto lastTick = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point stopDeadline{};
    auto askToStop = [&] {
        if (stopSent) return;
        stopSent = true;
        stopDeadline = std::chrono::steady_clock::now() + replyTimeout_;
        sendOrThrow(socket, StopCaptureRequest{}, replyTimeout_);
    };
    for (;;) {
        std::optional<Message> message = reader.next(kTick, true);
        const auto now = std::chrono::steady_clock::now();
        if (message) {
            if (auto* packet = std::get_if<PacketReply>(&*message)) {
                if (!stopSent && handlers.onPacket && !handlers.onPacket(*packet)) askToStop();
            } else if (auto* ended = std::get_if<CaptureEndedReply>(&*message)) {
                return std::move(*ended);
            } else {
                throwReply(*message);
            }
        }
        if (now - lastTick >= kTick || !message) {
            lastTick = now;
            if (!stopSent && handlers.onTick && !handlers.onTick()) askToStop();
        }
        if (!stopSent && stop && stop->load(std::memory_order_relaxed)) askToStop();
        if (stopSent && now > stopDeadline) {
            throw CaptureDaemonError(std::nullopt, "the capture daemon did not end the capture in time");
        }
    }
}

}  // namespace qor::capture
