// qor_udp_flood: sends small UDP datagrams to 127.0.0.1 at a steady rate, for the live capture
// benchmark (bench/capture.sh).
//
//     qor_udp_flood PORT [RATE_PER_SECOND=100000] [SECONDS=5] [PAYLOAD_BYTES=32]
//
// Datagrams go out in batches of one sendmmsg call per millisecond, each batch as large as the
// rate asks for by then, so the average rate holds even when the sender is descheduled for a
// moment. Prints "sent N datagrams in S s (R/s)" on standard output.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [RATE_PER_SECOND] [SECONDS] [PAYLOAD_BYTES]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const double rate = argc > 2 ? std::atof(argv[2]) : 100000;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 5;
    const std::size_t size = argc > 4 ? static_cast<std::size_t>(std::atoi(argv[4])) : 32;
    if (port <= 0 || port > 65535 || rate <= 0 || seconds <= 0 || size > 1400) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A socket bound to the port, never read: the datagrams reach the loopback device (where the
    // capture sees them) and are then dropped quietly, instead of drawing ICMP port-unreachable
    // errors that would fail the next sends.
    const int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (sink < 0 || ::bind(sink, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("bind");
        return 1;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("socket");
        return 1;
    }
    constexpr std::size_t kMaxBatch = 1024;
    std::vector<char> payload(size, 'x');
    std::vector<iovec> iov(kMaxBatch, iovec{payload.data(), payload.size()});
    std::vector<mmsghdr> messages(kMaxBatch);
    for (std::size_t i = 0; i < kMaxBatch; ++i) {
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto total = static_cast<std::uint64_t>(rate * seconds);
    std::uint64_t sent = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed >= seconds || sent >= total) break;
        const auto due = std::min<std::uint64_t>(total, static_cast<std::uint64_t>(elapsed * rate));
        while (sent < due) {
            const auto batch = static_cast<unsigned>(std::min<std::uint64_t>(kMaxBatch, due - sent));
            const int n = ::sendmmsg(fd, messages.data(), batch, 0);
            if (n <= 0) break;  // the receiver's buffer is full: the datagrams are lost there, as on a wire
            sent += static_cast<std::uint64_t>(n);
        }
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(elapsed * 1e6) + 1000));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sent %llu datagrams in %.2f s (%.0f/s)\n", static_cast<unsigned long long>(sent), elapsed,
                static_cast<double>(sent) / elapsed);
    ::close(fd);
    ::close(sink);
    return 0;
}
