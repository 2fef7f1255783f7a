// Expression text, edits and hashing of capture-filter trees.

#include "QORModels/capturefilter/BPFFilterNode.hpp"

#include <algorithm>

#include "BPFFilterHashing.hpp"

namespace qor {

BPFFilterNodeBox::BPFFilterNodeBox(BPFFilterNode node) : node_(std::make_shared<const BPFFilterNode>(std::move(node))) {}

bool operator==(const BPFFilterNodeBox& a, const BPFFilterNodeBox& b) {
    return a.node_ == b.node_ || *a.node_ == *b.node_;
}

bool operator==(const BPFFilterNode::Compound& a, const BPFFilterNode::Compound& b) {
    return a.id == b.id && a.combinator == b.combinator && a.children == b.children;
}

const UUID& BPFFilterNode::id() const {
    return std::visit([](const auto& node) -> const UUID& { return node.id; }, storage_);
}

std::string BPFFilterNode::rendered() const {
    if (const auto* p = getIf<Primitive>()) return p->value.rendered();
    if (const auto* n = getIf<Not>()) {
        const std::string text = n->child->rendered();
        if (text.empty()) return {};
        if (n->child->getIf<Compound>()) return "not (" + text + ")";
        return "not " + text;
    }
    if (const auto* c = getIf<Compound>()) {
        struct Part {
            std::string text;
            bool isCompound;
        };
        std::vector<Part> parts;
        for (const BPFFilterNode& child : c->children) {
            std::string text = child.rendered();
            if (!text.empty()) parts.push_back({std::move(text), child.getIf<Compound>() != nullptr});
        }
        if (parts.empty()) return {};
        if (parts.size() == 1) return std::move(parts.front().text);
        const std::string_view joiner = c->combinator == BPFCombinator::and_ ? " and " : " or ";
        std::string text;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) text += joiner;
            if (parts[i].isCompound) {
                text += '(';
                text += parts[i].text;
                text += ')';
            } else {
                text += parts[i].text;
            }
        }
        return text;
    }
    return {};  // empty
}

BPFFilterNode BPFFilterNode::appending(const BPFFilterNode& node, const UUID& compoundID) const {
    if (const auto* n = getIf<Not>()) return Not{n->id, BPFFilterNodeBox(n->child->appending(node, compoundID))};
    if (const auto* c = getIf<Compound>()) {
        Compound copy{c->id, c->combinator, {}};
        if (c->id == compoundID) {
            copy.children = c->children;
            copy.children.push_back(node);
            return copy;
        }
        copy.children.reserve(c->children.size());
        for (const BPFFilterNode& child : c->children) copy.children.push_back(child.appending(node, compoundID));
        return copy;
    }
    return *this;
}

BPFFilterNode BPFFilterNode::removing(const UUID& target) const {
    if (id() == target) return empty();
    if (const auto* n = getIf<Not>()) {
        if (n->child->id() == target) return empty(n->id);
        return Not{n->id, BPFFilterNodeBox(n->child->removing(target))};
    }
    if (const auto* c = getIf<Compound>()) {
        Compound copy{c->id, c->combinator, {}};
        for (const BPFFilterNode& child : c->children) {
            if (child.id() != target) copy.children.push_back(child.removing(target));
        }
        return copy;
    }
    return *this;
}

BPFFilterNode BPFFilterNode::replacing(const UUID& target, const BPFFilterNode& replacement) const {
    if (id() == target) return replacement;
    if (const auto* n = getIf<Not>()) return Not{n->id, BPFFilterNodeBox(n->child->replacing(target, replacement))};
    if (const auto* c = getIf<Compound>()) {
        Compound copy{c->id, c->combinator, {}};
        copy.children.reserve(c->children.size());
        for (const BPFFilterNode& child : c->children) copy.children.push_back(child.replacing(target, replacement));
        return copy;
    }
    return *this;
}

BPFFilterNode BPFFilterNode::togglingCombinator(const UUID& target) const {
    if (const auto* n = getIf<Not>()) return Not{n->id, BPFFilterNodeBox(n->child->togglingCombinator(target))};
    if (const auto* c = getIf<Compound>()) {
        if (c->id == target) {
            const BPFCombinator other = c->combinator == BPFCombinator::and_ ? BPFCombinator::or_ : BPFCombinator::and_;
            return Compound{c->id, other, c->children};
        }
        Compound copy{c->id, c->combinator, {}};
        copy.children.reserve(c->children.size());
        for (const BPFFilterNode& child : c->children) copy.children.push_back(child.togglingCombinator(target));
        return copy;
    }
    return *this;
}

std::size_t BPFFilterNode::hashValue() const {
    bpf_detail::Hasher hasher;
    hasher.mix(storage_.index());
    hasher.add(id());
    if (const auto* p = getIf<Primitive>()) hasher.mix(p->value.hashValue());
    if (const auto* n = getIf<Not>()) hasher.mix(n->child->hashValue());
    if (const auto* c = getIf<Compound>()) {
        hasher.add(c->combinator);
        hasher.mix(c->children.size());
        for (const BPFFilterNode& child : c->children) hasher.mix(child.hashValue());
    }
    return hasher.value();
}

}  // namespace qor
