#include "QORModels/statistics/CaptureDaemonServiceManagement.hpp"

#include <chrono>
#include <exception>
#include <future>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORKonstantsKeys/QORKonstantsKeys.hpp"
#include "QORLog/QORLog.hpp"
#include "QORPlatform/MainBundle.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/CaptureDaemonServiceManagement";
constexpr const char* kExecuteHelper = "executeHelper(action:)";
constexpr const char* kReconcile = "reconcileDaemonVersion()";

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

CaptureDaemonServiceManagement::CaptureDaemonServiceManagement() {
    SMAppService::declareDaemon(captureDaemonDefinition());
}

std::string CaptureDaemonServiceManagement::plistName() {
    return std::string(CaptureState::kCaptureDaemonMachServiceName) + ".plist";
}

SMDaemonDefinition CaptureDaemonServiceManagement::captureDaemonDefinition() {
    return SMDaemonDefinition{plistName(), "qor-captured", "QOR_CAPTURED_PATH", "Capture daemon for live packet capture"};
}

std::string CaptureDaemonServiceManagement::statusMessage(SMAppServiceStatus status) {
    switch (status) {
        case SMAppServiceStatus::notRegistered: return "Service hasn\u2019t been registered. You may register it now.";
        case SMAppServiceStatus::enabled: return "Service successfully registered and eligible to run.";
        case SMAppServiceStatus::requiresApproval:
            return "Service registered but requires user approval in Settings > Login Items.";
        case SMAppServiceStatus::notFound: return "Service is not installed.";
    }
    return "Unknown service status (" + std::to_string(rawValue(status)) + ").";
}

std::string CaptureDaemonServiceManagement::statusMessage(const NSError& error) {
    switch (error.code) {
        case 1: return "Authorization required in Settings > Login Items.";
        case 3: return "Invalid signature, ensure proper signing on the application and helper tool.";
        case 11: return "User denied permission. Enable in System Settings > Login Items.";
        case 12: return "Service is already registered and enabled.";
        default: return "Operation failed: " + error.localizedDescription();
    }
}

void CaptureDaemonServiceManagement::setDaemonStatusMessage(std::optional<std::string> message) {
    changeValueForKeys({"daemonStatusMessage"}, [&] { return daemonStatusMessage_ != message; },
                       [&] { daemonStatusMessage_ = std::move(message); });
}

void CaptureDaemonServiceManagement::setDaemonInstalled(bool installed) {
    changeValueForKeys({"isDaemonInstalled"}, [&] { return isDaemonInstalled_ != installed; },
                       [&] { isDaemonInstalled_ = installed; });
}

Value CaptureDaemonServiceManagement::valueForKey(std::string_view key) const {
    if (key == "isDaemonInstalled") return isDaemonInstalled_;
    if (key == "daemonStatusMessage") return Value(daemonStatusMessage_);
    return NSObject::valueForKey(key);
}

void CaptureDaemonServiceManagement::install(const SMAppService& service) {
    switch (service.status()) {
        case SMAppServiceStatus::enabled: setDaemonStatusMessage("Service is already enabled."); return;
        case SMAppServiceStatus::requiresApproval:
            setDaemonStatusMessage("Registered but requires enabling in System Settings > Login Items.");
            SMAppService::openSystemSettingsLoginItems();
            return;
        default: break;
    }
    try {
        service.register_();
        if (service.status() == SMAppServiceStatus::requiresApproval) SMAppService::openSystemSettingsLoginItems();
    } catch (const SMAppServiceError& error) {
        if (error.code() == 1) {
            setDaemonStatusMessage("Permission required. Enable in System Settings > Login Items.");
            SMAppService::openSystemSettingsLoginItems();
        } else {
            const std::string description = error.localizedDescription();
            setDaemonStatusMessage("Installation failed: " + description);
            qorLog("Failed to register helper: " + description, kLogTag, kExecuteHelper, __LINE__);
        }
    }
}

void CaptureDaemonServiceManagement::executeHelper(CaptureDaemonServiceAction action) {
    assertMainThread("CaptureDaemonServiceManagement::executeHelper");
    const SMAppService service = SMAppService::daemon(plistName());
    switch (action) {
        case CaptureDaemonServiceAction::idle: break;
        case CaptureDaemonServiceAction::install: install(service); break;
        case CaptureDaemonServiceAction::uninstall: {
            auto self = std::static_pointer_cast<CaptureDaemonServiceManagement>(shared_from_this());
            runOnMain([self, service] {
                service.unregister([self, service](std::optional<NSError> error) {
                    if (!error) return self->showStatus(service);
                    qorLog("Failed to unregister helper: " + error->localizedDescription(), kLogTag, kExecuteHelper, __LINE__);
                    self->setDaemonStatusMessage(statusMessage(*error));
                    self->setDaemonInstalled(service.status() == SMAppServiceStatus::enabled);
                });
            });
            break;
        }
    }
    showStatus(service);
}

void CaptureDaemonServiceManagement::showStatus(const SMAppService& service) {
    const auto status = service.status();
    setDaemonStatusMessage(statusMessage(status));
    setDaemonInstalled(status == SMAppServiceStatus::enabled);
}

void CaptureDaemonServiceManagement::reconcileDaemonVersion() {
    assertMainThread("CaptureDaemonServiceManagement::reconcileDaemonVersion");
    const auto ownVersion = MainBundle::shared().objectForInfoDictionaryKey("CFBundleShortVersionString").asString();
    if (!ownVersion) {
        qorLog("cant read our own bundle version", kLogTag, kReconcile, __LINE__);
        return;
    }
    const auto daemon = DefaultInjection::captureXPCServiceProvider();
    if (!daemon) return;

    std::string daemonVersion;
    try {
        auto reply = daemon->getVersion();
        // Other main-thread work goes on while the daemon answers.
        MainQueue::shared().runUntil(
            [&reply] { return reply.wait_for(std::chrono::seconds(0)) != std::future_status::timeout; });
        daemonVersion = reply.get();
    } catch (...) {
        qorLog("Cannot read the daemon's version: " + describe(std::current_exception()), kLogTag, kReconcile, __LINE__);
        return;
    }
    if (daemonVersion == *ownVersion) return;

    qorLog("Daemon version mismatch (running " + daemonVersion + ", expected " + *ownVersion + "); reinstalling", kLogTag,
           kReconcile, __LINE__);
    try {
        daemon->connectToAuthSystem();
        daemon->quitDaemon();
        executeHelper(CaptureDaemonServiceAction::install);
    } catch (...) {
        qorLog("Daemon reinstall failed: " + describe(std::current_exception()), kLogTag, kReconcile, __LINE__);
    }
}

}  // namespace qor
