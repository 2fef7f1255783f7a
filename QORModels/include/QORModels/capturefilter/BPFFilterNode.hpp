#pragma once
// The capture filter a user builds: a tree of primitives joined by and, or and not.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "QORModels/capturefilter/BPFFilterEnumerations.hpp"
#include "QORModels/capturefilter/BPFFilterPrimitive.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

class BPFFilterNode;

/// The one child of a `not` node: an immutable node behind a shared pointer, compared by value.
///
/// Never null. Copies share the node, which nobody can change, so a copy behaves as a deep copy.
class BPFFilterNodeBox {
public:
    explicit BPFFilterNodeBox(BPFFilterNode node);
    [[nodiscard]] const BPFFilterNode& get() const { return *node_; }
    const BPFFilterNode& operator*() const { return *node_; }
    const BPFFilterNode* operator->() const { return node_.get(); }
    friend bool operator==(const BPFFilterNodeBox& a, const BPFFilterNodeBox& b);

private:
    std::shared_ptr<const BPFFilterNode> node_;
};

/// A capture filter as a tree: primitives combined by `and`, `or` and `not`, every node carrying
/// a UUID that identifies it for editing.
///
/// A tagged variant of four cases: `Primitive`, `Not`, `Compound` and `Empty` (built directly or
/// through the factories `primitive`, `not_`, `compound` and `empty`; `not` is a C++ keyword). The
/// edits return new trees and leave the receiver unchanged; unchanged subtrees may be shared
/// between the old and the new tree, which is invisible because nodes are immutable values.
/// Equality compares the case, the ids and every field, children recursively and in order.
///
/// A plain value: a node may be read (rendered, edited into a new tree, hashed) from any number of
/// threads at once. Nesting is not bounded here; the decoder refuses documents nested deeper than
/// `kBPFFilterMaxNodeDepth` (see BPFFilterCoding.hpp).
class BPFFilterNode {
public:
    struct Primitive {
        UUID id;
        BPFFilterPrimitive value;
        friend bool operator==(const Primitive&, const Primitive&) = default;
    };
    struct Not {
        UUID id;
        BPFFilterNodeBox child;
        friend bool operator==(const Not&, const Not&) = default;
    };
    struct Compound {
        UUID id;
        BPFCombinator combinator = BPFCombinator::and_;
        std::vector<BPFFilterNode> children;
        friend bool operator==(const Compound& a, const Compound& b);
    };
    struct Empty {
        UUID id;
        friend bool operator==(const Empty&, const Empty&) = default;
    };
    using Storage = std::variant<Primitive, Not, Compound, Empty>;

    /// An `empty` node with a fresh id.
    BPFFilterNode() : storage_(Empty{UUID()}) {}
    BPFFilterNode(Primitive node) : storage_(std::move(node)) {}  // NOLINT: implicit by design
    BPFFilterNode(Not node) : storage_(std::move(node)) {}        // NOLINT
    BPFFilterNode(Compound node) : storage_(std::move(node)) {}   // NOLINT
    BPFFilterNode(Empty node) : storage_(std::move(node)) {}      // NOLINT

    static BPFFilterNode primitive(BPFFilterPrimitive value, UUID id = UUID()) {
        return Primitive{id, std::move(value)};
    }
    static BPFFilterNode not_(BPFFilterNode child, UUID id = UUID()) {
        return Not{id, BPFFilterNodeBox(std::move(child))};
    }
    static BPFFilterNode compound(BPFCombinator combinator, std::vector<BPFFilterNode> children, UUID id = UUID()) {
        return Compound{id, combinator, std::move(children)};
    }
    static BPFFilterNode empty(UUID id = UUID()) { return Empty{id}; }

    /// The id of the node's case.
    [[nodiscard]] const UUID& id() const;
    /// The case and its fields.
    [[nodiscard]] const Storage& value() const { return storage_; }
    /// The fields of case `Case`, or null when the node is of another case.
    template <class Case>
    [[nodiscard]] const Case* getIf() const {
        return std::get_if<Case>(&storage_);
    }

    /// The libpcap filter expression text of the tree.
    ///
    /// `empty` gives the empty text; `primitive` its primitive's text; `not` gives nothing when its
    /// child's text is empty, "not (TEXT)" when the child is a compound and "not TEXT" otherwise.
    /// A compound renders its children in order, drops the empty texts, and gives nothing when none
    /// is left, the one text unchanged when one is left, and otherwise all texts joined with " and "
    /// or " or ", each child that is itself a compound wrapped in parentheses.
    [[nodiscard]] std::string rendered() const;

    /// A copy in which the compound with id `compoundID` has `node` added at the end of its
    /// children. Unchanged when no compound has that id.
    [[nodiscard]] BPFFilterNode appending(const BPFFilterNode& node, const UUID& compoundID) const;
    /// A copy without the node with id `id`: that node becomes an `empty` node with a fresh id
    /// when it is this node, a `not` whose child has the id becomes an `empty` node keeping the
    /// `not`'s id, and a compound drops every child with the id (a compound left without children
    /// stays, keeps its id and combinator, and renders as nothing).
    [[nodiscard]] BPFFilterNode removing(const UUID& id) const;
    /// A copy in which the node with id `id` (this node included) is replaced by `replacement`.
    [[nodiscard]] BPFFilterNode replacing(const UUID& id, const BPFFilterNode& replacement) const;
    /// A copy in which the compound with id `id` joins its children with the other combinator.
    [[nodiscard]] BPFFilterNode togglingCombinator(const UUID& id) const;

    /// A hash consistent with `==`.
    [[nodiscard]] std::size_t hashValue() const;

    friend bool operator==(const BPFFilterNode&, const BPFFilterNode&) = default;

private:
    Storage storage_;
};

}  // namespace qor

template <>
struct std::hash<qor::BPFFilterNode> {
    std::size_t operator()(const qor::BPFFilterNode& node) const noexcept { return node.hashValue(); }
};
