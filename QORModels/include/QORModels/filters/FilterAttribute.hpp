#pragma once
// One packet attribute a display-filter row can test.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/filters/FilterEnumerations.hpp"

namespace qor {

/// An attribute of the filter editor: what a row tests, how it is shown and which comparisons
/// it offers. Built-in attributes read a packet key path (`keyPath`); plug-in attributes carry
/// the predicate format of a plug-in column (`predicateFormat`).
///
/// A plain value, compared and hashed over every field.
struct FilterAttribute {
    /// The type of the values compared. Raw values "string", "int", "double", "date" and
    /// "protocolName" (two cases carry a trailing underscore: the names are C++ keywords).
    enum class Kind { string, int_, double_, date, protocolName };

    /// Where the attribute comes from: a plug-in with its identifier, or the library itself.
    struct Source {
        /// The plug-in's identifier; nothing for a built-in attribute.
        std::optional<std::string> pluginID;
        static Source builtin() { return {}; }
        static Source plugin(std::string identifier) { return Source{std::move(identifier)}; }
        [[nodiscard]] bool isBuiltin() const { return !pluginID.has_value(); }
        friend bool operator==(const Source&, const Source&) = default;
    };

    std::string id;
    std::string title;
    Kind kind = Kind::string;
    std::vector<Comparison> allowedComparisons;
    Source source;
    std::optional<std::string> predicateFormat;
    std::optional<std::string> keyPath;

    [[nodiscard]] std::size_t hashValue() const;
    friend bool operator==(const FilterAttribute&, const FilterAttribute&) = default;
};

std::string_view rawValue(FilterAttribute::Kind kind);
std::optional<FilterAttribute::Kind> filterAttributeKindFromRaw(std::string_view raw);

}  // namespace qor

template <>
struct std::hash<qor::FilterAttribute> {
    std::size_t operator()(const qor::FilterAttribute& a) const noexcept { return a.hashValue(); }
};
