#pragma once
// A typed key-value store persisted as JSON.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "QORPlatform/Value.hpp"

namespace qor {

/// User preferences: bools, numbers, text and bytes by key.
///
/// `standard()` persists to "Tessarine/defaults.json" under the XDG config folder
/// (`$XDG_CONFIG_HOME` or `~/.config`); each change is written through atomically. An instance
/// built with an empty path keeps its values in memory only (tests use their own). Missing or
/// unreadable files start empty. Thread-safe.
class UserDefaults {
public:
    static UserDefaults& standard();
    explicit UserDefaults(std::filesystem::path file = {});

    [[nodiscard]] Value objectForKey(const std::string& key) const;
    [[nodiscard]] bool boolForKey(const std::string& key) const;
    [[nodiscard]] std::optional<Data> dataForKey(const std::string& key) const;
    [[nodiscard]] std::optional<std::string> stringForKey(const std::string& key) const;
    void set(const std::string& key, Value value);
    void removeObject(const std::string& key);
    [[nodiscard]] const std::filesystem::path& file() const { return file_; }

private:
    void load();
    void save() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

}  // namespace qor
