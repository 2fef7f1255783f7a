#pragma once
// A typed key-value store persisted as JSON.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/Value.hpp"

namespace qor {

/// User preferences: bools, numbers, text, bytes, dates and lists of them by key.
///
/// `standard()` persists to "Tessarine/defaults.json" under the XDG config folder
/// (`$XDG_CONFIG_HOME` or `~/.config`, read once, at the first use). The file is one JSON object
/// of the keys; bytes are written as {"$data": base64} and dates as {"$date": seconds since
/// 1970}. Each change is written through at once, atomically and flushed to the disk, so a
/// crash leaves the old file or the new one; a write that fails leaves the value in memory.
/// An instance built with an empty path keeps its values in memory only (tests use their own).
/// Missing or unreadable files start empty.
///
/// Key-value observing: a key is a property of the defaults (`valueForKey` is `objectForKey`),
/// so `addObserver(key, ...)` is told after each `set`/`removeObject` that changes the key's
/// value, on the thread that made the change; setting a key to the value it already has
/// announces nothing. Keys containing "." cannot be observed (the observer would see a key
/// path). Thread-safe; observers are called without the store's lock held, so they may read
/// and write the defaults.
class UserDefaults : public NSObject {
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

    [[nodiscard]] Value valueForKey(std::string_view key) const override { return objectForKey(std::string(key)); }
    [[nodiscard]] std::string_view className() const override { return "NSUserDefaults"; }

private:
    void load();
    void save() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

}  // namespace qor
