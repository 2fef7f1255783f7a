// An edited token list read back into a filter group.

#include <charconv>
#include <chrono>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "QORLog/QORLog.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORModels/filters/FilterNode.hpp"
#include "QORPlatform/ISO8601DateFormatter.hpp"

namespace qor {
namespace {

constexpr std::string_view kLogTag = "QORModels/FilterDisplayTokenParsing";

/// A number that fills the whole text, with an optional leading "+" or "-"; nothing otherwise
/// (an empty text, blanks, trailing characters, a value out of range).
template <class Number>
std::optional<Number> wholeNumber(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) return std::nullopt;
    }
    Number number{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return number;
}

Date now() {
    using namespace std::chrono;
    return Date{duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count()};
}

FilterValue valueOf(FilterAttribute::Kind kind, const std::string& text) {
    switch (kind) {
        case FilterAttribute::Kind::string: return FilterValue::String{text};
        case FilterAttribute::Kind::protocolName: return FilterValue::ProtocolName{text};
        case FilterAttribute::Kind::int_: return FilterValue::Int{wholeNumber<std::int64_t>(text).value_or(0)};
        case FilterAttribute::Kind::double_: return FilterValue::Double{wholeNumber<double>(text).value_or(0)};
        case FilterAttribute::Kind::date: break;
    }
    return FilterValue::Date{FilterNode::iso8601Formatter().date(text).value_or(now())};
}

std::optional<LogicalOperator> operatorWord(std::string_view token) {
    if (token.size() > 3) return std::nullopt;
    std::string lower(token);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return logicalOperatorFromRaw(lower);
}

}  // namespace

FilterNode FilterNode::fromDisplayTokens(const std::vector<std::string>& tokens, const FilterAttributeCatalog& catalog,
                                         const OpaqueResolver& resolveOpaque) {
    Group result(LogicalOperator::and_);
    // The first attribute of each title, in catalog order: titles need not be unique.
    std::unordered_map<std::string_view, const FilterAttribute*> byTitle;
    if (!tokens.empty())
        for (const FilterAttribute& attribute : catalog.attributes()) byTitle.try_emplace(attribute.title, &attribute);

    std::size_t index = 0;
    while (index < tokens.size()) {
        const std::string& token = tokens[index];
        if (token.empty()) {
            index += 1;
            continue;
        }
        if (const auto uuid = opaqueMarkerUUID(token)) {
            std::optional<FilterNode> node = resolveOpaque ? resolveOpaque(*uuid) : std::nullopt;
            result.children.push_back(node ? std::move(*node) : FilterNode(Group(LogicalOperator::and_)));
            index += 2;  // the marker and its label
            continue;
        }
        if (token.starts_with('(') && token.ends_with(')')) {
            result.children.emplace_back(Group(LogicalOperator::and_));
            index += 1;
            continue;
        }
        if (token == "&&" || token == "||" || token == "!") {
            index += 1;
            continue;
        }
        if (const auto op = operatorWord(token)) {
            result.op = *op;
            index += 1;
            continue;
        }
        if (index + 1 == tokens.size()) {
            qorLog("fromDisplayTokens: discarding lone trailing token '" + token + "' at index " + std::to_string(index),
                   kLogTag, "fromDisplayTokens(_:catalog:resolveOpaque:)", __LINE__);
            break;
        }
        const auto found = byTitle.find(token);
        if (found != byTitle.end()) {
            const FilterAttribute& attribute = *found->second;
            const Comparison comparison =
                attribute.allowedComparisons.empty() ? Comparison::equalTo : attribute.allowedComparisons.front();
            result.children.emplace_back(Row(attribute.id, comparison, valueOf(attribute.kind, tokens[index + 1]), true));
        }
        index += 2;
    }
    return result;
}

}  // namespace qor
