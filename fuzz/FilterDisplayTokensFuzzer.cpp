// Fuzz target: an edited token list (one token per line) read into a filter, written back as
// opaque tokens and read again; every token also goes through the ISO 8601 date reader.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORPlatform/ISO8601DateFormatter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using qor::FilterNode;
    static const qor::FilterAttributeCatalog catalog = qor::FilterAttributeCatalog::builtin();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> tokens;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        tokens.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }

    const auto& formatter = FilterNode::iso8601Formatter();
    for (const std::string& token : tokens) {
        // A date that was read writes back as a text that reads as the same second.
        if (const auto date = formatter.date(token)) {
            const auto again = formatter.date(formatter.string(*date));
            if (!again || *again != *date) __builtin_trap();
        }
    }

    // Markers whose UUID ends in an even byte stand for a small nested group, the same one each
    // time the marker comes (its row takes the marker's UUID too).
    const FilterNode::OpaqueResolver resolve = [](const qor::UUID& id) -> std::optional<FilterNode> {
        if (id.bytes()[15] % 2 != 0) return std::nullopt;
        const FilterNode::Row row("packetId.equalTo", qor::Comparison::equalTo, qor::FilterValue::Int{1}, false, id);
        return FilterNode(FilterNode::Group(qor::LogicalOperator::or_, {row}, "fuzz", id));
    };
    const FilterNode tree = FilterNode::fromDisplayTokens(tokens, catalog, resolve);
    const auto* group = tree.getIf<FilterNode::Group>();
    if (!group) __builtin_trap();
    (void)tree.validate();
    (void)tree.toDisplayTokens(catalog);

    // Opaque tokens of an `and` or `or` group read back into as many children, nested groups
    // whole through the resolver, rows on the same attributes.
    std::map<qor::UUID, FilterNode> nested;
    for (const FilterNode& child : group->children)
        if (child.getIf<FilterNode::Group>()) nested.emplace(child.id(), child);
    const FilterNode again = FilterNode::fromDisplayTokens(
        tree.toOpaqueDisplayTokens(catalog), catalog, [&](const qor::UUID& id) -> std::optional<FilterNode> {
            const auto found = nested.find(id);
            if (found == nested.end()) return std::nullopt;
            return found->second;
        });
    if (group->op == qor::LogicalOperator::not_) return 0;
    const auto& back = std::get<FilterNode::Group>(again.value());
    if (back.children.size() != group->children.size()) __builtin_trap();
    for (std::size_t i = 0; i < back.children.size(); ++i) {
        const auto* row = group->children[i].getIf<FilterNode::Row>();
        const auto* rowBack = back.children[i].getIf<FilterNode::Row>();
        if (row ? !rowBack || rowBack->attributeID != row->attributeID : back.children[i] != group->children[i])
            __builtin_trap();
    }
    return 0;
}
