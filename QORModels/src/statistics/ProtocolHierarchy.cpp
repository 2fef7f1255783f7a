// The layer tree of a capture's protocol histories.

#include "QORModels/statistics/ProtocolHierarchy.hpp"

#include <algorithm>
#include <memory>
#include <string_view>

namespace qor {
namespace {

struct Node {
    LayerPathCount count;
    std::map<std::string, std::unique_ptr<Node>, std::less<>> children;
};

void appendRows(const Node& node, std::size_t depth, std::vector<ProtocolHierarchyRow>& rows) {
    std::vector<std::pair<const std::string*, const Node*>> order;
    order.reserve(node.children.size());
    for (const auto& [name, child] : node.children) order.emplace_back(&name, child.get());
    // The map gives name order; a stable sort by frames keeps it among equals.
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.second->count.frames > b.second->count.frames; });
    for (const auto& [name, child] : order) {
        rows.push_back({*name, depth, child->count.frames, child->count.bytes});
        appendRows(*child, depth + 1, rows);
    }
}

}  // namespace

std::vector<ProtocolHierarchyRow> protocolHierarchy(const std::map<std::string, LayerPathCount>& histories) {
    Node root;
    for (const auto& [history, count] : histories) {
        if (history.empty()) continue;
        Node* node = &root;
        std::string_view rest = history;
        for (;;) {
            const auto dash = rest.find('-');
            const std::string_view layer = rest.substr(0, dash);
            auto it = node->children.find(layer);
            if (it == node->children.end()) it = node->children.emplace(std::string(layer), std::make_unique<Node>()).first;
            node = it->second.get();
            node->count += count;
            if (dash == std::string_view::npos) break;
            rest.remove_prefix(dash + 1);
        }
    }
    std::vector<ProtocolHierarchyRow> rows;
    appendRows(root, 0, rows);
    return rows;
}

}  // namespace qor
