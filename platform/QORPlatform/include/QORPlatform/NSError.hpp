#pragma once
// Error objects and the platform exception that the catcher turns into them.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "QORPlatform/Value.hpp"

namespace qor {

/// The domain of the platform's own errors (files, archives).
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
/// The codes of `NSCocoaErrorDomain` errors. Files: a read failed, the file is malformed, it does
/// not exist; a write failed.
inline constexpr std::int64_t NSFileReadUnknownError = 256;
inline constexpr std::int64_t NSFileReadCorruptFileError = 259;
inline constexpr std::int64_t NSFileReadNoSuchFileError = 260;
inline constexpr std::int64_t NSFileWriteUnknownError = 512;
/// Keyed archives: not a property list, not a keyed archive, or malformed objects; a class that
/// is not allowed.
inline constexpr std::int64_t NSCoderReadCorruptError = 4864;
inline constexpr std::int64_t NSCoderValueNotFoundError = 4865;
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

/// A failure of the platform's own (`NSCocoaErrorDomain`) kind, thrown: the error object, with
/// the reason under `NSLocalizedDescriptionKey`, and the reason as `what()`.
class NSCocoaError : public std::runtime_error {
public:
    NSCocoaError(std::int64_t code, const std::string& reason)
        : std::runtime_error(reason), error_{NSCocoaErrorDomain, code, {{NSLocalizedDescriptionKey, Value(reason)}}} {}
    [[nodiscard]] const NSError& error() const noexcept { return error_; }
    [[nodiscard]] std::string description() const { return what(); }

private:
    NSError error_;
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
