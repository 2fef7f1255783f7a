#pragma once
// A fault that the filter editor marks on one node of a display filter.

#include <cstddef>
#include <functional>
#include <string>
#include <variant>

#include "QORPlatform/UUID.hpp"

namespace qor {

/// One fault of a filter tree, tied to the node that has it. Every issue gets a fresh `id` when
/// it is made, so that the editor can tell two reports of the same fault apart (and list them
/// by id).
///
/// A plain value: compared and hashed over every field, `id` included.
class FilterIssue {
public:
    /// What is wrong with the node: a tagged variant of three cases.
    class Kind {
    public:
        /// The row names an attribute that the catalog does not know. `FilterNode::validate()`
        /// never reports it (it has no catalog); callers that check ids against a catalog do.
        struct UnknownAttribute {
            std::string attributeID;
            friend bool operator==(const UnknownAttribute&, const UnknownAttribute&) = default;
        };
        /// The row compares with a text (or protocol name) that has no characters.
        struct EmptyValue {
            friend bool operator==(const EmptyValue&, const EmptyValue&) = default;
        };
        /// A `not` group has other than exactly one child.
        struct NotRequiresOneChild {
            friend bool operator==(const NotRequiresOneChild&, const NotRequiresOneChild&) = default;
        };
        using Storage = std::variant<UnknownAttribute, EmptyValue, NotRequiresOneChild>;

        Kind(UnknownAttribute v) : storage_(std::move(v)) {}       // NOLINT: implicit by design
        Kind(EmptyValue v) : storage_(v) {}                        // NOLINT
        Kind(NotRequiresOneChild v) : storage_(v) {}               // NOLINT
        static Kind unknownAttribute(std::string attributeID) { return UnknownAttribute{std::move(attributeID)}; }
        static Kind emptyValue() { return EmptyValue{}; }
        static Kind notRequiresOneChild() { return NotRequiresOneChild{}; }

        [[nodiscard]] const Storage& value() const { return storage_; }
        template <class Case>
        [[nodiscard]] const Case* getIf() const {
            return std::get_if<Case>(&storage_);
        }
        [[nodiscard]] std::size_t hashValue() const;
        friend bool operator==(const Kind&, const Kind&) = default;

    private:
        Storage storage_;
    };

    /// An issue of node `nodeID` with a fresh id.
    FilterIssue(UUID nodeID, Kind kind) : nodeID(nodeID), kind(std::move(kind)) {}

    [[nodiscard]] const UUID& id() const { return id_; }
    /// The id of the faulty node (`FilterNode::id()`).
    UUID nodeID;
    Kind kind;

    [[nodiscard]] std::size_t hashValue() const;
    friend bool operator==(const FilterIssue&, const FilterIssue&) = default;

private:
    UUID id_;
};

}  // namespace qor

template <>
struct std::hash<qor::FilterIssue::Kind> {
    std::size_t operator()(const qor::FilterIssue::Kind& kind) const noexcept { return kind.hashValue(); }
};

template <>
struct std::hash<qor::FilterIssue> {
    std::size_t operator()(const qor::FilterIssue& issue) const noexcept { return issue.hashValue(); }
};
