#pragma once
// Predicates made of other predicates: NOT, AND and OR.

#include <vector>

#include "QORPlatform/NSPredicate.hpp"

namespace qor {

/// The compound kinds and their platform codes.
enum class NSCompoundPredicateType : int { notPredicateType = 0, andPredicateType = 1, orPredicateType = 2 };

/// NOT of one predicate, AND or OR of several, evaluated left to right with short circuit.
///
/// The factories keep every tree printable as a text that reads back equal: AND of no
/// predicates is TRUEPREDICATE and OR of none FALSEPREDICATE (what they evaluate to), and AND or
/// OR of a single predicate is that predicate. AND and OR operands that are themselves AND or OR
/// print in parentheses, so a chain `a OR b OR c` reads back as one OR of three while
/// `(a OR b) OR c` keeps its inner OR.
class NSCompoundPredicate final : public NSPredicate {
public:
    /// Raise `NSInvalidArgumentException` for a missing subpredicate or a tree deeper than
    /// `kMaxPredicateDepth`.
    static Ref andPredicateWithSubpredicates(std::vector<Ref> subpredicates);
    static Ref orPredicateWithSubpredicates(std::vector<Ref> subpredicates);
    static Ref notPredicateWithSubpredicate(Ref subpredicate);
    /// A compound of exactly the given subpredicates, as the platform's initialiser makes it and
    /// as keyed archives hold it: an AND or OR of one subpredicate (or of none) stays a compound,
    /// so that converting it keeps its shape. It evaluates as the factories' result would (AND
    /// of none is true, OR of none false) and prints as that result too (TRUEPREDICATE,
    /// FALSEPREDICATE, the one subpredicate), so its text reads back as the collapsed form. A
    /// NOT needs exactly one subpredicate. Raises `NSInvalidArgumentException` like the
    /// factories, and for a NOT of another count.
    static Ref compoundPredicateWithType(NSCompoundPredicateType type, std::vector<Ref> subpredicates);

    [[nodiscard]] NSCompoundPredicateType compoundPredicateType() const noexcept { return type_; }
    [[nodiscard]] const std::vector<Ref>& subpredicates() const noexcept { return subpredicates_; }

    [[nodiscard]] std::string predicateFormat() const override;
    [[nodiscard]] bool isEqualToPredicate(const NSPredicate& other) const override;
    [[nodiscard]] bool evaluate(const PredicateEvaluationContext& context) const override;
    [[nodiscard]] Ref substituting(const SubstitutionVariables& variables) const override;

private:
    struct Key {
        explicit Key() = default;
    };

public:
    /// Only the factories can name the key, so every compound passes their checks.
    NSCompoundPredicate(Key, NSCompoundPredicateType type, std::vector<Ref> subpredicates, unsigned depth);

private:
    static Ref make(NSCompoundPredicateType type, std::vector<Ref> subpredicates);

    NSCompoundPredicateType type_;
    std::vector<Ref> subpredicates_;
};

}  // namespace qor
