#include "QORModels/filters/FilterIssue.hpp"

namespace qor {
namespace {

std::size_t combine(std::size_t seed, std::size_t value) { return seed ^ (value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2)); }

std::size_t hashOf(const UUID& uuid) {
    std::size_t h = 0;
    for (std::uint8_t byte : uuid.bytes()) h = h * 131 + byte;
    return h;
}

}  // namespace

std::size_t FilterIssue::Kind::hashValue() const {
    std::size_t h = storage_.index();
    if (const auto* unknown = getIf<UnknownAttribute>()) h = combine(h, std::hash<std::string>{}(unknown->attributeID));
    return h;
}

std::size_t FilterIssue::hashValue() const {
    return combine(combine(hashOf(id_), hashOf(nodeID)), kind.hashValue());
}

}  // namespace qor
