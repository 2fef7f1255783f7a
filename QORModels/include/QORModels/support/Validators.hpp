#pragma once
// Validators for what users type into settings: port lists of analyzer protocols, e-mail addresses.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QORDependencies/Records.hpp"

namespace qor {

/// One change that port validation made to a user's port list.
struct PortCorrection {
    struct invalid { std::string token; friend bool operator==(const invalid&, const invalid&) = default; };
    struct outOfRange { std::string token; std::string replacement; friend bool operator==(const outOfRange&, const outOfRange&) = default; };
    struct duplicate { std::string port; friend bool operator==(const duplicate&, const duplicate&) = default; };
    struct usedByOtherAnalyzer { std::string port; std::string owner; friend bool operator==(const usedByOtherAnalyzer&, const usedByOtherAnalyzer&) = default; };
    std::variant<invalid, outOfRange, duplicate, usedByOtherAnalyzer> kind;

    /// The text shown to the user, for example "Removed duplicate port 80".
    [[nodiscard]] std::string message() const;
    friend bool operator==(const PortCorrection&, const PortCorrection&) = default;
};

/// The accepted ports (comma-separated, no blanks) and what was changed, in input order.
struct PortValidationResult {
    std::string ports;
    std::vector<PortCorrection> corrections;
};

/// A decimal integer with an optional leading "+" or "-" and at least one digit, fitting in a
/// signed 64-bit integer; nothing otherwise. The token parser of every port validator.
std::optional<std::int64_t> parsePortToken(std::string_view token);

/// Whether the whole input is an e-mail address. Stateless; any thread.
struct EmailValidator {
    static bool validate(const std::optional<std::string>& input, const std::optional<std::string>& = std::nullopt);
};

/// Cleans a comma-separated port list: drops tokens that are not integers (tokens are not
/// trimmed), turns values above 65534 and negative values into "65535". Stateless; any thread.
struct PortRangeValidator {
    static std::string validate(const std::optional<std::string>& input, const std::optional<std::string>& = std::nullopt);
};

/// Counts the elements of a comma-separated list equal to a token; throws
/// `QORErrorException(missingInput)` when either is absent. Stateless; any thread.
struct PortOccurencesValidator {
    static std::int64_t validate(const std::optional<std::string>& input, const std::optional<std::string>& token);
};

/// Cleans a protocol's port list and drops ports that another analyzer owns. The owner of a
/// port is asked of the shared port controller (its lookups are safe from any thread, so the
/// question is asked directly on the calling thread). Stateless; any thread.
struct NetworkPortsValidator {
    /// Throws `QORErrorException(missingInput)` for an absent input and
    /// `QORErrorException(invalidPortList)` when the port list holds anything but digits, signs,
    /// commas and blanks (or no digit at all).
    static std::string validate(const std::optional<QORNetworkProtocol>& input, const std::optional<std::string>& existing);
    /// Never throws; says in words what was changed.
    static PortValidationResult validateReporting(const QORNetworkProtocol& input);
};

}  // namespace qor
