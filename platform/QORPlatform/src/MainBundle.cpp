#include "QORPlatform/MainBundle.hpp"

#include <system_error>

#ifndef QOR_BUILD_VERSION
#error "QOR_BUILD_VERSION must name the build's version"
#endif

namespace qor {

MainBundle& MainBundle::shared() {
    static MainBundle bundle;
    return bundle;
}

MainBundle::MainBundle() {
    info_.emplace("CFBundleShortVersionString", Value(QOR_BUILD_VERSION));
    const auto name = executablePath().filename().string();
    if (!name.empty()) {
        info_.emplace("CFBundleExecutable", Value(name));
        info_.emplace("CFBundleName", Value(name));
    }
}

std::filesystem::path MainBundle::executablePath() const {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : path;
}

std::filesystem::path MainBundle::executableDirectory() const { return executablePath().parent_path(); }

Value MainBundle::objectForInfoDictionaryKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = info_.find(key);
    return it == info_.end() ? Value{} : it->second;
}

void MainBundle::setObjectForInfoDictionaryKey(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    if (value.isNone()) info_.erase(key);
    else info_.insert_or_assign(key, std::move(value));
}

}  // namespace qor
