// Hashing key matches.

#include "QORModels/tls/TLSKeyMatch.hpp"

#include <functional>

namespace qor {

std::size_t TLSKeyMatchHash::operator()(const TLSKeyMatch& match) const noexcept {
    std::size_t seed = KeylogSourceHash{}(match.source) * 2 + (match.isCurrentTrace ? 1 : 0);
    for (const auto& label : match.labels) seed = seed * 31 + std::hash<std::string>{}(label);
    for (const auto& line : match.lines) seed = seed * 31 + std::hash<std::string>{}(line);
    return seed;
}

}  // namespace qor
