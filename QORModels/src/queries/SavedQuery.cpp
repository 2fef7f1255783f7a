// Saved queries as values.

#include "QORModels/queries/SavedQuery.hpp"

#include <chrono>

namespace qor {

Date currentDate() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return Date{std::chrono::duration<double>(now).count()};
}

SavedQuery::SavedQuery(std::string name_, FilterNode root_, Date createdAt, std::optional<Date> modifiedAt_, UUID id)
    : name(std::move(name_)), root(std::move(root_)), modifiedAt(modifiedAt_.value_or(createdAt)), id_(id), createdAt_(createdAt) {}

std::size_t SavedQuery::hashValue() const {
    std::size_t h = 0;
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    for (std::uint8_t b : id_.bytes()) mix(b);
    mix(std::hash<std::string>{}(name));
    mix(root.hashValue());
    mix(std::hash<double>{}(createdAt_.secondsSince1970));
    mix(std::hash<double>{}(modifiedAt.secondsSince1970));
    return h;
}

}  // namespace qor
