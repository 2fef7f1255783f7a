#pragma once
// Plug-in bundles: a folder with a manifest and a shared library.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "QORPlatform/RuntimeClass.hpp"

namespace qor {

/// A loadable bundle: a folder (extension "qorplugin" or "plugin") holding `Info.plist`, a
/// property list (XML or binary) whose `NSPrincipalClass` names the principal class and whose
/// `CFBundleExecutable` names the shared library, a path relative to the bundle folder.
///
/// `bundleWithPath` reads the manifest; `load()` opens the library with dlopen, whose static
/// initialisers register its classes in `ClassRegistry`; `principalClass()` loads when needed
/// and looks the manifest's class name up there. A bundle object is created and used on the main
/// thread.
class NSBundle {
public:
    /// Nothing when the folder does not exist or has no readable manifest naming a library.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::filesystem::path& path);

    [[nodiscard]] const std::filesystem::path& bundlePath() const { return path_; }
    [[nodiscard]] const std::string& principalClassName() const { return principalClassName_; }
    [[nodiscard]] std::filesystem::path executablePath() const { return path_ / executable_; }
    [[nodiscard]] std::optional<std::string> bundleIdentifier() const { return identifier_; }
    /// Opens the shared library; false (with `loadError()` set) when dlopen fails.
    bool load();
    [[nodiscard]] bool isLoaded() const { return handle_ != nullptr; }
    [[nodiscard]] const std::string& loadError() const { return loadError_; }
    /// The principal class, after loading; nothing when the library registered no such class.
    [[nodiscard]] std::shared_ptr<const RuntimeClass> principalClass();

    /// A component of this bundle: a bundle object of its own (its path is this bundle's path
    /// plus `name`) that shares this bundle's library and principal class. A library that holds
    /// several analyzer classes registers each under its own component, so that each keeps its
    /// own entry in the plug-in controller.
    [[nodiscard]] std::shared_ptr<NSBundle> component(const std::string& name) const;

    /// The folder of built-in plug-ins: `$QOR_BUILTIN_PLUGINS_DIR` when set, else "qor/PlugIns"
    /// in the folder of the shared library that holds this code.
    static std::filesystem::path builtInPlugInsPath();

private:
    std::filesystem::path path_;
    std::string principalClassName_;
    std::string executable_;
    std::optional<std::string> identifier_;
    void* handle_ = nullptr;
    std::string loadError_;
};

}  // namespace qor
