#pragma once
// Why a predicate could not become a display-filter tree.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace qor {

/// The failure to convert a predicate into a `FilterNode` tree. Cases, in order:
/// `unsupportedOperator` (carrying the platform operator code), `unarchiveFailed` (the archive
/// holds no predicate) and `unsupportedExpression` (a predicate or operand the filter model has
/// no row for). Equal by case and code; `what()` is the description the logs show.
class LegacyMigrationError : public std::runtime_error {
public:
    enum class Case { unsupportedOperator, unarchiveFailed, unsupportedExpression };

    static LegacyMigrationError unsupportedOperator(std::uint64_t code);
    static LegacyMigrationError unarchiveFailed();
    /// `detail` says what was met ("a comparison whose right side is a key path"); it is part of
    /// the description, not of the error's identity.
    static LegacyMigrationError unsupportedExpression(const std::string& detail = {});

    [[nodiscard]] Case errorCase() const noexcept { return case_; }
    /// The operator code of `unsupportedOperator`, nothing for the other cases.
    [[nodiscard]] std::optional<std::uint64_t> operatorCode() const noexcept { return code_; }
    [[nodiscard]] std::string description() const { return what(); }

    friend bool operator==(const LegacyMigrationError& a, const LegacyMigrationError& b) {
        return a.case_ == b.case_ && a.code_ == b.code_;
    }

private:
    LegacyMigrationError(Case c, std::optional<std::uint64_t> code, const std::string& description)
        : std::runtime_error(description), case_(c), code_(code) {}
    Case case_;
    std::optional<std::uint64_t> code_;
};

}  // namespace qor
