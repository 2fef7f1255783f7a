#include "QORPlatform/InternedString.hpp"

#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace qor {
namespace {
struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
std::shared_mutex poolMutex;
std::unordered_set<std::string, Hash, std::equal_to<>>& pool() {
    static auto* p = new std::unordered_set<std::string, Hash, std::equal_to<>>();
    return *p;
}
}  // namespace

const std::string* InternedString::intern(std::string_view text) {
    {
        std::shared_lock lock(poolMutex);
        if (auto it = pool().find(text); it != pool().end()) return &*it;
    }
    std::unique_lock lock(poolMutex);
    return &*pool().emplace(text).first;
}

}  // namespace qor
