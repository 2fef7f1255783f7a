#include "QORPlatform/NSComparisonPredicate.hpp"

#include "PredicateOperators.hpp"
#include "PredicateRegularExpression.hpp"
#include "TextFolding.hpp"

namespace qor {

using predicate_operators::raise;

namespace {

constexpr unsigned kKnownOptions =
    NSCaseInsensitivePredicateOption | NSDiacriticInsensitivePredicateOption | NSNormalizedPredicateOption;

bool isKnownOperator(NSPredicateOperatorType type) {
    const int code = static_cast<int>(type);
    return (code >= 0 && code <= 11) || code == 99 || code == 100;
}

}  // namespace

std::string_view predicateOperatorText(NSPredicateOperatorType type) {
    using T = NSPredicateOperatorType;
    switch (type) {
        case T::lessThan: return "<";
        case T::lessThanOrEqualTo: return "<=";
        case T::greaterThan: return ">";
        case T::greaterThanOrEqualTo: return ">=";
        case T::equalTo: return "==";
        case T::notEqualTo: return "!=";
        case T::matches: return "MATCHES";
        case T::like: return "LIKE";
        case T::beginsWith: return "BEGINSWITH";
        case T::endsWith: return "ENDSWITH";
        case T::in: return "IN";
        case T::customSelector: return "";
        case T::contains: return "CONTAINS";
        case T::between: return "BETWEEN";
    }
    return "";
}

NSComparisonPredicate::NSComparisonPredicate(Key, ExpressionRef left, ExpressionRef right,
                                             NSComparisonPredicateModifier modifier, NSPredicateOperatorType type,
                                             unsigned options, std::string selector)
    : NSPredicate(1 + std::max(left->depth(), right->depth())),
      left_(std::move(left)),
      right_(std::move(right)),
      modifier_(modifier),
      type_(type),
      options_(options),
      selector_(std::move(selector)) {
    if (type_ == NSPredicateOperatorType::matches && right_->expressionType() == NSExpressionType::constantValue) {
        if (const std::string* pattern = right_->constantValue().stringPtr()) {
            const unsigned diacritics = options_ & NSDiacriticInsensitivePredicateOption;
            pattern_ = std::make_shared<PredicateRegularExpression>(
                diacritics ? predicate_text::fold(*pattern, diacritics) : *pattern, options_);
        }
    }
}

NSComparisonPredicate::~NSComparisonPredicate() = default;

NSPredicate::Ref NSComparisonPredicate::predicateWithLeftExpression(ExpressionRef left, ExpressionRef right,
                                                                    NSComparisonPredicateModifier modifier,
                                                                    NSPredicateOperatorType type, unsigned options) {
    if (!left || !right) raise("A comparison needs a left and a right expression");
    if (options & ~kKnownOptions) raise("Unknown comparison options " + std::to_string(options));
    if (!isKnownOperator(type)) raise("Unknown operator type " + std::to_string(static_cast<int>(type)));
    const int m = static_cast<int>(modifier);
    if (m < 0 || m > 2) raise("Unknown comparison modifier " + std::to_string(m));
    if (1 + std::max(left->depth(), right->depth()) > kMaxPredicateDepth) raise("Predicate nested too deeply");
    return std::make_shared<NSComparisonPredicate>(Key(), std::move(left), std::move(right), modifier, type, options,
                                                   std::string());
}

NSPredicate::Ref NSComparisonPredicate::predicateWithLeftExpression(ExpressionRef left, ExpressionRef right,
                                                                    std::string customSelector) {
    if (!left || !right) raise("A comparison needs a left and a right expression");
    if (1 + std::max(left->depth(), right->depth()) > kMaxPredicateDepth) raise("Predicate nested too deeply");
    return std::make_shared<NSComparisonPredicate>(Key(), std::move(left), std::move(right),
                                                   NSComparisonPredicateModifier::direct,
                                                   NSPredicateOperatorType::customSelector, 0, std::move(customSelector));
}

bool NSComparisonPredicate::compare(const Value& left, const Value& right) const {
    return predicate_operators::apply(type_, options_, left, right, pattern_.get());
}

bool NSComparisonPredicate::evaluate(const PredicateEvaluationContext& context) const {
    Value leftScratch, rightScratch;
    const Value& left = left_->evaluate(context, leftScratch);
    const Value& right = right_->evaluate(context, rightScratch);
    if (modifier_ == NSComparisonPredicateModifier::direct) return compare(left, right);
    if (left.isNone()) return false;
    const Value::List* elements = left.asList();
    if (!elements) raise("The left hand side for an ALL or ANY operator must be a list");
    const bool all = modifier_ == NSComparisonPredicateModifier::all;
    for (const Value& element : *elements) {
        if (compare(element, right) != all) return !all;
    }
    return all;
}

NSPredicate::Ref NSComparisonPredicate::substituting(const SubstitutionVariables& variables) const {
    auto left = left_->substituting(variables), right = right_->substituting(variables);
    if (type_ == NSPredicateOperatorType::customSelector) return predicateWithLeftExpression(left, right, selector_);
    return predicateWithLeftExpression(left, right, modifier_, type_, options_);
}

std::string NSComparisonPredicate::predicateFormat() const {
    std::string out;
    if (modifier_ == NSComparisonPredicateModifier::any) out = "ANY ";
    if (modifier_ == NSComparisonPredicateModifier::all) out = "ALL ";
    out += left_->format();
    out += ' ';
    if (type_ == NSPredicateOperatorType::customSelector) {
        out += selector_;
    } else {
        out += predicateOperatorText(type_);
    }
    if (options_ & (NSCaseInsensitivePredicateOption | NSDiacriticInsensitivePredicateOption | NSNormalizedPredicateOption)) {
        out += '[';
        if (options_ & NSCaseInsensitivePredicateOption) out += 'c';
        if (options_ & NSDiacriticInsensitivePredicateOption) out += 'd';
        if (options_ & NSNormalizedPredicateOption) out += 'n';
        out += ']';
    }
    out += ' ';
    out += right_->format();
    return out;
}

bool NSComparisonPredicate::isEqualToPredicate(const NSPredicate& other) const {
    auto* o = dynamic_cast<const NSComparisonPredicate*>(&other);
    return o && o->modifier_ == modifier_ && o->type_ == type_ && o->options_ == options_ &&
           o->selector_ == selector_ && *o->left_ == *left_ && *o->right_ == *right_;
}

}  // namespace qor
