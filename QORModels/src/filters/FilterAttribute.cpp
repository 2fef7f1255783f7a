#include "QORModels/filters/FilterAttribute.hpp"

#include <array>

namespace qor {
namespace {

constexpr std::array<std::string_view, 5> kKindNames{"string", "int", "double", "date", "protocolName"};

std::size_t combine(std::size_t seed, std::size_t value) { return seed ^ (value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2)); }

}  // namespace

std::string_view rawValue(FilterAttribute::Kind kind) { return kKindNames[static_cast<std::size_t>(kind)]; }

std::optional<FilterAttribute::Kind> filterAttributeKindFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kKindNames.size(); ++i) {
        if (kKindNames[i] == raw) return static_cast<FilterAttribute::Kind>(i);
    }
    return std::nullopt;
}

std::size_t FilterAttribute::hashValue() const {
    const std::hash<std::string> text;
    std::size_t h = text(id);
    h = combine(h, text(title));
    h = combine(h, static_cast<std::size_t>(kind));
    for (Comparison c : allowedComparisons) h = combine(h, static_cast<std::size_t>(c));
    h = combine(h, source.pluginID ? text(*source.pluginID) : 1);
    h = combine(h, predicateFormat ? text(*predicateFormat) : 2);
    h = combine(h, keyPath ? text(*keyPath) : 3);
    return h;
}

}  // namespace qor
