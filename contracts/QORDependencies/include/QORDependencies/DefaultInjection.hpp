#pragma once
// Providers the application installs: the plug-in controller, the capture daemon client and
// the appearance.

#include <future>
#include <memory>
#include <optional>
#include <string>

#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORPlatform/AppKit.hpp"

namespace qor {

/// The capture daemon's client. Each call may fail by throwing.
class CaptureXPCClientServiceProtocol {
public:
    virtual ~CaptureXPCClientServiceProtocol() = default;
    virtual std::future<std::string> getVersion() = 0;
    virtual void quitDaemon() = 0;
    virtual void connectToAuthSystem() = 0;
};

/// Fonts the sidebar uses.
class QORAppearanceProviding {
public:
    virtual ~QORAppearanceProviding() = default;
    [[nodiscard]] virtual std::optional<NSFont> dataSourcesHeadFont() const = 0;
    [[nodiscard]] virtual std::optional<NSFont> dataSourcesListFont() const = 0;
};

/// Process-wide providers, each optional. Set on the main thread at start-up; read anywhere.
struct DefaultInjection {
    static std::shared_ptr<QORPlugInsControlling> plugInControllingProvider();
    static void setPlugInControllingProvider(std::shared_ptr<QORPlugInsControlling> provider);
    static std::shared_ptr<CaptureXPCClientServiceProtocol> captureXPCServiceProvider();
    static void setCaptureXPCServiceProvider(std::shared_ptr<CaptureXPCClientServiceProtocol> provider);
};

/// The appearance provider in force.
struct QORAppearance {
    static std::shared_ptr<QORAppearanceProviding> current();
    static void setCurrent(std::shared_ptr<QORAppearanceProviding> provider);
};

}  // namespace qor
