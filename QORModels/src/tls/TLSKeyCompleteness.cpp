// The labels a session's key material still lacks.

#include "QORModels/tls/TLSKeyCompleteness.hpp"

#include <algorithm>

namespace qor {

std::vector<std::string> TLSKeyCompleteness::missingLabels(std::span<const std::string> labels) {
    auto holds = [&labels](std::string_view label) { return std::find(labels.begin(), labels.end(), label) != labels.end(); };
    std::vector<std::string> missing;
    if (holds(clientRandomLabel)) return missing;
    for (auto label : tls13RequiredLabels)
        if (!holds(label)) missing.emplace_back(label);
    return missing;
}

}  // namespace qor
