#include "QORModels/filters/FilterAttributeCatalog.hpp"

#include <array>
#include <span>
#include <unordered_set>

#include "QORDependencies/Enumerations.hpp"
#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/Localized.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor {
namespace {

using Kind = FilterAttribute::Kind;

constexpr std::array kTextComparisons{Comparison::contains, Comparison::beginsWith, Comparison::endsWith, Comparison::equalTo,
                                      Comparison::notEqualTo};
constexpr std::array kOrderedComparisons{Comparison::equalTo,         Comparison::notEqualTo,  Comparison::lessThan,
                                         Comparison::lessThanOrEqual, Comparison::greaterThan, Comparison::greaterThanOrEqual};
constexpr std::array kProtocolComparisons{Comparison::equalTo, Comparison::notEqualTo};

struct BuiltinRow {
    std::string_view keyPath, title;
    Kind kind;
    std::span<const Comparison> comparisons;
};

/// The packet record's key paths a filter can test, in presentation order. The attribute ids
/// are made from these key paths and stored in saved queries: they never change.
const std::array<BuiltinRow, 12> kBuiltinRows{{
    {"packetId", "Packet ID", Kind::int_, kOrderedComparisons},
    {"packetSourceString", "Source Address", Kind::string, kTextComparisons},
    {"packetDestinationString", "Destination Address", Kind::string, kTextComparisons},
    {"packetProtocol", "Protocol", Kind::protocolName, kProtocolComparisons},
    {"packetProtocolHistory", "Protocol History", Kind::string, kTextComparisons},
    {"packetDateReceived", "Date Received", Kind::date, kOrderedComparisons},
    {"packetTime", "Time", Kind::double_, kOrderedComparisons},
    {"packetLengthReal", "Real Length", Kind::int_, kOrderedComparisons},
    {"captureLength", "Captured Length", Kind::int_, kOrderedComparisons},
    {"packetRawStringHex", "Raw Hex", Kind::string, kTextComparisons},
    {"packetRawString", "Raw String", Kind::string, kTextComparisons},
    {"packetInfoOverview", "Info", Kind::string, kTextComparisons},
}};

std::vector<FilterAttribute> builtinAttributes() {
    std::vector<FilterAttribute> out;
    for (const BuiltinRow& row : kBuiltinRows) {
        const std::string title = localizedString(row.title, row.title, "Builtin filter-attribute display name");
        for (Comparison c : row.comparisons) {
            FilterAttribute a;
            a.id = std::string(row.keyPath) + "." + std::string(rawValue(c));
            a.title = title + " " + displayFragment(c);
            a.kind = row.kind;
            a.allowedComparisons = {c};
            a.source = FilterAttribute::Source::builtin();
            a.keyPath = std::string(row.keyPath);
            out.push_back(std::move(a));
        }
    }
    return out;
}

/// The text under `key`, when there is text there.
std::optional<std::string> textAt(const FilterAttributeCatalog::RawTemplate& raw, std::string_view key) {
    const auto it = raw.find(std::string(key));
    if (it == raw.end() || !it->second.isString()) return std::nullopt;
    return *it->second.stringPtr();
}

/// The kind of values a plug-in column compares, from the name of its value type.
Kind kindForValueType(std::string_view name) {
    if (name == "NSNumber" || name == "NSInteger" || name == "Int" || name == "UInt") return Kind::int_;
    if (name == "Double" || name == "Float") return Kind::double_;
    if (name == "NSDate" || name == "Date") return Kind::date;
    return Kind::string;
}

/// The attributes of `rawTemplates`, in order, for plug-in `pluginID`.
std::vector<FilterAttribute> pluginAttributes(const std::vector<FilterAttributeCatalog::RawTemplate>& rawTemplates,
                                              const std::string& pluginID) {
    std::vector<FilterAttribute> out;
    for (const auto& raw : rawTemplates) {
        auto displayName = textAt(raw, NSDisplayNameBindingOption);
        if (!displayName) continue;
        auto format = textAt(raw, NSPredicateFormatBindingOption);
        if (!format) continue;
        const Kind kind = kindForValueType(textAt(raw, rawValue(QORProtocolKonstants::kQORValueType)).value_or("NSString"));
        FilterAttribute a;
        a.id = *displayName;
        a.title = std::move(*displayName);
        a.kind = kind;
        if (kind == Kind::string) a.allowedComparisons.assign(kTextComparisons.begin(), kTextComparisons.end());
        else a.allowedComparisons.assign(kOrderedComparisons.begin(), kOrderedComparisons.end());
        a.source = FilterAttribute::Source::plugin(pluginID);
        a.predicateFormat = std::move(*format);
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace

FilterAttributeCatalog::FilterAttributeCatalog(std::vector<FilterAttribute> attributes) {
    // The last attribute with an id wins, at its own position.
    std::unordered_set<std::string_view> seen;
    std::vector<bool> keep(attributes.size(), false);
    for (std::size_t i = attributes.size(); i-- > 0;) keep[i] = seen.insert(attributes[i].id).second;
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        if (!keep[i]) continue;
        byID_.emplace(attributes[i].id, attributes[i]);
        attributes_.push_back(std::move(attributes[i]));
    }
}

const FilterAttribute* FilterAttributeCatalog::operator[](std::string_view id) const {
    const auto it = byID_.find(std::string(id));
    return it == byID_.end() ? nullptr : &it->second;
}

const FilterAttribute* FilterAttributeCatalog::resolve(std::string_view attributeID, Comparison comparison) const {
    if (const auto* attribute = (*this)[attributeID]) return attribute;
    return (*this)[std::string(attributeID) + "." + std::string(rawValue(comparison))];
}

FilterAttributeCatalog FilterAttributeCatalog::builtin() { return FilterAttributeCatalog(builtinAttributes()); }

FilterAttributeCatalog FilterAttributeCatalog::withPlugins(const std::vector<RawTemplate>& rawTemplates, const std::string& pluginID) {
    auto attributes = builtinAttributes();
    auto added = pluginAttributes(rawTemplates, pluginID);
    attributes.insert(attributes.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    return FilterAttributeCatalog(std::move(attributes));
}

FilterAttributeCatalog FilterAttributeCatalog::build(QORPlugInsControlling& plugIns) {
    assertMainThread("FilterAttributeCatalog::build");
    auto attributes = builtinAttributes();
    for (const QORPlugInStructure& plugIn : plugIns.plugInStructs()) {
        const std::string identifier =
            plugIn.plugInTargetProtocols.empty() ? std::string("unknown") : plugIn.plugInTargetProtocols.front().protocolName;
        for (const QORPlugInColumn& column : plugIn.plugInColumnKeyBindings) {
            if (column.predicateOptions.empty()) continue;  // a column without predicate options offers no filter
            auto added = pluginAttributes({column.predicateOptions}, identifier);
            attributes.insert(attributes.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
        }
    }
    return FilterAttributeCatalog(std::move(attributes));
}

}  // namespace qor
