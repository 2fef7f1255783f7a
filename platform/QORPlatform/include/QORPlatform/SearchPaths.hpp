#pragma once
// Where per-user, local and system data and configuration live.

#include <filesystem>
#include <vector>

// Files kept in these folders are replaced whole; most callers of this header write them.
#include "QORPlatform/AtomicFileWriting.hpp"

namespace qor {

/// Application-support folders in search order: user (`$XDG_DATA_HOME` or `~/.local/share`),
/// local (`/usr/local/share`), system (`/usr/share`). `$QOR_SYSTEM_DATA_DIRS` (colon-separated)
/// replaces the last two, which lets tests and relocated installs point elsewhere.
std::vector<std::filesystem::path> applicationSupportDirectories();
/// The user's data folder alone.
std::filesystem::path userDataDirectory();
/// `$XDG_CONFIG_HOME` or `~/.config`.
std::filesystem::path userConfigDirectory();

}  // namespace qor
