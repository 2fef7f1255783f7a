#pragma once
// Constants and preference keys shared by the library, its plug-ins and the application.

#include <optional>
#include <string_view>

namespace qor {

/// Name of the notification posted once every plug-in has been activated.
inline constexpr std::string_view kPlugInsDidActivateNotification = "com.orvaleth.qor.plugInsDidActivate";
/// Preference key of the chosen capture interface.
inline constexpr std::string_view kPrefCaptureInterfaceSelected = "com_orvaleth_qor_capture_interface_selected";
/// Preference keys that switch host-name resolution of IP addresses on.
inline constexpr std::string_view kPrefIP4Resolve = "com_orvaleth_qor_ip4_ip_resolve";
inline constexpr std::string_view kPrefIP6Resolve = "com_orvaleth_qor_ip6_ip_resolve";

namespace CaptureState {
/// The capture daemon's service name.
inline constexpr std::string_view kCaptureDaemonMachServiceName = "com.orvaleth.tessarine.CaptureDaemon";
}  // namespace CaptureState

/// How packets reach a document.
enum class CaptureMethods { file, live };
/// The capture method's text.
std::string_view stringValue(CaptureMethods method);
std::optional<CaptureMethods> captureMethodFromString(std::string_view text);

}  // namespace qor
