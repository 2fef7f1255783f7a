#pragma once
// A display filter kept under a name.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "QORModels/filters/FilterNode.hpp"
#include "QORPlatform/UUID.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

/// The current time as a point in time.
Date currentDate();

/// A display filter kept under a name, identified by `id`. `name`, `root` and `modifiedAt` may
/// be changed; `id` and `createdAt` are fixed when the query is made.
///
/// A plain value: copied on assignment, compared and hashed by every field.
class SavedQuery {
public:
    /// A query made now (`createdAt` and `modifiedAt` the current time) unless times are given.
    SavedQuery(std::string name, FilterNode root, Date createdAt = currentDate(), std::optional<Date> modifiedAt = std::nullopt,
               UUID id = UUID());

    [[nodiscard]] const UUID& id() const { return id_; }
    [[nodiscard]] const Date& createdAt() const { return createdAt_; }

    std::string name;
    FilterNode root;
    Date modifiedAt;

    [[nodiscard]] std::size_t hashValue() const;
    friend bool operator==(const SavedQuery&, const SavedQuery&) = default;

private:
    UUID id_;
    Date createdAt_;
};

}  // namespace qor

template <>
struct std::hash<qor::SavedQuery> {
    std::size_t operator()(const qor::SavedQuery& q) const noexcept { return q.hashValue(); }
};
