#include "QORPlatform/Localized.hpp"

#include <memory>
#include <mutex>

namespace qor {
namespace {
using Table = std::map<std::string, std::string, std::less<>>;
std::mutex tableMutex;
std::shared_ptr<const Table> table = std::make_shared<Table>();
}  // namespace

std::string localized(std::string_view key, std::string_view comment) { return localizedString(key, key, comment); }

std::string localizedString(std::string_view key, std::string_view value, std::string_view) {
    std::shared_ptr<const Table> current;
    {
        std::lock_guard lock(tableMutex);
        current = table;
    }
    if (auto it = current->find(key); it != current->end()) return it->second;
    return std::string(value);
}

void setLocalizedStringTable(Table newTable) {
    auto next = std::make_shared<const Table>(std::move(newTable));
    std::lock_guard lock(tableMutex);
    table = std::move(next);
}

}  // namespace qor
