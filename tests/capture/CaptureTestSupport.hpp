#pragma once
// Helpers for the capture tests: UDP traffic on the loopback, raw socket clients, an in-process
// daemon on a socket of its own, and the built tools run as child processes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CaptureDaemonServer.hpp"
#include "QORModels/capture/CaptureProtocol.hpp"
#include "QORModels/capture/UnixSocket.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {

/// A UDP socket bound to 127.0.0.1 on a free port, receiving (so that datagrams sent to it draw
/// no ICMP errors) and sending to that port.
class LoopbackUdp {
public:
    LoopbackUdp() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        int big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~LoopbackUdp() { ::close(fd_); }
    LoopbackUdp(const LoopbackUdp&) = delete;
    LoopbackUdp& operator=(const LoopbackUdp&) = delete;
    [[nodiscard]] std::uint16_t port() const { return port_; }
    void send(const std::string& payload) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

/// "datagram N" padded to `size` bytes with dots.
inline std::string payload(int n, std::size_t size = 0) {
    std::string text = "datagram " + std::to_string(n);
    if (text.size() < size) text.append(size - text.size(), '.');
    return text;
}

/// The UDP payloads of the IPv4 packets of a pcapng file on an Ethernet-framed link (the
/// loopback), read with the library's reader, in file order.
std::vector<std::string> udpPayloads(const std::filesystem::path& file);

/// A raw client of the daemon's socket.
inline capture::UnixSocket rawClient(const std::filesystem::path& path) { return capture::UnixSocket::connect(path); }

/// Reads until the peer closes or `limit` passes; the bytes read, and whether it closed.
struct Drained {
    std::vector<std::byte> bytes;
    bool closed = false;
};
Drained drain(capture::UnixSocket& socket, std::chrono::milliseconds limit);

/// The messages in `bytes` (replies), in order.
std::vector<capture::Message> replies(const std::vector<std::byte>& bytes);

/// A daemon served in-process on a socket in a fresh temporary folder, with short timeouts.
struct DaemonFixture {
    explicit DaemonFixture(captured::CaptureDaemonOptions options = shortTimeouts());
    static captured::CaptureDaemonOptions shortTimeouts();
    TempDir dir;
    std::filesystem::path socket;
    std::unique_ptr<captured::CaptureDaemonServer> server;
};

/// A child process of the built tree's `bin/` tool, with extra environment variables; its
/// standard output and error go to files in `dir`.
class Child {
public:
    Child(const std::string& tool, const std::vector<std::string>& args, const std::vector<std::string>& env,
          const std::filesystem::path& dir);
    ~Child();
    void signal(int sig) const { ::kill(pid_, sig); }
    /// The exit status (-signal for a killed child), waiting at most `limit` (then killed).
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    [[nodiscard]] std::string err() const;

private:
    pid_t pid_ = -1;
    std::filesystem::path dir_;
    bool reaped_ = false;
};

/// The log lines written while it lives (through qorLog's sink).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    bool contains(const std::string& text);

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

/// True when this process can capture (CAP_NET_RAW): the loopback tests need it.
bool mayCapture();

}  // namespace qor::test
