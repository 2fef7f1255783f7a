#pragma once
// A service backend that plays back what a test tells it, and records what it was asked.

#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "QORPlatform/SMAppService.hpp"

namespace qor {

/// A backend whose answers are set in advance, for exercising every status and every error of
/// registration without a service manager. It knows one service state for all plist names.
///
/// - `setStatus` sets what `status()` reports, including values beyond `notFound`.
/// - `registerService` plays `setRegisterOutcome`: success (the status then becomes the
///   outcome's status), a platform error (`SMAppServiceError` with its code and description), or
///   a failure that is not the platform's (`std::runtime_error`).
/// - `unregisterService` plays `setUnregisterOutcome`: success (the status becomes the given
///   one) or the error object.
/// Calls are counted and recorded in order ("status", "register", "unregister"). Thread-safe.
class ScriptedServiceBackend : public SMAppServiceBackend {
public:
    /// Registration succeeds and leaves the service in `status`.
    struct Succeed {
        SMAppServiceStatus status = SMAppServiceStatus::enabled;
    };
    /// Registration fails with a platform error.
    struct PlatformError {
        std::int64_t code;
        std::string description;
    };
    /// Registration fails with an exception that is not a platform error.
    struct OtherFailure {
        std::string what;
    };
    using RegisterOutcome = std::variant<Succeed, PlatformError, OtherFailure>;
    /// Unregistration succeeds (the service is left in `status`) or reports the error.
    using UnregisterOutcome = std::variant<Succeed, PlatformError>;

    explicit ScriptedServiceBackend(SMAppServiceStatus status = SMAppServiceStatus::notRegistered) : status_(status) {}

    void setStatus(SMAppServiceStatus status);
    /// A raw status value, such as 7, that no named status has.
    void setRawStatus(int raw) { setStatus(static_cast<SMAppServiceStatus>(raw)); }
    void setRegisterOutcome(RegisterOutcome outcome);
    void setUnregisterOutcome(UnregisterOutcome outcome);
    void setUnavailableReason(std::optional<std::string> reason);

    [[nodiscard]] std::vector<std::string> calls() const;
    [[nodiscard]] std::size_t count(const std::string& call) const;
    /// The plist names the calls were made for, in order.
    [[nodiscard]] std::vector<std::string> plistNames() const;

    [[nodiscard]] SMAppServiceStatus status(const std::string& plistName) override;
    void registerService(const std::string& plistName) override;
    std::optional<NSError> unregisterService(const std::string& plistName) override;
    [[nodiscard]] std::string approvalHint(const std::string& plistName) const override;
    [[nodiscard]] std::optional<std::string> unavailableReason() const override;

private:
    void record(const char* call, const std::string& plistName);
    mutable std::mutex mutex_;
    SMAppServiceStatus status_;
    RegisterOutcome registerOutcome_{Succeed{}};
    UnregisterOutcome unregisterOutcome_{Succeed{SMAppServiceStatus::notRegistered}};
    std::optional<std::string> unavailable_;
    std::vector<std::string> calls_;
    std::vector<std::string> plistNames_;
};

}  // namespace qor
