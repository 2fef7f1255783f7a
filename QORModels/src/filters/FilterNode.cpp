#include "QORModels/filters/FilterNode.hpp"

namespace qor {
namespace {

std::size_t combine(std::size_t seed, std::size_t value) { return seed ^ (value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2)); }

}  // namespace

FilterNode::Group::Group(LogicalOperator op, std::vector<FilterNode> children, std::optional<std::string> savedQueryName, UUID id)
    : op(op), children(std::move(children)), savedQueryName(std::move(savedQueryName)), id_(id) {}

bool operator==(const FilterNode::Group& a, const FilterNode::Group& b) {
    return a.id_ == b.id_ && a.op == b.op && a.savedQueryName == b.savedQueryName && a.children == b.children;
}

FilterNode::Row::Row(std::string attributeID, Comparison comparison, FilterValue value, bool caseInsensitive, UUID id)
    : attributeID(std::move(attributeID)), comparison(comparison), value(std::move(value)), caseInsensitive(caseInsensitive), id_(id) {}

const UUID& FilterNode::id() const {
    return std::visit([](const auto& node) -> const UUID& { return node.id(); }, storage_);
}

std::size_t FilterNode::groupChildCount() const {
    const auto* group = getIf<Group>();
    return group ? group->children.size() : 0;
}

std::size_t FilterNode::hashValue() const {
    std::size_t h = std::hash<std::string>{}(id().uuidString());
    if (const auto* g = getIf<Group>()) {
        h = combine(h, static_cast<std::size_t>(g->op));
        if (g->savedQueryName) h = combine(h, std::hash<std::string>{}(*g->savedQueryName));
        for (const FilterNode& child : g->children) h = combine(h, child.hashValue());
    } else if (const auto* r = getIf<Row>()) {
        h = combine(h, std::hash<std::string>{}(r->attributeID));
        h = combine(h, static_cast<std::size_t>(r->comparison));
        h = combine(h, r->value.hashValue());
        h = combine(h, r->caseInsensitive ? 1 : 2);
    }
    return h;
}

}  // namespace qor
