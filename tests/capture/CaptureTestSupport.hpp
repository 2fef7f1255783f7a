#pragma once
// Helpers for the capture tests: UDP traffic on the loopback, raw socket clients and an in-process
// daemon on a socket of its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "CaptureDaemonServer.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/capture/CaptureProtocol.hpp"
#include "QORModels/capture/UnixSocket.hpp"
#include "writing/WritingSupport.hpp"

namespace qor::test {

using namespace std::chrono_literals;

/// A UDP socket bound to 127.0.0.1 on a free port, receiving (so that datagrams sent to it draw
/// no ICMP errors) and sending to that port.
struct LoopbackUdp {
    LoopbackUdp() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t len = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    }
    ~LoopbackUdp() { ::close(fd); }
    [[nodiscard]] std::string filter() const { return "udp port " + std::to_string(ntohs(address.sin_port)); }
    void send(const std::string& payload) const {
        ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    const int fd;
    sockaddr_in address{};
};

/// "datagram 0" ... "datagram count-1", each padded to `size` bytes with dots.
inline std::vector<std::string> payloads(int count, std::size_t size = 0) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back("datagram " + std::to_string(i));
        out.back().resize(std::max(size, out.back().size()), '.');
    }
    return out;
}

/// The UDP payloads of the IPv4 packets of a pcapng file on an Ethernet-framed link (the
/// loopback), read with the library's reader, in file order.
inline std::vector<std::string> udpPayloads(const std::filesystem::path& file) {
    std::vector<std::string> out;
    for (const auto& packet : readCapture(file)) {
        const auto data = packet->data();
        if (!data || data->size() < 14 + 20 + 8) continue;
        const auto* b = reinterpret_cast<const unsigned char*>(data->data());
        if (b[12] != 0x08 || b[13] != 0x00 || b[14 + 9] != 17) continue;  // IPv4, UDP
        const std::size_t start = 14 + (b[14] & 0x0F) * 4u + 8;
        if (start <= data->size()) out.emplace_back(reinterpret_cast<const char*>(b + start), data->size() - start);
    }
    return out;
}

/// What the peer sent, as replies, until it closed the connection or a time limit passed.
struct Replies {
    std::vector<capture::Message> messages;
    bool closed = false;
    /// The code of the only message, when it is an error.
    [[nodiscard]] std::optional<capture::ProtocolErrorCode> onlyError() const {
        if (messages.size() != 1 || !std::holds_alternative<capture::ErrorReply>(messages[0])) return std::nullopt;
        return std::get<capture::ErrorReply>(messages[0]).code;
    }
};
inline Replies readReplies(capture::UnixSocket& socket, std::chrono::milliseconds limit) {
    Replies r;
    capture::FrameReader reader(capture::kMaxReplyFrame);
    std::vector<std::byte> buffer(65536);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && !r.closed) {
        std::size_t n = 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto status = socket.receive(buffer, std::max(left, std::chrono::milliseconds(1)), n);
        if (status == capture::UnixSocket::Status::data) reader.append({buffer.data(), n});
        r.closed = status == capture::UnixSocket::Status::closed || status == capture::UnixSocket::Status::failed;
    }
    while (auto m = reader.next()) r.messages.push_back(std::move(*m));
    return r;
}

/// A daemon served in-process on a socket in a fresh temporary folder, with short timeouts,
/// its options changed by `adjust`.
struct DaemonFixture {
    explicit DaemonFixture(const std::function<void(captured::CaptureDaemonOptions&)>& adjust = {}) {
        // Refused peers run as another user: they must be able to reach the socket's folder.
        std::filesystem::permissions(dir.path, std::filesystem::perms::all);
        captured::CaptureDaemonOptions options;
        options.socketPath = socket;
        std::tie(options.messageTimeout, options.idleTimeout, options.sendTimeout) = std::tuple(300ms, 800ms, 500ms);
        if (adjust) adjust(options);
        server = std::make_unique<captured::CaptureDaemonServer>(options);
        server->start();
    }
    TempDir dir;
    std::filesystem::path socket = dir.path / "captured.sock";
    std::unique_ptr<captured::CaptureDaemonServer> server;
};

/// The log lines written while it lives (through qorLog's sink, from any thread).
struct LogCapture {
    LogCapture() {
        setLogSink([this](const LogLine& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line.message);
        });
    }
    ~LogCapture() { setLogSink({}); }
    bool contains(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != l.npos; });
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace qor::test
