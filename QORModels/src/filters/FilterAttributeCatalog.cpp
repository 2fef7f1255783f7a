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

/// The comparisons offered for values of a kind: text comparisons for texts, equality for
/// protocol names, orderings for numbers and dates.
std::span<const Comparison> comparisonsFor(Kind kind) {
    switch (kind) {
        case Kind::string: return kTextComparisons;
        case Kind::protocolName: return kProtocolComparisons;
        case Kind::int_:
        case Kind::double_:
        case Kind::date: return kOrderedComparisons;
    }
    return kTextComparisons;
}

struct BuiltinRow {
    std::string_view keyPath, title;
    Kind kind;
};

/// The packet record's key paths a filter can test, in presentation order. The attribute ids
/// are made from these key paths and stored in saved queries: they never change.
constexpr std::array<BuiltinRow, 12> kBuiltinRows{{
    {"packetId", "Packet ID", Kind::int_},
    {"packetSourceString", "Source Address", Kind::string},
    {"packetDestinationString", "Destination Address", Kind::string},
    {"packetProtocol", "Protocol", Kind::protocolName},
    {"packetProtocolHistory", "Protocol History", Kind::string},
    {"packetDateReceived", "Date Received", Kind::date},
    {"packetTime", "Time", Kind::double_},
    {"packetLengthReal", "Real Length", Kind::int_},
    {"captureLength", "Captured Length", Kind::int_},
    {"packetRawStringHex", "Raw Hex", Kind::string},
    {"packetRawString", "Raw String", Kind::string},
    {"packetInfoOverview", "Info", Kind::string},
}};

std::vector<FilterAttribute> builtinAttributes() {
    std::vector<FilterAttribute> out;
    for (const BuiltinRow& row : kBuiltinRows) {
        auto made = FilterAttributeCatalog::keyPathAttributes(
            row.keyPath, localizedString(row.title, row.title, "Builtin filter-attribute display name"), row.kind,
            FilterAttribute::Source::builtin());
        out.insert(out.end(), std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
    }
    return out;
}

/// The kind of filter values an analyzer attribute of type `type` compares with.
Kind kindForAttributeType(AttributeValueType type) {
    switch (type) {
        case AttributeValueType::int64:
        case AttributeValueType::uint32:
        case AttributeValueType::uint16:
        case AttributeValueType::uint8:
        case AttributeValueType::bool_: return Kind::int_;
        case AttributeValueType::double_: return Kind::double_;
        case AttributeValueType::string:
        case AttributeValueType::data: return Kind::string;
    }
    return Kind::string;
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

std::vector<FilterAttribute> FilterAttributeCatalog::keyPathAttributes(std::string_view keyPath, const std::string& title,
                                                                       FilterAttribute::Kind kind, const FilterAttribute::Source& source) {
    std::vector<FilterAttribute> out;
    for (Comparison c : comparisonsFor(kind)) {
        FilterAttribute a;
        a.id = std::string(keyPath) + "." + std::string(rawValue(c));
        a.title = title + " " + displayFragment(c);
        a.kind = kind;
        a.allowedComparisons = {c};
        a.source = source;
        a.keyPath = std::string(keyPath);
        out.push_back(std::move(a));
    }
    return out;
}

FilterAttributeCatalog FilterAttributeCatalog::builtin() { return FilterAttributeCatalog(builtinAttributes()); }

FilterAttributeCatalog FilterAttributeCatalog::withPlugins(const std::vector<RawTemplate>& rawTemplates, const std::string& pluginID) {
    auto attributes = builtinAttributes();
    auto added = pluginAttributes(rawTemplates, pluginID);
    attributes.insert(attributes.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    return FilterAttributeCatalog(std::move(attributes));
}

FilterAttributeCatalog FilterAttributeCatalog::buildWithAttributeKeys(QORPlugInsControlling& plugIns) {
    std::vector<FilterAttribute> attributes = build(plugIns).attributes();
    // A key that already names attributes (the record's own key paths, which the built-in
    // plug-in also declares) keeps them.
    std::unordered_set<std::string> seen;
    for (const FilterAttribute& a : attributes) {
        if (a.keyPath) seen.insert(*a.keyPath);
    }
    for (const QORPlugInStructure& plugIn : plugIns.plugInStructs()) {
        const std::string identifier =
            plugIn.plugInTargetProtocols.empty() ? std::string("unknown") : plugIn.plugInTargetProtocols.front().protocolName;
        for (const QORPlugInAnalyzerAttribute& attribute : plugIn.plugInAnalyzerAttributes) {
            if (attribute.attributeKey.empty() || !seen.insert(attribute.attributeKey).second) continue;
            auto made = keyPathAttributes(attribute.attributeKey, attribute.attributeTitle, kindForAttributeType(attribute.attributeType),
                                          FilterAttribute::Source::plugin(identifier));
            attributes.insert(attributes.end(), std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
        }
    }
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
