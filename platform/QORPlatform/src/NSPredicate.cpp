#include "QORPlatform/NSPredicate.hpp"

#include "PredicateParser.hpp"

namespace qor {
namespace {

/// TRUEPREDICATE and FALSEPREDICATE.
class ConstantPredicate final : public NSPredicate {
public:
    explicit ConstantPredicate(bool value) : NSPredicate(1), value_(value) {}
    [[nodiscard]] std::string predicateFormat() const override { return value_ ? "TRUEPREDICATE" : "FALSEPREDICATE"; }
    [[nodiscard]] bool isEqualToPredicate(const NSPredicate& other) const override {
        auto* constant = dynamic_cast<const ConstantPredicate*>(&other);
        return constant && constant->value_ == value_;
    }
    [[nodiscard]] bool evaluate(const PredicateEvaluationContext&) const override { return value_; }
    [[nodiscard]] Ref substituting(const SubstitutionVariables&) const override { return predicateWithValue(value_); }

private:
    bool value_;
};

/// The object a value holds, borrowed (no reference count is touched).
const NSObject* rootObject(const Value& value) {
    auto* object = std::get_if<Value::ObjectRef>(&value.storage());
    return object ? object->get() : nullptr;
}

}  // namespace

NSPredicate::Ref NSPredicate::predicateWithValue(bool value) {
    static const Ref yes = std::make_shared<ConstantPredicate>(true);
    static const Ref no = std::make_shared<ConstantPredicate>(false);
    return value ? yes : no;
}

NSPredicate::Ref NSPredicate::predicateWithFormat(std::string_view format, std::span<const Value> arguments) {
    return parsePredicateFormat(format, arguments);
}

bool NSPredicate::evaluateWithObject(const NSObject& object) const {
    return evaluate(PredicateEvaluationContext{&object, nullptr, nullptr});
}

bool NSPredicate::evaluateWithObject(const Value& object) const {
    return evaluate(PredicateEvaluationContext{rootObject(object), &object, nullptr});
}

bool NSPredicate::evaluateWithObject(const Value& object, const SubstitutionVariables& bindings) const {
    return evaluate(PredicateEvaluationContext{rootObject(object), &object, &bindings});
}

bool NSPredicate::isEqual(const NSObject& other) const {
    auto* predicate = dynamic_cast<const NSPredicate*>(&other);
    return predicate && isEqualToPredicate(*predicate);
}

}  // namespace qor
