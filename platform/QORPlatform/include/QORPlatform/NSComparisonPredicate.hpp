#pragma once
// A comparison of two expressions by one operator, with the platform's codes.

#include <memory>
#include <string>

#include "QORPlatform/NSPredicate.hpp"

namespace qor {

/// The comparison operators and their platform codes.
enum class NSPredicateOperatorType : int {
    lessThan = 0,
    lessThanOrEqualTo = 1,
    greaterThan = 2,
    greaterThanOrEqualTo = 3,
    equalTo = 4,
    notEqualTo = 5,
    matches = 6,
    like = 7,
    beginsWith = 8,
    endsWith = 9,
    in = 10,
    customSelector = 11,
    contains = 99,
    between = 100,
};

/// How the left-hand value is taken: as it is, or element by element of a collection.
enum class NSComparisonPredicateModifier : int { direct = 0, all = 1, any = 2 };

/// Comparison options (a bit set).
inline constexpr unsigned NSCaseInsensitivePredicateOption = 1;
inline constexpr unsigned NSDiacriticInsensitivePredicateOption = 2;
/// Says the texts are already normalised; accepted and printed, it changes no result.
inline constexpr unsigned NSNormalizedPredicateOption = 4;

class PredicateRegularExpression;

/// `left OP[options] right`, optionally over each element of a collection (`ANY`, `ALL`).
///
/// Semantics, as the platform has them:
/// - Numbers (signed, unsigned, floating point, booleans) compare by value across kinds; texts
///   compare by code point after the case and diacritic folding the options ask for; dates with
///   dates.
/// - A missing value: `== nil` holds for it, `!= nil` for everything else; every ordering and
///   text operator is false when either side is missing.
/// - `==` and `!=` of values of different kinds are false and true; an ordering between
///   different kinds, a text operator on something that is not a text, `CONTAINS`/`IN` on a
///   number, `BETWEEN` without a two-element right-hand side and `ANY`/`ALL` over something that
///   is not a list raise `NSInvalidArgumentException`.
/// - `LIKE` matches the whole text, `?` standing for one character and `*` for any run, `\`
///   quoting the next character. `MATCHES` matches the whole text with a PCRE2 regular
///   expression (UTF mode, Unicode properties); a constant pattern is compiled once, when the
///   predicate is made. An invalid pattern does not stop the predicate from being made (the
///   platform reports it on use): every evaluation raises with the compiler's message. A match
///   that exceeds the backtracking limits raises too, rather than running without bound. A text
///   that is not valid UTF-8 never matches.
///   `[d]` folds the pattern's text as well as the subject.
/// - `customSelector` predicates can be made and printed but raise when evaluated.
class NSComparisonPredicate final : public NSPredicate {
public:
    using ExpressionRef = NSExpression::Ref;

    /// Raises `NSInvalidArgumentException` for a missing expression, an unknown option bit or
    /// a tree deeper than `kMaxPredicateDepth`.
    static Ref predicateWithLeftExpression(ExpressionRef left, ExpressionRef right,
                                           NSComparisonPredicateModifier modifier, NSPredicateOperatorType type,
                                           unsigned options = 0);
    static Ref predicateWithLeftExpression(ExpressionRef left, ExpressionRef right, std::string customSelector);

    [[nodiscard]] const ExpressionRef& leftExpression() const noexcept { return left_; }
    [[nodiscard]] const ExpressionRef& rightExpression() const noexcept { return right_; }
    [[nodiscard]] NSComparisonPredicateModifier comparisonPredicateModifier() const noexcept { return modifier_; }
    [[nodiscard]] NSPredicateOperatorType predicateOperatorType() const noexcept { return type_; }
    [[nodiscard]] unsigned options() const noexcept { return options_; }
    [[nodiscard]] const std::string& customSelector() const noexcept { return selector_; }

    [[nodiscard]] std::string predicateFormat() const override;
    [[nodiscard]] bool isEqualToPredicate(const NSPredicate& other) const override;
    [[nodiscard]] bool evaluate(const PredicateEvaluationContext& context) const override;
    [[nodiscard]] Ref substituting(const SubstitutionVariables& variables) const override;

private:
    struct Key {
        explicit Key() = default;
    };

public:
    /// Only the factories can name the key, so every comparison passes their checks.
    NSComparisonPredicate(Key, ExpressionRef left, ExpressionRef right, NSComparisonPredicateModifier modifier,
                          NSPredicateOperatorType type, unsigned options, std::string selector);
    ~NSComparisonPredicate() override;

private:
    [[nodiscard]] bool compare(const Value& left, const Value& right) const;

    ExpressionRef left_, right_;
    NSComparisonPredicateModifier modifier_;
    NSPredicateOperatorType type_;
    unsigned options_;
    std::string selector_;
    std::shared_ptr<const PredicateRegularExpression> pattern_;  // MATCHES with a constant text
};

/// The operator as the predicate language writes it ("==", "CONTAINS", ...).
std::string_view predicateOperatorText(NSPredicateOperatorType type);

}  // namespace qor
