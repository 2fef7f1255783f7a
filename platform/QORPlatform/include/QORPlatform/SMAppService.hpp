#pragma once
// Registering the application's background daemons with the system's service manager.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "QORPlatform/NSError.hpp"

namespace qor {

/// A service's registration state, with the platform's raw values. A backend may report a value
/// beyond `notFound`; callers print such a value as its number.
enum class SMAppServiceStatus : int {
    notRegistered = 0,     ///< known to the application, not registered with the system
    enabled = 1,           ///< registered and eligible to run
    requiresApproval = 2,  ///< registered, but the user must enable it before it runs
    notFound = 3,          ///< the service or its program cannot be found
};

/// The raw value of a status, for printing.
[[nodiscard]] constexpr int rawValue(SMAppServiceStatus status) { return static_cast<int>(status); }

/// The error domain of registration failures.
inline constexpr const char* SMAppServiceErrorDomain = "SMAppServiceErrorDomain";

/// Codes of registration failures. 1 is the system's "operation not permitted"; 2 to 12 are the
/// service-management framework's own codes, with their published numbers.
enum class SMAppServiceErrorCode : std::int64_t {
    operationNotPermitted = 1,  ///< the caller lacks the permission (writing the unit, asking the manager)
    internalFailure = 2,        ///< the service manager failed for another reason
    invalidSignature = 3,       ///< the program is not trusted to run as the service
    authorizationFailure = 4,   ///< an authorization the operation asked for was refused
    toolNotValid = 5,           ///< the service's program is missing or not executable
    jobNotFound = 6,            ///< the service manager does not know the service
    serviceUnavailable = 7,     ///< no service manager answers on this system
    jobPlistNotFound = 8,       ///< the application declares no service of that name
    jobMustBeEnabled = 9,       ///< the service must be enabled first
    invalidPlist = 10,          ///< the service's definition is unusable
    launchDeniedByUser = 11,    ///< the user refused the service
    alreadyRegistered = 12,     ///< the service is registered and enabled already
};

/// A registration failure as the platform reports it: an error object in `SMAppServiceErrorDomain`
/// whose code is an `SMAppServiceErrorCode` (or another platform code) and whose localized
/// description says what went wrong.
class SMAppServiceError : public std::runtime_error {
public:
    explicit SMAppServiceError(NSError error);
    SMAppServiceError(SMAppServiceErrorCode code, const std::string& localizedDescription);

    [[nodiscard]] const NSError& error() const { return error_; }
    [[nodiscard]] std::int64_t code() const { return error_.code; }
    [[nodiscard]] std::string localizedDescription() const { return error_.localizedDescription(); }

    /// The error object for `code` with `localizedDescription` under `NSLocalizedDescriptionKey`.
    static NSError makeError(SMAppServiceErrorCode code, const std::string& localizedDescription);

private:
    NSError error_;
};

/// A daemon the application ships, declared once at start-up: the stand-in for the property list
/// an application bundle carries for each of its launch daemons.
struct SMDaemonDefinition {
    /// The name the service is asked for by (`SMAppService::daemon(plistName)`).
    std::string plistName;
    /// The daemon program's file name, installed in the folder of the running executable.
    std::string programName;
    /// An environment variable that, when set and not empty, gives the program's full path
    /// instead (relocated installs, development trees).
    std::string programPathVariable;
    /// One line saying what the daemon is.
    std::string description;
};

/// What carries out registrations: the system's service manager, or a script in tests.
///
/// A backend is called on the main thread; its calls may block while the service manager works
/// but never indefinitely. It reports a service manager it cannot reach through its status and
/// errors, never by hanging.
class SMAppServiceBackend {
public:
    virtual ~SMAppServiceBackend() = default;
    [[nodiscard]] virtual SMAppServiceStatus status(const std::string& plistName) = 0;
    /// Registers and enables the service. Throws `SMAppServiceError`; a backend may also let other
    /// exceptions through, which callers treat as failures that are not the platform's.
    virtual void registerService(const std::string& plistName) = 0;
    /// Disables and removes the service: nothing on success, else the error.
    virtual std::optional<NSError> unregisterService(const std::string& plistName) = 0;
    /// What the user must do to approve or enable a registered service, as one line of text.
    [[nodiscard]] virtual std::string approvalHint(const std::string& plistName) const = 0;
    /// Why this backend cannot manage services here (for example "systemd is not running"), or
    /// nothing when it can.
    [[nodiscard]] virtual std::optional<std::string> unavailableReason() const { return std::nullopt; }
};

/// A service of the running application, registered with the system's service manager.
///
/// `daemon(plistName)` names a daemon the application declared with `declareDaemon`; the object
/// is a cheap handle that talks to the backend in force when it was made. The process-wide
/// backend is the systemd one (`SystemdServiceBackend`) unless `setBackend` installs another.
///
/// "Opening the login items settings" has no counterpart on Linux: `openSystemSettingsLoginItems`
/// records the request (`loginItemsRequestCount`) and hands the backend's approval hint for the
/// last daemon made (for systemd, the `systemctl` command that enables the unit) to the hint
/// handler, which by default writes it as one line to standard error.
///
/// Main thread only, like the registration it stands in for; the static settings are
/// thread-safe.
class SMAppService {
public:
    /// The launch daemon declared under `plistName`.
    static SMAppService daemon(std::string plistName);

    [[nodiscard]] const std::string& plistName() const { return plistName_; }
    [[nodiscard]] SMAppServiceStatus status() const;
    /// Registers the service. Throws `SMAppServiceError` on a platform failure.
    void register_() const;
    /// Unregisters the service and then calls `completion` with nothing or the error, on the
    /// calling thread once the service manager has answered.
    void unregister(const std::function<void(std::optional<NSError>)>& completion) const;

    /// Asks the user to approve the service (see the class comment).
    static void openSystemSettingsLoginItems();
    /// How many times `openSystemSettingsLoginItems` was called in this process.
    static std::size_t loginItemsRequestCount();
    /// Replaces what receives the approval hint; an empty function restores standard error.
    static void setLoginItemsHintHandler(std::function<void(const std::string&)> handler);

    /// The backend new service objects use.
    static std::shared_ptr<SMAppServiceBackend> backend();
    /// Installs `backend`; nothing restores the systemd backend.
    static void setBackend(std::shared_ptr<SMAppServiceBackend> backend);

    /// Declares a daemon the application ships (replacing an earlier one of the same plist name).
    static void declareDaemon(SMDaemonDefinition definition);
    /// The declared daemon of that plist name, or nothing.
    static std::optional<SMDaemonDefinition> declaredDaemon(std::string_view plistName);

private:
    SMAppService(std::string plistName, std::shared_ptr<SMAppServiceBackend> backend)
        : plistName_(std::move(plistName)), backend_(std::move(backend)) {}
    std::string plistName_;
    std::shared_ptr<SMAppServiceBackend> backend_;
};

}  // namespace qor
