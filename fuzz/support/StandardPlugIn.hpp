#pragma once
// Loading the standard analyzer plug-in into a fuzz target the way the application does.

#include <cstdio>
#include <cstdlib>

#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORPlatform/Alert.hpp"

namespace qor::fuzz {

/// Loads every plug-in of the built-in plug-in folder (`$QOR_BUILTIN_PLUGINS_DIR`, or the build
/// tree's plug-in folder when unset) through the shared plug-in controller and publishes the
/// lookup table (`QORPlugInsController::activateAndPublish()`), once per process. A bundle that
/// cannot be loaded is answered without waiting for anyone; a target that needs the standard
/// plug-in and finds nothing stops, since fuzzing it without would test nothing.
inline const QORPlugInsController& activateStandardPlugIn() {
    static const std::shared_ptr<QORPlugInsController> controller = [] {
        if (const char* dir = std::getenv("QOR_BUILTIN_PLUGINS_DIR"); !dir || !*dir)
            setenv("QOR_BUILTIN_PLUGINS_DIR", QOR_BUILD_PLUGINS_DIR, 1);
        NSAlert::setPresenter([](const NSAlert&) { return NSAlert::kAlertFirstButtonReturn; });
        auto shared = QORPlugInsController::sharedManager();
        shared->activateAndPublish();
        if (shared->plugIns().empty()) {
            std::fprintf(stderr, "no analyzer plug-in found in %s\n", std::getenv("QOR_BUILTIN_PLUGINS_DIR"));
            std::abort();
        }
        return shared;
    }();
    return *controller;
}

}  // namespace qor::fuzz
