#pragma once
// The attributes the display-filter editor knows: the built-in packet attributes and those the
// loaded plug-ins describe.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QORModels/filters/FilterAttribute.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

class QORPlugInsControlling;

/// The attributes a filter row may name, in presentation order, with their index by id.
///
/// Built once per need (typically when the plug-ins are active), then only read: an immutable
/// value, safe to share between threads.
class FilterAttributeCatalog {
public:
    /// A plug-in column's predicate options: its display name, predicate format and value type
    /// under their binding-option keys.
    using RawTemplate = std::map<std::string, Value>;

    /// Keeps, for each id, the last attribute of `attributes` that has it, at that attribute's
    /// position; the survivors keep their relative order.
    explicit FilterAttributeCatalog(std::vector<FilterAttribute> attributes);

    [[nodiscard]] const std::vector<FilterAttribute>& attributes() const { return attributes_; }
    [[nodiscard]] const std::unordered_map<std::string, FilterAttribute>& byID() const { return byID_; }
    /// The attribute with id `id`, or null.
    [[nodiscard]] const FilterAttribute* operator[](std::string_view id) const;

    /// The attribute a row means: the one with id `attributeID`, else the one with id
    /// "`attributeID`.`rawValue(comparison)`" (a row may name a built-in attribute by its bare
    /// key path), else nothing.
    [[nodiscard]] const FilterAttribute* resolve(std::string_view attributeID, Comparison comparison) const;

    /// The 62 built-in attributes: one per key path of the packet record and per comparison it
    /// offers, titled with the comparison's fragment ("Packet ID equals").
    static FilterAttributeCatalog builtin();
    /// The built-in attributes followed by one attribute per usable template of plug-in
    /// `pluginID` (a template without a display name or a predicate format is skipped).
    static FilterAttributeCatalog withPlugins(const std::vector<RawTemplate>& rawTemplates, const std::string& pluginID);
    /// The built-in attributes followed by the attributes of every column with predicate options
    /// of every loaded plug-in. Runs on the main thread.
    static FilterAttributeCatalog build(QORPlugInsControlling& plugIns);
    /// `build`, followed by key-path attributes for every analyzer attribute key of the loaded
    /// plug-ins (`srcPort.equalTo`, `ip4TTL.lessThan`, ...: the first plug-in declaring a key
    /// gives its title and kind; a key the built-in attributes already test keeps those). A tree converted from a predicate text names the keys it
    /// compares this way (`srcPort == 443` becomes a row on `srcPort.equalTo`), and resolves
    /// against this catalog. Runs on the main thread.
    static FilterAttributeCatalog buildWithAttributeKeys(QORPlugInsControlling& plugIns);

    /// The attributes of one key path, one per comparison its kind offers (texts: contains,
    /// begins with, ends with, equal, not equal; protocol names: equal, not equal; numbers and
    /// dates: equal, not equal and the orderings), with the ids "`keyPath`.`comparison`" and the
    /// titles "`title` `fragment`" the built-in attributes have.
    static std::vector<FilterAttribute> keyPathAttributes(std::string_view keyPath, const std::string& title,
                                                          FilterAttribute::Kind kind, const FilterAttribute::Source& source);

private:
    std::vector<FilterAttribute> attributes_;
    std::unordered_map<std::string, FilterAttribute> byID_;
};

}  // namespace qor
