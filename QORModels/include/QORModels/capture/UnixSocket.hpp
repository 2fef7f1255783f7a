#pragma once
// A connected Unix stream socket with deadlines on every wait, as the capture daemon and its
// clients use it.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace qor::capture {

/// Owns one socket descriptor (closed by the destructor), in non-blocking mode: every send and
/// receive waits with `poll` for at most the given time, so that a peer that stops reading or
/// writing cannot hold the caller. Writes never raise SIGPIPE.
class UnixSocket {
public:
    UnixSocket() = default;
    /// Takes ownership of a connected socket and makes it non-blocking.
    explicit UnixSocket(int fd);
    ~UnixSocket();
    UnixSocket(UnixSocket&& other) noexcept;
    UnixSocket& operator=(UnixSocket&& other) noexcept;

    /// Connects to the socket at `path`; throws `std::system_error` with the path in its text.
    static UnixSocket connect(const std::filesystem::path& path);

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    void close();

    /// Sends all of `bytes`, waiting at most `timeout` each time the peer's buffer is full;
    /// false when the time runs out or the peer is gone.
    bool sendAll(std::span<const std::byte> bytes, std::chrono::milliseconds timeout);

    enum class Status { data, closed, timedOut, failed };
    /// Receives what is there (at most `buffer.size()` bytes), waiting at most `timeout` for the
    /// first byte; `received` is set for `data`.
    Status receive(std::span<std::byte> buffer, std::chrono::milliseconds timeout, std::size_t& received);

private:
    int fd_ = -1;
};

}  // namespace qor::capture
