#pragma once
// The operands of a comparison predicate: constants, key paths, variables, the evaluated object
// and aggregates.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QORPlatform/Value.hpp"

namespace qor {

class NSObject;

/// Values that `$name` variables stand for, by name.
using SubstitutionVariables = std::map<std::string, Value, std::less<>>;

/// What an evaluation runs against: the evaluated object as a root object (when it is one) and
/// as a value (when the caller has one), and the variable bindings, if any.
struct PredicateEvaluationContext {
    const NSObject* object = nullptr;
    const Value* self = nullptr;
    const SubstitutionVariables* bindings = nullptr;
};

/// The kinds of expression, with the platform's codes.
enum class NSExpressionType : int {
    constantValue = 0,
    evaluatedObject = 1,
    variable = 2,
    keyPath = 3,
    aggregate = 14,
};

/// One operand of a comparison: an immutable node, shared by the predicates that use it.
///
/// A key path is split into its components when the expression is made, so evaluation never
/// parses text. A constant list becomes an aggregate of constants (that is how its text reads
/// back); an aggregate whose elements are all constants keeps their list ready, so evaluating
/// it costs no allocation. A key path reads its first key of an object through the `KeyReader`
/// the object's class resolves for it (see `KeyReaders`), resolved at the first evaluation and
/// kept with the expression, so a predicate over many objects finds each key once. Thread-safe:
/// every member is const after construction, except the kept readers, which are published
/// atomically and only ever added to.
class NSExpression {
public:
    using Ref = std::shared_ptr<const NSExpression>;

    static Ref expressionForConstantValue(Value value);
    /// Raises `NSInvalidArgumentException` unless every dot-separated component is a name
    /// (letters, digits, '_' and non-ASCII characters, not starting with a digit).
    static Ref expressionForKeyPath(std::string_view keyPath);
    static Ref expressionForVariable(std::string_view name);
    static Ref expressionForEvaluatedObject();
    static Ref expressionForAggregate(std::vector<Ref> elements);

    [[nodiscard]] NSExpressionType expressionType() const noexcept { return type_; }
    /// The constant of a constant-value expression (none for the other kinds).
    [[nodiscard]] const Value& constantValue() const noexcept { return value_; }
    [[nodiscard]] const std::string& keyPath() const noexcept { return text_; }
    [[nodiscard]] const std::vector<std::string>& keyPathComponents() const noexcept { return components_; }
    [[nodiscard]] const std::string& variable() const noexcept { return text_; }
    [[nodiscard]] const std::vector<Ref>& collection() const noexcept { return elements_; }
    /// Nesting depth: 1 for a leaf, one more than the deepest element for an aggregate.
    [[nodiscard]] unsigned depth() const noexcept { return depth_; }

    /// The expression's value for `context`. Returns either a reference to something that
    /// outlives the call (a constant, a binding, the evaluated object) or to `scratch`, which it
    /// fills. Raises `NSInvalidArgumentException` for a variable without a binding.
    const Value& evaluate(const PredicateEvaluationContext& context, Value& scratch) const;
    /// The expression with each bound variable replaced by a constant of its value.
    [[nodiscard]] Ref substituting(const SubstitutionVariables& variables) const;
    /// The expression as the predicate language writes it.
    [[nodiscard]] std::string format() const;

    friend bool operator==(const NSExpression& a, const NSExpression& b);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    /// Only the factories can name the key, so every expression passes their checks.
    NSExpression(Key, NSExpressionType type);
    ~NSExpression();

private:
    /// Puts the first key of the key path for `object` in `out`: through a kept reader that
    /// serves the object, else through one resolved now (and kept), else by name.
    void readFirstKey(const NSObject& object, Value& out) const;

    struct KeyReaderCache;
    std::unique_ptr<KeyReaderCache> readers_;  // key paths only

    NSExpressionType type_;
    Value value_;                          // constant; for an all-constant aggregate, its list
    std::string text_;                     // key path or variable name
    std::vector<std::string> components_;  // key path components
    std::vector<Ref> elements_;            // aggregate
    bool constantAggregate_ = false;
    unsigned depth_ = 1;
};

/// Reads a key path, already split, from a value: objects answer `valueForKey`, a list answers
/// with the list of its elements' answers, and other values know only "description".
Value valueForKeyPathComponents(Value start, const std::vector<std::string>& components, std::size_t first = 0);

}  // namespace qor
