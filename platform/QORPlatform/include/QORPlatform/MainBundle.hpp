#pragma once
// The running application's own bundle: where its executable lies and its information dictionary.

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "QORPlatform/Value.hpp"

namespace qor {

/// The bundle of the running executable.
///
/// A Linux executable carries no information dictionary, so the dictionary starts with what the
/// build knows: "CFBundleShortVersionString" (this build's version, for example "0.1.0"),
/// "CFBundleExecutable" and "CFBundleName" (the executable's file name). The application may
/// declare more, or other values, at start-up with `setObjectForInfoDictionaryKey`.
/// Thread-safe.
class MainBundle {
public:
    static MainBundle& shared();

    /// The running executable (`/proc/self/exe`), or an empty path when it cannot be read.
    [[nodiscard]] std::filesystem::path executablePath() const;
    /// The folder holding the running executable, where its companion programs are installed.
    [[nodiscard]] std::filesystem::path executableDirectory() const;

    /// The information dictionary's value for `key`; none when absent.
    [[nodiscard]] Value objectForInfoDictionaryKey(std::string_view key) const;
    /// Sets a value; a none value removes the key.
    void setObjectForInfoDictionaryKey(const std::string& key, Value value);

private:
    MainBundle();
    mutable std::mutex mutex_;
    std::map<std::string, Value, std::less<>> info_;
};

}  // namespace qor
