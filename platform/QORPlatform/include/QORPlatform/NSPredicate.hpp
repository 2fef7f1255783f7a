#pragma once
// The root of the predicate family: logical conditions evaluated against objects.

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "QORPlatform/NSError.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

/// The deepest tree of predicates and expressions that may be built or parsed. Deeper input is
/// refused (parsing raises `PredicateFormatError`, building raises `NSInvalidArgumentException`),
/// so that evaluating, printing, comparing and destroying a tree never exhausts the stack.
inline constexpr unsigned kMaxPredicateDepth = 128;
/// The longest format text `predicateWithFormat` reads.
inline constexpr std::size_t kMaxPredicateFormatLength = 256 * 1024;

/// A condition on an object: a comparison, a compound of predicates or a constant.
///
/// Predicates are immutable trees held by `std::shared_ptr<const NSPredicate>`; sub-trees may be
/// shared. Every predicate prints as a format text (`predicateFormat`) that
/// `predicateWithFormat` reads back to an equal predicate, with two exceptions that no text can
/// produce: constants holding bytes or objects print their description, and custom-selector
/// comparisons print their selector. Evaluation is const and safe from several threads at once
/// on one predicate. A type clash while evaluating (for example `CONTAINS` on a number) raises
/// `NSException` with `NSInvalidArgumentException` as its name.
class NSPredicate : public NSObject {
public:
    using Ref = std::shared_ptr<const NSPredicate>;

    /// TRUEPREDICATE or FALSEPREDICATE.
    static Ref predicateWithValue(bool value);
    /// Reads a format text of the predicate language, filling `%@`, `%K`, `%d`, `%i`, `%ld`,
    /// `%lld`, `%u`, `%lu`, `%f`, `%lf` and `%s` from `arguments` in order. A text that does not
    /// parse raises `PredicateFormatError` (an `NSException`) naming the byte offset and what
    /// was expected there; extra arguments are ignored.
    static Ref predicateWithFormat(std::string_view format, std::span<const Value> arguments = {});

    /// Evaluates against `object`, reading key paths through its key-value access. SELF is the
    /// object when it is held by a shared pointer, else nil.
    [[nodiscard]] bool evaluateWithObject(const NSObject& object) const;
    [[nodiscard]] bool evaluateWithObject(const Value& object) const;
    /// Evaluates with `$name` variables taken from `bindings`.
    [[nodiscard]] bool evaluateWithObject(const Value& object, const SubstitutionVariables& bindings) const;

    /// A copy with every variable that `variables` names replaced by a constant of its value;
    /// variables it does not name stay (evaluating them raises).
    [[nodiscard]] Ref predicateWithSubstitutionVariables(const SubstitutionVariables& variables) const {
        return substituting(variables);
    }

    [[nodiscard]] virtual std::string predicateFormat() const = 0;
    [[nodiscard]] std::string description() const override { return predicateFormat(); }
    [[nodiscard]] std::string_view className() const override { return "NSPredicate"; }
    [[nodiscard]] bool isEqual(const NSObject& other) const override;
    /// Structural equality: same kind, same operators and options, equal operands.
    [[nodiscard]] virtual bool isEqualToPredicate(const NSPredicate& other) const = 0;
    friend bool operator==(const NSPredicate& a, const NSPredicate& b) { return a.isEqualToPredicate(b); }

    /// Nesting depth: 1 for a comparison or constant, one more than the deepest subpredicate
    /// for a compound (a comparison counts its operands' depth too).
    [[nodiscard]] unsigned depth() const noexcept { return depth_; }

    // The operations each kind implements.
    [[nodiscard]] virtual bool evaluate(const PredicateEvaluationContext& context) const = 0;
    [[nodiscard]] virtual Ref substituting(const SubstitutionVariables& variables) const = 0;

protected:
    explicit NSPredicate(unsigned depth) : depth_(depth) {}

private:
    unsigned depth_;
};

}  // namespace qor
