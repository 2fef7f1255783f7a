#pragma once
// The display filter a user builds: rows testing packet attributes, in groups joined by and,
// or and not.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "QORModels/filters/FilterEnumerations.hpp"
#include "QORModels/filters/FilterIssue.hpp"
#include "QORModels/filters/FilterValue.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

class FilterAttributeCatalog;
class FilterNode;
class ISO8601DateFormatter;
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

    // Checking (FilterValidation.cpp)

    /// The structural faults of the tree, in pre-order: a row comparing with an empty text or
    /// protocol name gives `emptyValue`; a `not` group with other than one child gives
    /// `notRequiresOneChild`, before the issues of its children. Needs no catalog, so it never
    /// reports `unknownAttribute`. Walks any depth without recursion.
    [[nodiscard]] std::vector<FilterIssue> validate() const;

    // The editor's token field: writing (FilterDisplayTokens.cpp) and reading back
    // (FilterDisplayTokenParsing.cpp). Pure functions of their arguments, safe on any thread;
    // `fromDisplayTokens` calls `resolveOpaque` on the calling thread.

    /// Called by `fromDisplayTokens` with the UUID of an opaque marker: the node that the
    /// marker stood for, or nothing when it is not known.
    using OpaqueResolver = std::function<std::optional<FilterNode>(const UUID&)>;

    /// The node as the tokens of a one-line token field. A row gives its attribute's title and
    /// its value text when `catalog.byID()` holds its `attributeID` exactly (no resolution of
    /// bare key paths), nothing otherwise. A group without children gives nothing; a `not`
    /// group gives "(NOT)"; an `and` or `or` group gives its children joined by "AND" or "OR",
    /// each nested group as the one token "(n conditions)".
    [[nodiscard]] std::vector<std::string> toDisplayTokens(const FilterAttributeCatalog& catalog) const;
    /// As `toDisplayTokens`, but each nested group of an `and` or `or` group gives two tokens,
    /// its `opaqueMarker` and its label (`savedQueryLabel` of its saved query's name, or
    /// "(n conditions)"), so that `fromDisplayTokens` can put it back.
    [[nodiscard]] std::vector<std::string> toOpaqueDisplayTokens(const FilterAttributeCatalog& catalog) const;
    /// The group that an edited token list stands for: always a group with a new id, operator
    /// `and` unless an "and", "or" or "not" token (any case; the last one wins) says otherwise,
    /// and no saved query name. Title tokens followed by a value text become rows (value read by
    /// the attribute's kind; an unparsable number is 0, an unparsable date now) with
    /// `caseInsensitive` set; a marker becomes the node `resolveOpaque` gives for it (an empty
    /// `and` group when it gives nothing, or when `resolveOpaque` is empty) and consumes the
    /// label after it; a "(...)" token alone becomes an empty `and` group; unknown titles are
    /// skipped with their value, and a lone title at the end is logged and dropped. Never fails.
    [[nodiscard]] static FilterNode fromDisplayTokens(const std::vector<std::string>& tokens,
                                                      const FilterAttributeCatalog& catalog,
                                                      const OpaqueResolver& resolveOpaque);

    /// "__opaque:" + the UUID's text (upper case) + "__".
    [[nodiscard]] static std::string opaqueMarker(const UUID& uuid);
    /// The UUID inside an opaque marker, or nothing when `text` is not one.
    [[nodiscard]] static std::optional<UUID> opaqueMarkerUUID(std::string_view text);
    /// "Saved: " + name + " ▾": the token of a saved query inside a filter.
    [[nodiscard]] static std::string savedQueryLabel(std::string_view name);
    /// The value text of a row: texts as they are, integers in decimal, doubles in their
    /// shortest decimal form that reads back exactly (`shortestDecimalText`: "42.0", "0.1",
    /// "1e+20"),
    /// dates in the ISO 8601 internet form in UTC, rounded down to the second (the empty text for
    /// a date outside the years 1 to 9999, which reads back as now).
    [[nodiscard]] static std::string displayText(const FilterValue& value);
    /// The shared formatter of date value texts (made once, default settings; thread-safe).
    [[nodiscard]] static const ISO8601DateFormatter& iso8601Formatter();

private:
    Storage storage_;
};

}  // namespace qor

template <>
struct std::hash<qor::FilterNode> {
    std::size_t operator()(const qor::FilterNode& node) const noexcept { return node.hashValue(); }
};
