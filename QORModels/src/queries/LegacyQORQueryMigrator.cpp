// Converting platform predicates into display-filter trees.

#include "QORModels/queries/LegacyQORQueryMigrator.hpp"

#include <set>
#include <string>

#include "QORModels/filters/FilterCoding.hpp"
#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/NSKeyedUnarchiver.hpp"

namespace qor::LegacyQORQueryMigrator {
namespace {

std::optional<Comparison> comparisonFor(NSPredicateOperatorType type) {
    switch (type) {
        case NSPredicateOperatorType::lessThan: return Comparison::lessThan;
        case NSPredicateOperatorType::lessThanOrEqualTo: return Comparison::lessThanOrEqual;
        case NSPredicateOperatorType::greaterThan: return Comparison::greaterThan;
        case NSPredicateOperatorType::greaterThanOrEqualTo: return Comparison::greaterThanOrEqual;
        case NSPredicateOperatorType::equalTo: return Comparison::equalTo;
        case NSPredicateOperatorType::notEqualTo: return Comparison::notEqualTo;
        case NSPredicateOperatorType::beginsWith: return Comparison::beginsWith;
        case NSPredicateOperatorType::endsWith: return Comparison::endsWith;
        case NSPredicateOperatorType::contains: return Comparison::contains;
        default: return std::nullopt;
    }
}

FilterValue valueFor(const Value& constant) {
    return std::visit(
        [&](const auto& v) -> FilterValue {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return FilterValue::String{};
            else if constexpr (std::is_same_v<T, std::string>) return FilterValue::String{v};
            else if constexpr (std::is_same_v<T, double>) return FilterValue::Double{v};
            else if constexpr (std::is_same_v<T, bool>) return FilterValue::Int{v ? 1 : 0};
            else if constexpr (std::is_same_v<T, std::int64_t>) return FilterValue::Int{v};
            else if constexpr (std::is_same_v<T, std::uint64_t>) return FilterValue::Int{static_cast<std::int64_t>(v)};
            else if constexpr (std::is_same_v<T, Date>) return FilterValue::Date{v};
            else return FilterValue::String{constant.description()};
        },
        constant.storage());
}

std::string_view expressionKind(NSExpressionType type) {
    switch (type) {
        case NSExpressionType::constantValue: return "a constant";
        case NSExpressionType::evaluatedObject: return "SELF";
        case NSExpressionType::variable: return "a variable";
        case NSExpressionType::keyPath: return "a key path";
        case NSExpressionType::aggregate: return "a list";
    }
    return "an expression";
}

/// Walks one predicate tree, counting the nodes it makes.
struct Conversion {
    std::size_t nodes = 0;
    FilterNode node(const NSPredicate& predicate, std::size_t depth);
};

FilterNode Conversion::node(const NSPredicate& predicate, std::size_t depth) {
    if (++nodes > kMaxConvertedNodes) {
        throw LegacyMigrationError::unsupportedExpression("more than " + std::to_string(kMaxConvertedNodes) + " conditions");
    }
    if (depth > kFilterMaxNodeDepth) {
        throw LegacyMigrationError::unsupportedExpression("predicates nested deeper than " + std::to_string(kFilterMaxNodeDepth) + " levels");
    }
    if (const auto* compound = dynamic_cast<const NSCompoundPredicate*>(&predicate)) {
        LogicalOperator op = LogicalOperator::and_;
        if (compound->compoundPredicateType() == NSCompoundPredicateType::notPredicateType) op = LogicalOperator::not_;
        if (compound->compoundPredicateType() == NSCompoundPredicateType::orPredicateType) op = LogicalOperator::or_;
        std::vector<FilterNode> children;
        children.reserve(compound->subpredicates().size());
        for (const auto& sub : compound->subpredicates()) children.push_back(node(*sub, depth + 1));
        return FilterNode::Group(op, std::move(children));
    }
    if (const auto* comparison = dynamic_cast<const NSComparisonPredicate*>(&predicate)) {
        const NSExpression& left = *comparison->leftExpression();
        const NSExpression& right = *comparison->rightExpression();
        if (left.expressionType() != NSExpressionType::keyPath) {
            throw LegacyMigrationError::unsupportedExpression("the left side of " + comparison->predicateFormat() + " is " +
                                                              std::string(expressionKind(left.expressionType())) + ", not a key path");
        }
        if (right.expressionType() != NSExpressionType::constantValue) {
            throw LegacyMigrationError::unsupportedExpression("the right side of " + comparison->predicateFormat() + " is " +
                                                              std::string(expressionKind(right.expressionType())) + ", not a constant");
        }
        const auto type = comparison->predicateOperatorType();
        const auto comparisonCase = comparisonFor(type);
        if (!comparisonCase) throw LegacyMigrationError::unsupportedOperator(static_cast<std::uint64_t>(type));
        return FilterNode::Row(left.keyPath() + "." + std::string(rawValue(*comparisonCase)), *comparisonCase,
                               valueFor(right.constantValue()),
                               (comparison->options() & NSCaseInsensitivePredicateOption) != 0);
    }
    throw LegacyMigrationError::unsupportedExpression("the predicate " + predicate.predicateFormat() + " is neither a compound nor a comparison");
}

}  // namespace

FilterNode convert(std::span<const std::byte> archiveData) {
    static const std::set<std::string, std::less<>> kAllowed{"NSPredicate", "NSCompoundPredicate", "NSComparisonPredicate",
                                                             "NSExpression"};
    const NSPredicate::Ref predicate = NSKeyedUnarchiver::unarchivedPredicateOfClasses(kAllowed, archiveData);
    if (!predicate) throw LegacyMigrationError::unarchiveFailed();
    return convert(*predicate);
}

FilterNode convert(const NSPredicate& predicate) { return Conversion{}.node(predicate, 1); }

FilterNode convertPredicateFormat(std::string_view format) { return convert(*NSPredicate::predicateWithFormat(format)); }

}  // namespace qor::LegacyQORQueryMigrator
