#pragma once
// Checking capture filter expressions with libpcap's own compiler.

#include <string>
#include <string_view>
#include <variant>

namespace qor::BPFFilterValidator {

/// The verdict on a capture filter expression: `invalid` with libpcap's message, `empty`, or `valid`.
///
/// A plain value, safe to share between threads.
class ValidationResult {
public:
    enum class Kind { invalid, empty, valid };

    static ValidationResult invalid(std::string message) { return ValidationResult(Kind::invalid, std::move(message)); }
    static ValidationResult empty() { return ValidationResult(Kind::empty, {}); }
    static ValidationResult valid() { return ValidationResult(Kind::valid, {}); }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] bool isValid() const { return kind_ == Kind::valid; }
    [[nodiscard]] bool isEmpty() const { return kind_ == Kind::empty; }
    [[nodiscard]] bool isInvalid() const { return kind_ == Kind::invalid; }
    /// Why the expression is invalid; the empty text for the other verdicts.
    [[nodiscard]] const std::string& message() const { return message_; }
    /// "valid", "empty", or "invalid: " followed by the message.
    [[nodiscard]] std::string description() const;

    friend bool operator==(const ValidationResult&, const ValidationResult&) = default;

private:
    ValidationResult(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

/// Checks a capture filter expression by compiling it with libpcap, and throws the program away.
///
/// The expression is trimmed of blanks and line breaks; nothing left gives `empty` without calling
/// libpcap. Otherwise the text is compiled for Ethernet (link type 1, `DLT_EN10MB`) with snapshot
/// length 65535, optimisation off and an unknown netmask (`PCAP_NETMASK_UNKNOWN`); success gives
/// `valid`, failure `invalid` with libpcap's own error text, unchanged, or "pcap_compile failed (N)"
/// when libpcap left none. "pcap_open_dead failed" when no handle could be made. Nothing is thrown.
/// libpcap reads the text as a C string, so the check ends at a NUL character, as a capture would.
/// Host and network names in the expression are resolved by libpcap, which may ask the name service.
///
/// Thread-safe: every call opens and closes its own handle, and calls compile concurrently on libpcap
/// 1.8 and later, whose compiler keeps its state per call; with an older libpcap, calls are
/// serialised because its compiler shares global state.
ValidationResult validate(std::string_view expression);

}  // namespace qor::BPFFilterValidator
