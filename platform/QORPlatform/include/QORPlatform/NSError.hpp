#pragma once
// Error objects and the platform exception that the catcher turns into them.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "QORPlatform/Value.hpp"

namespace qor {

inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";

/// An error object: domain, code and user information.
struct NSError {
    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, Value> userInfo;

    /// The description under `NSLocalizedDescriptionKey`, else a text made of domain and code.
    [[nodiscard]] std::string localizedDescription() const;
    [[nodiscard]] std::optional<std::string> localizedFailureReason() const;
};

/// The platform's exception: raised by the predicate family for malformed formats and
/// evaluation faults, caught by `QOR_ObjC_Exception::tryExecute`.
class NSException : public std::runtime_error {
public:
    NSException(std::string name, std::string reason, std::map<std::string, Value> userInfo = {})
        : std::runtime_error(reason), name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}
    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] const std::string& reason() const { return reason_; }
    [[nodiscard]] const std::map<std::string, Value>& userInfo() const { return userInfo_; }

private:
    std::string name_, reason_;
    std::map<std::string, Value> userInfo_;
};

inline constexpr const char* NSInvalidArgumentException = "NSInvalidArgumentException";

}  // namespace qor
