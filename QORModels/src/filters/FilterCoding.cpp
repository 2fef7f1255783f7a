// Reading and writing the serialised form of display-filter trees.

#include "QORModels/filters/FilterCoding.hpp"

#include <array>

namespace qor {
namespace {

using json = nlohmann::json;

/// Reads one display-filter document, keeping the node depth.
class Decoder : public KeyedDecoder {
public:
    /// Reads a node; `depth` counts the nodes from the top, this one included.
    FilterNode node(const json& value, std::size_t depth) {
        if (depth > kFilterMaxNodeDepth) {
            fail(Kind::dataCorrupted, "Filter nodes are nested deeper than " + std::to_string(kFilterMaxNodeDepth) + " levels.");
        }
        static constexpr std::array<std::string_view, 2> kCases{"group", "row"};
        const auto [name, wrapper] = caseOf(value, kCases);
        Scope scope(*this, name);
        return keyed(wrapper, "_0", [&, name = name](const json& fields) -> FilterNode {
            if (!fields.is_object()) mismatch("a dictionary", fields);
            if (name == "group") {
                const UUID id = uuid(fields, "id");
                const auto op = keyed(fields, "op", [&](const json& v) { return enumeration(v, logicalOperatorFromRaw, "LogicalOperator"); });
                auto children = keyed(fields, "children", [&](const json& list) {
                    return items(list, [&](const json& item) { return node(item, depth + 1); });
                });
                return FilterNode::Group(op, std::move(children), optionalText(fields, "savedQueryName"), id);
            }
            const UUID id = uuid(fields, "id");
            std::string attributeID = text(fields, "attributeID");
            const auto comparison = keyed(fields, "comparison", [&](const json& v) { return enumeration(v, comparisonFromRaw, "Comparison"); });
            FilterValue filterValue = keyed(fields, "value", [&](const json& v) { return this->value(v); });
            const bool caseInsensitive = flag(fields, "caseInsensitive");
            return FilterNode::Row(std::move(attributeID), comparison, std::move(filterValue), caseInsensitive, id);
        });
    }

private:
    FilterValue value(const json& v) {
        static constexpr std::array<std::string_view, 5> kCases{"string", "int", "double", "date", "protocolName"};
        const auto [name, wrapper] = caseOf(v, kCases);
        Scope scope(*this, name);
        return keyed(wrapper, "_0", [&, name = name](const json& payload) -> FilterValue {
            if (name == "string") return FilterValue::String{string(payload)};
            if (name == "int") return FilterValue::Int{integer(payload)};
            if (name == "double") return FilterValue::Double{number(payload)};
            if (name == "date") return FilterValue::Date{Date{number(payload) + kSecondsFrom1970To2001}};
            return FilterValue::ProtocolName{string(payload)};
        });
    }

    template <class E>
    E enumeration(const json& v, std::optional<E> (*fromRaw)(std::string_view), const char* typeName) {
        const std::string raw = string(v);
        if (auto e = fromRaw(raw)) return *e;
        fail(Kind::dataCorrupted, std::string("Cannot initialize ") + typeName + " from invalid String value " + raw);
    }
};

json payload(json value) { return json{{"_0", std::move(value)}}; }

json valueJSON(const FilterValue& value) {
    json v = std::visit(
        [](const auto& c) -> json {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, FilterValue::Date>) return c.value.secondsSince1970 - kSecondsFrom1970To2001;
            else return c.value;
        },
        value.value());
    return taggedCase(value.caseName(), payload(std::move(v)));
}

}  // namespace

FilterNode filterNodeFromJSON(const json& document) { return Decoder{}.node(document, 1); }

json filterNodeJSON(const FilterNode& node) {
    if (const auto* g = node.getIf<FilterNode::Group>()) {
        json children = json::array();
        for (const FilterNode& child : g->children) children.push_back(filterNodeJSON(child));
        json fields = {{"id", g->id().uuidString()}, {"op", rawValue(g->op)}, {"children", std::move(children)}};
        if (g->savedQueryName) fields["savedQueryName"] = *g->savedQueryName;
        return taggedCase("group", payload(std::move(fields)));
    }
    const auto& r = *node.getIf<FilterNode::Row>();
    return taggedCase("row", payload({{"id", r.id().uuidString()},
                                      {"attributeID", r.attributeID},
                                      {"comparison", rawValue(r.comparison)},
                                      {"value", valueJSON(r.value)},
                                      {"caseInsensitive", r.caseInsensitive}}));
}

FilterNode decodeFilterNode(std::string_view jsonText) {
    return filterNodeFromJSON(parseKeyedDocument(jsonText, kFilterMaxDocumentDepth));
}

std::string encodeFilterNode(const FilterNode& node, int indent) {
    return filterNodeJSON(node).dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace qor
