#pragma once
// The display filter a user builds: rows testing packet attributes, in groups joined by and,
// or and not.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QORModels/filters/FilterEnumerations.hpp"
#include "QORModels/filters/FilterValue.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

class FilterAttributeCatalog;
class FilterNode;
class NSPredicate;

/// A display filter as a tree: a tagged variant of two cases, `Group` (children combined by a
/// logical operator) and `Row` (one test of a packet attribute). Every node carries a UUID that
/// identifies it for editing; the id of a node is the id of its case, fixed when it is made,
/// while every other field may be changed.
///
/// A group whose `savedQueryName` is set stands for the saved query of that name inside a larger
/// filter; its children are that query's tree.
///
/// A plain value: copied on assignment (children included), compared field by field, children
/// recursively and in order, and hashed consistently with that. Nesting is not bounded here;
/// the decoder refuses documents nested deeper than `kFilterMaxNodeDepth` (FilterCoding.hpp).
class FilterNode {
public:
    struct Group {
        explicit Group(LogicalOperator op = LogicalOperator::and_, std::vector<FilterNode> children = {},
                       std::optional<std::string> savedQueryName = std::nullopt, UUID id = UUID());
        [[nodiscard]] const UUID& id() const { return id_; }
        LogicalOperator op;
        std::vector<FilterNode> children;
        std::optional<std::string> savedQueryName;
        friend bool operator==(const Group& a, const Group& b);

    private:
        UUID id_;
    };
    struct Row {
        explicit Row(std::string attributeID = {}, Comparison comparison = Comparison::equalTo, FilterValue value = {},
                     bool caseInsensitive = false, UUID id = UUID());
        [[nodiscard]] const UUID& id() const { return id_; }
        /// An attribute id of the catalog, or a bare key path that the catalog resolves together
        /// with `comparison` (`FilterAttributeCatalog::resolve`).
        std::string attributeID;
        Comparison comparison;
        FilterValue value;
        bool caseInsensitive;
        friend bool operator==(const Row&, const Row&) = default;

    private:
        UUID id_;
    };
    using Storage = std::variant<Group, Row>;

    FilterNode(Group group) : storage_(std::move(group)) {}  // NOLINT: implicit by design
    FilterNode(Row row) : storage_(std::move(row)) {}        // NOLINT

    /// The id of the node's case.
    [[nodiscard]] const UUID& id() const;
    /// The number of children of a group; 0 for a row.
    [[nodiscard]] std::size_t groupChildCount() const;

    /// The predicate the tree stands for, its rows resolved against `catalog`: a group of the
    /// predicates of its children (an empty `and` is true, an empty `or` false, `not` needs
    /// exactly one child), a row either the plug-in's predicate format with the row's value for
    /// `$value` or a comparison of the attribute's key path with the row's value taken as the
    /// attribute's kind. Throws `FilterCompileError`; never raises a platform exception.
    [[nodiscard]] std::shared_ptr<const NSPredicate> asPredicate(const FilterAttributeCatalog& catalog) const;
    [[nodiscard]] const Storage& value() const { return storage_; }
    [[nodiscard]] Storage& value() { return storage_; }
    template <class Case>
    [[nodiscard]] const Case* getIf() const {
        return std::get_if<Case>(&storage_);
    }
    template <class Case>
    [[nodiscard]] Case* getIf() {
        return std::get_if<Case>(&storage_);
    }

    [[nodiscard]] std::size_t hashValue() const;
    friend bool operator==(const FilterNode&, const FilterNode&) = default;

private:
    Storage storage_;
};

}  // namespace qor

template <>
struct std::hash<qor::FilterNode> {
    std::size_t operator()(const qor::FilterNode& node) const noexcept { return node.hashValue(); }
};
