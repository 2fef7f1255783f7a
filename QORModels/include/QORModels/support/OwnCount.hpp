#pragma once
// A shared object's reference on a count of its own.

#include <memory>
#include <utility>

namespace qor {

/// `shared` again, as a reference counted on a count of its own, whose owner keeps `shared`
/// alive: the copies of the result count among themselves, not on the count that every other
/// holder of `shared` (on other cores, say) changes as well.
template <class T>
std::shared_ptr<T> withOwnCount(std::shared_ptr<T> shared) {
    auto holder = std::make_shared<const std::shared_ptr<T>>(std::move(shared));
    return std::shared_ptr<T>(holder, holder->get());
}

}  // namespace qor
