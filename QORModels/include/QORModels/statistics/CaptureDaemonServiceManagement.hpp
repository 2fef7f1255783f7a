#pragma once
// Registering the privileged capture daemon that live capture needs, and keeping its version in
// step with the application's.

#include <memory>
#include <optional>
#include <string>

#include "QORPlatform/NSError.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/SMAppService.hpp"

namespace qor {

/// What the user asked of the daemon.
enum class CaptureDaemonServiceAction { idle, install, uninstall };

/// The capture daemon's registration, for the settings view: an installed flag and the last
/// status or error message, both observable ("isDaemonInstalled", "daemonStatusMessage"; every
/// change is announced to key-value observers).
///
/// Used on the main thread (`MainQueue`), and held in a `std::shared_ptr` like every object: an
/// uninstall queues a main-thread block that keeps the object alive until it has run.
///
/// The daemon is declared to the service manager on construction (`captureDaemonDefinition`):
/// the property-list name is `CaptureState::kCaptureDaemonMachServiceName` + ".plist", the program
/// is `qor-captured`, installed beside the running executable or named by `$QOR_CAPTURED_PATH`.
class CaptureDaemonServiceManagement final : public NSObject {
public:
    CaptureDaemonServiceManagement();

    [[nodiscard]] bool isDaemonInstalled() const { return isDaemonInstalled_; }
    [[nodiscard]] const std::optional<std::string>& daemonStatusMessage() const { return daemonStatusMessage_; }
    void setDaemonStatusMessage(std::optional<std::string> message);

    /// Carries out `action` on the daemon service, then shows the service's status.
    ///
    /// - install: by the service's status: enabled shows "Service is already enabled."; requires
    ///   approval shows that enabling is needed and opens the login items settings; otherwise
    ///   registers, opening the login items settings when approval is then needed. A platform
    ///   error of code 1 shows that permission is required (and opens the settings); any other
    ///   platform error shows "Installation failed: " with its description and is logged. A
    ///   failure that is not a platform error is thrown.
    /// - uninstall: queues a main-thread block that unregisters the service; its completion logs
    ///   an error and shows the outcome through the status-message rule, and refreshes the
    ///   installed flag from the service's status.
    /// - every action ends by showing the status-message rule for the service's current status
    ///   and setting the installed flag to whether that status is enabled. The action's own
    ///   message is therefore published first and then followed by the status's; observers see
    ///   both in that order.
    void executeHelper(CaptureDaemonServiceAction action);

    /// Asks the daemon for its version and reinstalls it when that differs from the
    /// application's ("CFBundleShortVersionString" of `MainBundle`): connects to the
    /// authorization system, quits the daemon, then installs.
    ///
    /// Waits for the daemon's answer while running the main queue's other work, so a daemon
    /// client that answers through the main queue does not deadlock. Without a daemon client
    /// (`DefaultInjection::captureXPCServiceProvider`) nothing is done. A daemon that cannot
    /// report its version (getVersion throws) is left as it is, and the failure is logged as
    /// "Cannot read the daemon's version: " with its description. A failure of the reinstall,
    /// including one thrown by the client's calls, is logged as "Daemon reinstall failed: ".
    void reconcileDaemonVersion();

    /// The daemon's property-list name.
    [[nodiscard]] static std::string plistName();
    /// What the service manager needs to know about the capture daemon.
    [[nodiscard]] static SMDaemonDefinition captureDaemonDefinition();
    /// The message for a service status.
    [[nodiscard]] static std::string statusMessage(SMAppServiceStatus status);
    /// The message for a failed operation.
    [[nodiscard]] static std::string statusMessage(const NSError& error);

    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    [[nodiscard]] std::string_view className() const override { return "CaptureDaemonServiceManagement"; }

private:
    void install(const SMAppService& service);
    /// The status-message rule for the service's current status, and the installed flag.
    void showStatus(const SMAppService& service);
    void setDaemonInstalled(bool installed);

    bool isDaemonInstalled_ = false;
    std::optional<std::string> daemonStatusMessage_;
};

}  // namespace qor
