#include "QORModels/filters/FilterEnumerations.hpp"

#include "QORPlatform/Localized.hpp"

namespace qor {
namespace {

struct ComparisonTexts {
    std::string_view raw, name, fragment;
};

/// Per comparison, in declaration order: raw value, default display name, default fragment.
constexpr std::array<ComparisonTexts, 9> kComparisonTexts{{
    {"contains", "contains", "contains"},
    {"beginsWith", "begins with", "begins with"},
    {"endsWith", "ends with", "ends with"},
    {"equalTo", "is", "equals"},
    {"notEqualTo", "is not", "not equal"},
    {"lessThan", "<", "less than"},
    {"lessThanOrEqual", "\u2264", "less than or equal"},
    {"greaterThan", ">", "greater than"},
    {"greaterThanOrEqual", "\u2265", "greater than or equal"},
}};

/// Per logical operator, in declaration order: raw value, display name.
constexpr std::array<std::array<std::string_view, 2>, 3> kLogicalOperatorTexts{{{"and", "AND"}, {"or", "OR"}, {"not", "NOT"}}};
/// Per application operator, in declaration order: raw value, string value, full value.
constexpr std::array<std::array<std::string_view, 3>, 3> kQORLogicalOperatorTexts{
    {{"AND", "&&", "AND (&&)"}, {"OR", "||", "OR (||)"}, {"NOT", "!", "NOT (!)"}}};

const ComparisonTexts& textsOf(Comparison c) { return kComparisonTexts[static_cast<std::size_t>(c)]; }

/// The case of `all` whose raw value is `raw`.
template <class E, std::size_t N>
std::optional<E> caseNamed(const std::array<E, N>& all, std::string_view raw) {
    for (E e : all) {
        if (rawValue(e) == raw) return e;
    }
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(Comparison comparison) { return textsOf(comparison).raw; }

std::optional<Comparison> comparisonFromRaw(std::string_view raw) { return caseNamed(kAllComparisons, raw); }

std::string displayName(Comparison comparison) {
    const auto& t = textsOf(comparison);
    return localizedString("comparison.displayName." + std::string(t.raw), t.name,
                           "Short label of a comparison in the filter editor's comparison picker");
}

std::string displayFragment(Comparison comparison) {
    const auto& t = textsOf(comparison);
    return localizedString("comparison.displayFragment." + std::string(t.raw), t.fragment,
                           "Comparison fragment appended to an attribute title");
}

std::string_view rawValue(LogicalOperator op) { return kLogicalOperatorTexts[static_cast<std::size_t>(op)][0]; }

std::optional<LogicalOperator> logicalOperatorFromRaw(std::string_view raw) { return caseNamed(kAllLogicalOperators, raw); }

std::string_view displayName(LogicalOperator op) { return kLogicalOperatorTexts[static_cast<std::size_t>(op)][1]; }

std::string_view rawValue(QORLogicalOperator op) { return kQORLogicalOperatorTexts[static_cast<std::size_t>(op)][0]; }

std::optional<QORLogicalOperator> qorLogicalOperatorFromRaw(std::string_view raw) {
    return caseNamed(kAllQORLogicalOperators, raw);
}

std::string_view stringValue(QORLogicalOperator op) { return kQORLogicalOperatorTexts[static_cast<std::size_t>(op)][1]; }

std::string_view fullValue(QORLogicalOperator op) { return kQORLogicalOperatorTexts[static_cast<std::size_t>(op)][2]; }

}  // namespace qor
