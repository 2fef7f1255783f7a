#include "DisplayFilter.hpp"

#include <set>

#include "Command.hpp"
#include "SavedQueries.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/NSExpression.hpp"
#include "QORPlatform/PredicateFormatError.hpp"

namespace qor::cli {
namespace {

/// The first components of the key paths a filter may read.
std::set<std::string, std::less<>> knownKeys() {
    std::set<std::string, std::less<>> keys;
    const auto catalog = FilterAttributeCatalog::builtin();
    for (const auto& a : catalog.attributes()) {
        if (a.keyPath) keys.insert(*a.keyPath);
    }
    const auto plugIns = QORPlugInsController::sharedManager()->plugInStructs();
    for (const auto& plugIn : plugIns) {
        for (const auto& attribute : plugIn.plugInAnalyzerAttributes) keys.insert(attribute.attributeKey);
        for (const auto& column : plugIn.plugInColumnKeyBindings) keys.insert(column.keyPath.substr(0, column.keyPath.find('.')));
    }
    return keys;
}

/// The first key path of `expression` (and those of its operands) whose first component is not
/// in `keys`.
const std::string* unknownKeyPath(const NSExpression& expression, const std::set<std::string, std::less<>>& keys) {
    if (expression.expressionType() == NSExpressionType::keyPath) {
        const auto& components = expression.keyPathComponents();
        if (!components.empty() && !keys.contains(components.front())) return &expression.keyPath();
    }
    for (const auto& element : expression.collection()) {
        if (const std::string* unknown = unknownKeyPath(*element, keys)) return unknown;
    }
    return nullptr;
}

const std::string* unknownKeyPath(const NSPredicate& predicate, const std::set<std::string, std::less<>>& keys) {
    if (const auto* compound = dynamic_cast<const NSCompoundPredicate*>(&predicate)) {
        for (const auto& sub : compound->subpredicates()) {
            if (const std::string* unknown = unknownKeyPath(*sub, keys)) return unknown;
        }
    } else if (const auto* comparison = dynamic_cast<const NSComparisonPredicate*>(&predicate)) {
        if (const std::string* unknown = unknownKeyPath(*comparison->leftExpression(), keys)) return unknown;
        return unknownKeyPath(*comparison->rightExpression(), keys);
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<const NSPredicate> compileDisplayFilter(const std::string& expression) {
    std::shared_ptr<const NSPredicate> predicate;
    try {
        predicate = NSPredicate::predicateWithFormat(expression);
    } catch (const PredicateFormatError& e) {
        throw CommandFailure(2, "filter: " + e.reason());
    } catch (const NSException& e) {
        throw CommandFailure(2, "filter: " + e.reason());
    }
    if (const std::string* unknown = unknownKeyPath(*predicate, knownKeys())) {
        throw CommandFailure(2, "filter: unknown key \"" + *unknown + "\"");
    }
    return predicate;
}

std::shared_ptr<const NSPredicate> compileSavedQuery(const std::string& name, const std::string& dir) {
    const auto store = openStore(dir);
    const SavedQuery& query = require(*store, name);
    const auto catalog = FilterAttributeCatalog::buildWithAttributeKeys(*QORPlugInsController::sharedManager());
    try {
        return query.root.asPredicate(catalog);
    } catch (const FilterCompileError& e) {
        throw CommandFailure(2, "saved query \"" + name + "\": " + e.what());
    }
}

}  // namespace qor::cli
