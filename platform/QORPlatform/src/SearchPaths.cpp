#include "QORPlatform/SearchPaths.hpp"

#include <cstdlib>
#include <string>

namespace qor {
namespace {
std::filesystem::path home() {
    const char* h = std::getenv("HOME");
    return h && *h ? std::filesystem::path(h) : std::filesystem::temp_directory_path();
}
std::filesystem::path envOr(const char* name, std::filesystem::path fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::filesystem::path(v) : fallback;
}
}  // namespace

std::filesystem::path userDataDirectory() { return envOr("XDG_DATA_HOME", home() / ".local/share"); }
std::filesystem::path userConfigDirectory() { return envOr("XDG_CONFIG_HOME", home() / ".config"); }

std::vector<std::filesystem::path> applicationSupportDirectories() {
    std::vector<std::filesystem::path> dirs{userDataDirectory()};
    if (const char* v = std::getenv("QOR_SYSTEM_DATA_DIRS")) {
        std::string s(v);
        std::size_t start = 0;
        while (start <= s.size()) {
            auto end = s.find(':', start);
            if (end == std::string::npos) end = s.size();
            if (end > start) dirs.emplace_back(s.substr(start, end - start));
            start = end + 1;
        }
    } else {
        dirs.emplace_back("/usr/local/share");
        dirs.emplace_back("/usr/share");
    }
    return dirs;
}

}  // namespace qor
