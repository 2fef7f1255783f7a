#include "QORModels/filters/FilterNode.hpp"

namespace qor {

std::vector<FilterIssue> FilterNode::validate() const {
    std::vector<FilterIssue> issues;
    // Pre-order with an explicit stack: children are pushed last-first so that they come off
    // in child order, and a tree of any depth costs no call stack.
    std::vector<const FilterNode*> pending{this};
    while (!pending.empty()) {
        const FilterNode* node = pending.back();
        pending.pop_back();
        if (const auto* row = node->getIf<Row>()) {
            if (row->value.isEmpty()) issues.emplace_back(row->id(), FilterIssue::Kind::emptyValue());
            continue;
        }
        const auto& group = std::get<Group>(node->value());
        if (group.op == LogicalOperator::not_ && group.children.size() != 1)
            issues.emplace_back(group.id(), FilterIssue::Kind::notRequiresOneChild());
        for (auto child = group.children.rbegin(); child != group.children.rend(); ++child) pending.push_back(&*child);
    }
    return issues;
}

}  // namespace qor
