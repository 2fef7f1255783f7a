#pragma once
// The plug-in controller interface, the principal class and plug-in preferences.

#include <memory>

#include "QORDependencies/Records.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSBundle.hpp"
#include "QORPlatform/RuntimeClass.hpp"

namespace qor {

/// What a plug-in's principal class calls to register itself. Main thread only.
class QORPlugInsControlling {
public:
    virtual ~QORPlugInsControlling() = default;
    virtual void activatePlugIns() = 0;
    virtual bool registerPlugIn(const QORPlugInStructure& plugIn, const std::shared_ptr<NSBundle>& bundle) = 0;
    virtual bool registerNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) = 0;
    virtual bool unregisterNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) = 0;
    [[nodiscard]] virtual std::vector<QORPlugInStructure> plugInStructs() = 0;
    virtual void updatePluginStructs() = 0;
};

/// A plug-in's principal class: constructed once when its bundle loads, with the controller it
/// registers through. `construct` gives nothing when the plug-in refuses to start. The object
/// keeps itself alive (the controller holds no reference to it).
class QORPluginPrincipalClass : public RuntimeClass {
public:
    [[nodiscard]] virtual std::shared_ptr<NSObject> construct(QORPlugInsControlling& controller,
                                                              const std::shared_ptr<NSBundle>& bundle) const = 0;
};

/// A plug-in's preferences object.
class QORPluginPreferencesProtocol {
public:
    virtual ~QORPluginPreferencesProtocol() = default;
    [[nodiscard]] virtual NSColor protocolColor() const = 0;
};

}  // namespace qor
