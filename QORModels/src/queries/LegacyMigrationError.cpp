// Descriptions of predicate-conversion failures.

#include "QORModels/queries/LegacyMigrationError.hpp"

namespace qor {

LegacyMigrationError LegacyMigrationError::unsupportedOperator(std::uint64_t code) {
    return {Case::unsupportedOperator, code,
            "unsupported predicate operator " + std::to_string(code) + " (a filter row compares with <, <=, >, >=, ==, !=, "
            "BEGINSWITH, ENDSWITH or CONTAINS)"};
}

LegacyMigrationError LegacyMigrationError::unarchiveFailed() {
    return {Case::unarchiveFailed, std::nullopt, "the archive does not hold a predicate"};
}

LegacyMigrationError LegacyMigrationError::unsupportedExpression(const std::string& detail) {
    return {Case::unsupportedExpression, std::nullopt,
            detail.empty() ? std::string("unsupported expression") : "unsupported expression: " + detail};
}

}  // namespace qor
