#include "QORPlatform/NSCompoundPredicate.hpp"

#include "PredicateOperators.hpp"

namespace qor {

using predicate_operators::raise;

NSCompoundPredicate::NSCompoundPredicate(Key, NSCompoundPredicateType type, std::vector<Ref> subpredicates, unsigned depth)
    : NSPredicate(depth), type_(type), subpredicates_(std::move(subpredicates)) {}

NSPredicate::Ref NSCompoundPredicate::make(NSCompoundPredicateType type, std::vector<Ref> subpredicates) {
    unsigned deepest = 0;
    for (const Ref& p : subpredicates) {
        if (!p) raise("A compound predicate cannot hold a missing subpredicate");
        deepest = std::max(deepest, p->depth());
    }
    if (type != NSCompoundPredicateType::notPredicateType) {
        if (subpredicates.empty()) return predicateWithValue(type == NSCompoundPredicateType::andPredicateType);
        if (subpredicates.size() == 1) return std::move(subpredicates.front());
    }
    if (deepest + 1 > kMaxPredicateDepth) raise("Predicate nested too deeply");
    return std::make_shared<NSCompoundPredicate>(Key(), type, std::move(subpredicates), deepest + 1);
}

NSPredicate::Ref NSCompoundPredicate::compoundPredicateWithType(NSCompoundPredicateType type, std::vector<Ref> subpredicates) {
    if (type == NSCompoundPredicateType::notPredicateType && subpredicates.size() != 1) {
        raise("A NOT predicate holds exactly one subpredicate");
    }
    if (type != NSCompoundPredicateType::notPredicateType && type != NSCompoundPredicateType::andPredicateType &&
        type != NSCompoundPredicateType::orPredicateType) {
        raise("Unknown compound predicate type");
    }
    unsigned deepest = 0;
    for (const Ref& p : subpredicates) {
        if (!p) raise("A compound predicate cannot hold a missing subpredicate");
        deepest = std::max(deepest, p->depth());
    }
    if (deepest + 1 > kMaxPredicateDepth) raise("Predicate nested too deeply");
    return std::make_shared<NSCompoundPredicate>(Key(), type, std::move(subpredicates), deepest + 1);
}

NSPredicate::Ref NSCompoundPredicate::andPredicateWithSubpredicates(std::vector<Ref> subpredicates) {
    return make(NSCompoundPredicateType::andPredicateType, std::move(subpredicates));
}

NSPredicate::Ref NSCompoundPredicate::orPredicateWithSubpredicates(std::vector<Ref> subpredicates) {
    return make(NSCompoundPredicateType::orPredicateType, std::move(subpredicates));
}

NSPredicate::Ref NSCompoundPredicate::notPredicateWithSubpredicate(Ref subpredicate) {
    std::vector<Ref> one;
    one.push_back(std::move(subpredicate));
    return make(NSCompoundPredicateType::notPredicateType, std::move(one));
}

bool NSCompoundPredicate::evaluate(const PredicateEvaluationContext& context) const {
    switch (type_) {
        case NSCompoundPredicateType::notPredicateType: return !subpredicates_.front()->evaluate(context);
        case NSCompoundPredicateType::andPredicateType:
            for (const Ref& p : subpredicates_) {
                if (!p->evaluate(context)) return false;
            }
            return true;
        case NSCompoundPredicateType::orPredicateType:
            for (const Ref& p : subpredicates_) {
                if (p->evaluate(context)) return true;
            }
            return false;
    }
    return false;
}

NSPredicate::Ref NSCompoundPredicate::substituting(const SubstitutionVariables& variables) const {
    std::vector<Ref> substituted;
    substituted.reserve(subpredicates_.size());
    for (const Ref& p : subpredicates_) substituted.push_back(p->substituting(variables));
    return make(type_, std::move(substituted));
}

std::string NSCompoundPredicate::predicateFormat() const {
    // AND and OR operands in parentheses; NOT needs none, being a prefix that binds tightest.
    // So a text never nests deeper than the tree it prints.
    const auto operand = [](const Ref& p) {
        auto* compound = dynamic_cast<const NSCompoundPredicate*>(p.get());
        const bool parenthesise = compound && compound->type_ != NSCompoundPredicateType::notPredicateType;
        return parenthesise ? "(" + p->predicateFormat() + ")" : p->predicateFormat();
    };
    if (type_ == NSCompoundPredicateType::notPredicateType) return "NOT " + operand(subpredicates_.front());
    // Shapes only `compoundPredicateWithType` makes print as what the factories would make.
    if (subpredicates_.empty()) return type_ == NSCompoundPredicateType::andPredicateType ? "TRUEPREDICATE" : "FALSEPREDICATE";
    if (subpredicates_.size() == 1) return subpredicates_.front()->predicateFormat();
    const char* separator = type_ == NSCompoundPredicateType::andPredicateType ? " AND " : " OR ";
    std::string out;
    for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
        if (i) out += separator;
        out += operand(subpredicates_[i]);
    }
    return out;
}

bool NSCompoundPredicate::isEqualToPredicate(const NSPredicate& other) const {
    auto* o = dynamic_cast<const NSCompoundPredicate*>(&other);
    if (!o || o->type_ != type_ || o->subpredicates_.size() != subpredicates_.size()) return false;
    for (std::size_t i = 0; i < subpredicates_.size(); ++i) {
        if (!(*o->subpredicates_[i] == *subpredicates_[i])) return false;
    }
    return true;
}

}  // namespace qor
