#pragma once
// The enumerations of display filters: comparisons and logical operators.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

/// How a filter row compares a packet's attribute with its value. The raw value of a case is its
/// name, and it is serialised as that text.
enum class Comparison {
    contains,
    beginsWith,
    endsWith,
    equalTo,
    notEqualTo,
    lessThan,
    lessThanOrEqual,
    greaterThan,
    greaterThanOrEqual,
};

/// Every comparison, in declaration order.
inline constexpr std::array<Comparison, 9> kAllComparisons{
    Comparison::contains,    Comparison::beginsWith,      Comparison::endsWith,
    Comparison::equalTo,     Comparison::notEqualTo,      Comparison::lessThan,
    Comparison::lessThanOrEqual, Comparison::greaterThan, Comparison::greaterThanOrEqual};

std::string_view rawValue(Comparison comparison);
/// The comparison named `raw`; nothing for any other text.
std::optional<Comparison> comparisonFromRaw(std::string_view raw);
/// The short label of a comparison picker ("contains", "is", "<", "≤", ...), localised.
std::string displayName(Comparison comparison);
/// The phrase appended to an attribute title ("equals", "less than", ...), localised.
std::string displayFragment(Comparison comparison);

/// How a filter group combines its children. The raw values are "and", "or" and "not" (the cases
/// carry a trailing underscore: the names are C++ keywords).
enum class LogicalOperator { and_, or_, not_ };

inline constexpr std::array<LogicalOperator, 3> kAllLogicalOperators{LogicalOperator::and_, LogicalOperator::or_,
                                                                     LogicalOperator::not_};

std::string_view rawValue(LogicalOperator op);
std::optional<LogicalOperator> logicalOperatorFromRaw(std::string_view raw);
/// "AND", "OR", "NOT".
std::string_view displayName(LogicalOperator op);

/// A second set of logical operators for the application's own use (the filter model does not
/// use it): raw values "AND", "OR", "NOT".
enum class QORLogicalOperator { AND, OR, NOT };

inline constexpr std::array<QORLogicalOperator, 3> kAllQORLogicalOperators{QORLogicalOperator::AND, QORLogicalOperator::OR,
                                                                           QORLogicalOperator::NOT};

std::string_view rawValue(QORLogicalOperator op);
std::optional<QORLogicalOperator> qorLogicalOperatorFromRaw(std::string_view raw);
/// "&&", "||", "!".
std::string_view stringValue(QORLogicalOperator op);
/// "AND (&&)", "OR (||)", "NOT (!)".
std::string_view fullValue(QORLogicalOperator op);

}  // namespace qor
