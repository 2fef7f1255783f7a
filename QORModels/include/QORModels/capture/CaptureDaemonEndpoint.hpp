#pragma once
// Where the capture daemon listens, and the version it and its clients report.

#include <filesystem>
#include <optional>
#include <string>

namespace qor::capture {

/// The socket the daemon listens on:
/// 1. `$QOR_CAPTURED_SOCKET` when set and not empty;
/// 2. otherwise, for a daemon running as root, "/run/qor-captured.sock";
/// 3. otherwise "$XDG_RUNTIME_DIR/qor-captured.sock" (the user's own runtime folder);
/// nothing when none applies (a non-root process without `XDG_RUNTIME_DIR`), and the daemon then
/// asks for an explicit path.
std::optional<std::filesystem::path> daemonListenPath();

/// The socket a client connects to: `$QOR_CAPTURED_SOCKET` when set and not empty; otherwise the
/// socket of a daemon of the client's own user ("$XDG_RUNTIME_DIR/qor-captured.sock") when that
/// exists and the client is not root; otherwise the system daemon's "/run/qor-captured.sock".
std::filesystem::path daemonClientPath();

/// The project's version ("0.1.0"): what the daemon answers to getVersion, and what the
/// application compares it with.
std::string projectVersion();

/// True when this process may open interfaces for capture itself: its effective capability set
/// (read from /proc/self/status) holds CAP_NET_RAW; without that file, when it runs as root.
bool canCaptureDirectly();

}  // namespace qor::capture
