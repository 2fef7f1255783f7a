// A filter as the tokens of the editor's one-line token field, and the texts those tokens use.

#include <string>
#include <vector>

#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORModels/filters/FilterValueText.hpp"
#include "QORPlatform/ISO8601DateFormatter.hpp"

namespace qor {
namespace {

constexpr std::string_view kMarkerPrefix = "__opaque:";
constexpr std::string_view kMarkerSuffix = "__";

std::string conditionsLabel(const FilterNode::Group& group) {
    return "(" + std::to_string(group.children.size()) + " conditions)";
}

/// Appends the title and value text of `row` when the catalog knows its id exactly.
void appendRow(std::vector<std::string>& tokens, const FilterNode::Row& row, const FilterAttributeCatalog& catalog) {
    const auto found = catalog.byID().find(row.attributeID);
    if (found == catalog.byID().end()) return;
    tokens.push_back(found->second.title);
    tokens.push_back(FilterNode::displayText(row.value));
}

/// The tokens of `node`; with `opaque`, each nested group is its marker and its label.
std::vector<std::string> tokensOf(const FilterNode& node, const FilterAttributeCatalog& catalog, bool opaque) {
    std::vector<std::string> tokens;
    if (const auto* row = node.getIf<FilterNode::Row>()) {
        appendRow(tokens, *row, catalog);
        return tokens;
    }
    const auto& group = std::get<FilterNode::Group>(node.value());
    if (group.children.empty()) return tokens;
    if (group.op == LogicalOperator::not_) return {"(NOT)"};
    const std::string separator(displayName(group.op));
    bool first = true;
    for (const FilterNode& child : group.children) {
        if (!first) tokens.push_back(separator);
        first = false;
        if (const auto* row = child.getIf<FilterNode::Row>()) {
            appendRow(tokens, *row, catalog);
            continue;
        }
        const auto& nested = std::get<FilterNode::Group>(child.value());
        if (!opaque) {
            tokens.push_back(conditionsLabel(nested));
            continue;
        }
        tokens.push_back(FilterNode::opaqueMarker(nested.id()));
        tokens.push_back(nested.savedQueryName ? FilterNode::savedQueryLabel(*nested.savedQueryName) : conditionsLabel(nested));
    }
    return tokens;
}

}  // namespace

std::vector<std::string> FilterNode::toDisplayTokens(const FilterAttributeCatalog& catalog) const {
    return tokensOf(*this, catalog, false);
}

std::vector<std::string> FilterNode::toOpaqueDisplayTokens(const FilterAttributeCatalog& catalog) const {
    return tokensOf(*this, catalog, true);
}

std::string FilterNode::opaqueMarker(const UUID& uuid) {
    return std::string(kMarkerPrefix) + uuid.uuidString() + std::string(kMarkerSuffix);
}

std::optional<UUID> FilterNode::opaqueMarkerUUID(std::string_view text) {
    if (text.size() <= kMarkerPrefix.size() + kMarkerSuffix.size() || !text.starts_with(kMarkerPrefix) ||
        !text.ends_with(kMarkerSuffix))
        return std::nullopt;
    return UUID::fromString(text.substr(kMarkerPrefix.size(), text.size() - kMarkerPrefix.size() - kMarkerSuffix.size()));
}

std::string FilterNode::savedQueryLabel(std::string_view name) {
    return "Saved: " + std::string(name) + " \u25BE";
}

std::string FilterNode::displayText(const FilterValue& value) {
    if (const auto* s = value.getIf<FilterValue::String>()) return s->value;
    if (const auto* p = value.getIf<FilterValue::ProtocolName>()) return p->value;
    if (const auto* i = value.getIf<FilterValue::Int>()) return std::to_string(i->value);
    if (const auto* d = value.getIf<FilterValue::Double>()) return shortestDecimalText(d->value);
    return iso8601Formatter().string(std::get<FilterValue::Date>(value.value()).value);
}

const ISO8601DateFormatter& FilterNode::iso8601Formatter() {
    static const ISO8601DateFormatter formatter;
    return formatter;
}

}  // namespace qor
