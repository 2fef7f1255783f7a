// Compiling a display-filter tree into a predicate.

#include <chrono>
#include <optional>

#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORModels/filters/FilterValueText.hpp"
#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "QORPlatform/NSPredicate.hpp"
#include "qor_objc_exception/QOR_ObjC_Exception.hpp"

namespace qor {
namespace {

using Kind = FilterAttribute::Kind;
using PredicateRef = std::shared_ptr<const NSPredicate>;

/// What an error object says went wrong: its failure reason, else its description.
std::string reasonOf(const NSError& error) { return error.localizedFailureReason().value_or(error.localizedDescription()); }

/// Builds a predicate inside the exception catcher: a raised platform exception or a missing
/// result becomes `invalidPredicate` for `format`.
template <class Build>
PredicateRef guarded(const std::string& format, const char* noResultReason, Build build) {
    PredicateRef result;
    std::optional<NSError> error;
    if (!QOR_ObjC_Exception::tryExecute([&] { result = build(); }, error)) {
        throw FilterCompileError::invalidPredicate(format, error ? reasonOf(*error) : std::string("unknown error"));
    }
    if (!result) throw FilterCompileError::invalidPredicate(format, noResultReason);
    return result;
}

/// The row's value as the object a plug-in format receives for `$value`.
Value pluginObject(const FilterValue& value) { return value.payload(); }

/// The constant a key-path comparison compares with: the row's value taken as the attribute's
/// kind, whatever the value's own case.
Value comparisonConstant(const FilterValue& value, Kind kind) {
    switch (kind) {
        case Kind::string:
        case Kind::protocolName:
            if (const auto* s = value.getIf<FilterValue::String>()) return s->value;
            if (const auto* p = value.getIf<FilterValue::ProtocolName>()) return p->value;
            if (const auto* i = value.getIf<FilterValue::Int>()) return std::to_string(i->value);
            if (const auto* d = value.getIf<FilterValue::Double>()) return shortestDecimalText(d->value);
            return dateDescription(value.getIf<FilterValue::Date>()->value);
        case Kind::int_:
            if (const auto* i = value.getIf<FilterValue::Int>()) return i->value;
            return std::int64_t{0};
        case Kind::double_:
            if (const auto* d = value.getIf<FilterValue::Double>()) return d->value;
            return 0.0;
        case Kind::date:
            if (const auto* d = value.getIf<FilterValue::Date>()) return d->value;
            return Date{std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()};
    }
    return {};
}

NSPredicateOperatorType operatorFor(Comparison comparison) {
    switch (comparison) {
        case Comparison::contains: return NSPredicateOperatorType::contains;
        case Comparison::beginsWith: return NSPredicateOperatorType::beginsWith;
        case Comparison::endsWith: return NSPredicateOperatorType::endsWith;
        case Comparison::equalTo: return NSPredicateOperatorType::equalTo;
        case Comparison::notEqualTo: return NSPredicateOperatorType::notEqualTo;
        case Comparison::lessThan: return NSPredicateOperatorType::lessThan;
        case Comparison::lessThanOrEqual: return NSPredicateOperatorType::lessThanOrEqualTo;
        case Comparison::greaterThan: return NSPredicateOperatorType::greaterThan;
        case Comparison::greaterThanOrEqual: return NSPredicateOperatorType::greaterThanOrEqualTo;
    }
    return NSPredicateOperatorType::equalTo;
}

PredicateRef compileRow(const FilterNode::Row& row, const FilterAttributeCatalog& catalog) {
    const FilterAttribute* attribute = catalog.resolve(row.attributeID, row.comparison);
    if (!attribute) throw FilterCompileError::unknownAttribute(row.attributeID);

    if (attribute->predicateFormat && !attribute->predicateFormat->empty()) {
        // The plug-in's format decides the operator and options; the row gives only the value.
        const std::string& format = *attribute->predicateFormat;
        return guarded(format, "NSPredicate(format:) returned nil", [&] {
            return NSPredicate::predicateWithFormat(format)->predicateWithSubstitutionVariables({{"value", pluginObject(row.value)}});
        });
    }

    const std::string keyPath = attribute->keyPath.value_or(row.attributeID);
    const Value constant = comparisonConstant(row.value, attribute->kind);
    const bool text = attribute->kind == Kind::string || attribute->kind == Kind::protocolName;
    const unsigned options = row.caseInsensitive && text ? NSCaseInsensitivePredicateOption : 0;
    const std::string description = keyPath + " " + std::string(rawValue(row.comparison)) + " " + constant.description();
    return guarded(description, "NSComparisonPredicate init returned nil", [&] {
        return NSComparisonPredicate::predicateWithLeftExpression(NSExpression::expressionForKeyPath(keyPath),
                                                                  NSExpression::expressionForConstantValue(constant),
                                                                  NSComparisonPredicateModifier::direct,
                                                                  operatorFor(row.comparison), options);
    });
}

/// `depth` counts the nodes from the top, this one included: a tree deeper than a predicate may
/// be is refused before the walk can exhaust the stack.
PredicateRef compile(const FilterNode& node, const FilterAttributeCatalog& catalog, unsigned depth) {
    if (depth > kMaxPredicateDepth) {
        throw FilterCompileError::invalidPredicate(
            "(nested groups)", "Filter nodes are nested deeper than " + std::to_string(kMaxPredicateDepth) + " levels.");
    }
    if (const auto* row = node.getIf<FilterNode::Row>()) return compileRow(*row, catalog);
    const auto& group = *node.getIf<FilterNode::Group>();
    std::vector<PredicateRef> parts;
    parts.reserve(group.children.size());
    for (const FilterNode& child : group.children) parts.push_back(compile(child, catalog, depth + 1));
    switch (group.op) {
        case LogicalOperator::and_:
            if (parts.empty()) return NSPredicate::predicateWithValue(true);
            return guarded("AND", "NSCompoundPredicate init returned nil",
                           [&] { return NSCompoundPredicate::andPredicateWithSubpredicates(std::move(parts)); });
        case LogicalOperator::or_:
            if (parts.empty()) return NSPredicate::predicateWithValue(false);
            return guarded("OR", "NSCompoundPredicate init returned nil",
                           [&] { return NSCompoundPredicate::orPredicateWithSubpredicates(std::move(parts)); });
        case LogicalOperator::not_:
            if (parts.size() != 1) throw FilterCompileError::notRequiresOneChild();
            return guarded("NOT", "NSCompoundPredicate init returned nil",
                           [&] { return NSCompoundPredicate::notPredicateWithSubpredicate(parts.front()); });
    }
    throw FilterCompileError::notRequiresOneChild();
}

}  // namespace

std::shared_ptr<const NSPredicate> FilterNode::asPredicate(const FilterAttributeCatalog& catalog) const {
    return compile(*this, catalog, 1);
}

}  // namespace qor
