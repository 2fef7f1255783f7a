#include "QORModels/capture/CaptureDaemonEndpoint.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>

#ifndef QOR_PROJECT_VERSION
#error "QOR_PROJECT_VERSION must be defined by the build"
#endif

namespace qor::capture {

namespace {

constexpr const char* kSocketName = "qor-captured.sock";
constexpr const char* kSystemSocket = "/run/qor-captured.sock";
constexpr int kCapNetRaw = 13;  // linux/capability.h

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

std::optional<std::filesystem::path> daemonListenPath() {
    if (auto path = environment("QOR_CAPTURED_SOCKET")) return std::filesystem::path(*path);
    if (::geteuid() == 0) return std::filesystem::path(kSystemSocket);
    if (auto runtime = environment("XDG_RUNTIME_DIR")) return std::filesystem::path(*runtime) / kSocketName;
    return std::nullopt;
}

std::filesystem::path daemonClientPath() {
    if (auto path = environment("QOR_CAPTURED_SOCKET")) return *path;
    if (::geteuid() != 0) {
        if (auto runtime = environment("XDG_RUNTIME_DIR")) {
            std::filesystem::path own = std::filesystem::path(*runtime) / kSocketName;
            std::error_code ec;
            if (std::filesystem::is_socket(own, ec)) return own;
        }
    }
    return kSystemSocket;
}

std::string projectVersion() { return QOR_PROJECT_VERSION; }

bool canCaptureDirectly() {
    // The capability set decides, not the user: root in a container may lack CAP_NET_RAW.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        try {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask >> kCapNetRaw) & 1;
        } catch (const std::exception&) {
            break;
        }
    }
    return ::geteuid() == 0;
}

}  // namespace qor::capture
