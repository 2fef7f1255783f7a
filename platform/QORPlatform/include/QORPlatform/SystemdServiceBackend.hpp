#pragma once
// Registering declared daemons as systemd services.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "QORPlatform/SMAppService.hpp"

namespace qor {

/// Registration through systemd: one unit file per declared daemon, driven with `systemctl`.
///
/// Mapping. A daemon declared under a plist name (`SMAppService::declareDaemon`) becomes the unit
/// named after its program, `<programName>.service`: the capture daemon, program `qor-captured`,
/// is `qor-captured.service`. Its `ExecStart` is the program's absolute path: the program's
/// environment variable when set, else the program's file name in the folder of the running
/// executable (the daemon is installed beside `qor`).
///
/// Scope. Run as root (effective user 0) the unit is a system unit in /etc/systemd/system and
/// `systemctl` manages the system manager; otherwise it is a user unit in
/// `$XDG_CONFIG_HOME/systemd/user` (`~/.config/systemd/user`) and every call adds `--user`.
///
/// Operations.
/// - register: write the unit file (replacing it whole), `systemctl daemon-reload`, then
///   `systemctl enable --now <unit>`. A unit that is already enabled is not touched (error 12).
/// - unregister: `systemctl disable --now <unit>`, remove the unit file, `daemon-reload`.
/// - status: not found (3) when systemd is not running, the daemon is not declared or its
///   program is missing; not registered (0) without a unit file; else `systemctl is-enabled`:
///   "enabled" and the states that cannot be disabled ("enabled-runtime", "static", "generated",
///   "transient", "alias") are enabled (1); "disabled", "masked", "linked", "indirect" and
///   anything else that names a state are requires approval (2): the unit is there, the user
///   must enable it; "not-found" (a unit file systemd has not loaded) is not registered (0);
///   no answer at all (timeout, bus unreachable) is not found (3).
///
/// Errors (`SMAppServiceErrorCode`), each with a localized description naming the command or file
/// and the system's own words:
/// - 1 operation not permitted: the unit folder is not writable, or `systemctl` says "Access
///   denied", "Permission denied", "Operation not permitted", "Interactive authentication
///   required", or exits with status 4 (insufficient privilege);
/// - 5 tool not valid: the daemon's program is missing or not executable;
/// - 6 job not found: unregistering a daemon with no unit file, or `systemctl` reports the unit
///   missing ("not found", "does not exist", "not loaded");
/// - 7 service unavailable: systemd is not running (no /run/systemd/system), `systemctl` cannot
///   be started, cannot reach its bus, or does not answer within the timeout;
/// - 8 job plist not found: no daemon is declared under the plist name;
/// - 12 already registered: register on an enabled unit;
/// - 2 internal failure: any other failure (a unit file that cannot be written, another
///   `systemctl` failure).
///
/// Every `systemctl` call is bounded by `Options::timeout` and killed past it, so a service
/// manager that does not answer yields an error, never a hang.
class SystemdServiceBackend : public SMAppServiceBackend {
public:
    enum class Scope { automatic, system, user };

    struct Options {
        /// `automatic` picks system for root and user otherwise.
        Scope scope = Scope::automatic;
        /// Overrides the unit folder of the scope.
        std::optional<std::filesystem::path> unitDirectory;
        /// The program that talks to the manager: a name looked up on PATH, or a path.
        std::string systemctl = "systemctl";
        /// The folder that exists only while systemd runs as the init system.
        std::filesystem::path runtimeMarker = "/run/systemd/system";
        /// How long one `systemctl` call may take.
        std::chrono::milliseconds timeout{std::chrono::seconds(30)};
        /// Overrides the folder the daemon programs are installed in (default: the folder of the
        /// running executable).
        std::optional<std::filesystem::path> programDirectory;
    };

    SystemdServiceBackend();
    explicit SystemdServiceBackend(Options options);

    [[nodiscard]] SMAppServiceStatus status(const std::string& plistName) override;
    void registerService(const std::string& plistName) override;
    std::optional<NSError> unregisterService(const std::string& plistName) override;
    [[nodiscard]] std::string approvalHint(const std::string& plistName) const override;
    [[nodiscard]] std::optional<std::string> unavailableReason() const override;

    /// The scope in force (never `automatic`).
    [[nodiscard]] Scope scope() const { return scope_; }
    /// The folder unit files are written to.
    [[nodiscard]] std::filesystem::path unitDirectory() const;
    /// `<programName>.service`.
    [[nodiscard]] static std::string unitName(const SMDaemonDefinition& daemon);
    /// The daemon program's absolute path (see the class comment).
    [[nodiscard]] std::filesystem::path programPath(const SMDaemonDefinition& daemon) const;
    /// The unit file's text for `daemon` running `program`.
    [[nodiscard]] std::string unitFileContents(const SMDaemonDefinition& daemon, const std::filesystem::path& program) const;

private:
    struct Outcome;
    /// Runs `systemctl` with `args` (after `--user` in the user scope).
    [[nodiscard]] Outcome systemctl(std::vector<std::string> args) const;
    /// The status of a declared daemon's unit whose program is there: the unit file and
    /// `is-enabled`.
    [[nodiscard]] SMAppServiceStatus unitStatus(const std::string& unit) const;

    Options options_;
    Scope scope_;
};

}  // namespace qor
