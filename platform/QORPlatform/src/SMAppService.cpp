#include "QORPlatform/SMAppService.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "QORPlatform/SystemdServiceBackend.hpp"

namespace qor {
namespace {

struct Registry {
    std::mutex mutex;
    std::shared_ptr<SMAppServiceBackend> backend;
    std::function<void(const std::string&)> hintHandler;
    std::vector<SMDaemonDefinition> daemons;
    std::string lastPlistName;
    std::atomic<std::size_t> loginItemsRequests{0};
};

Registry& registry() {
    static Registry r;
    return r;
}

void writeHintToStandardError(const std::string& hint) {
    std::fprintf(stderr, "%s\n", hint.c_str());
    std::fflush(stderr);
}

}  // namespace

SMAppServiceError::SMAppServiceError(NSError error)
    : std::runtime_error(error.localizedDescription()), error_(std::move(error)) {}

SMAppServiceError::SMAppServiceError(SMAppServiceErrorCode code, const std::string& localizedDescription)
    : SMAppServiceError(makeError(code, localizedDescription)) {}

NSError SMAppServiceError::makeError(SMAppServiceErrorCode code, const std::string& localizedDescription) {
    NSError error;
    error.domain = SMAppServiceErrorDomain;
    error.code = static_cast<std::int64_t>(code);
    error.userInfo.emplace(NSLocalizedDescriptionKey, Value(localizedDescription));
    return error;
}

SMAppService SMAppService::daemon(std::string plistName) {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        r.lastPlistName = plistName;
    }
    return SMAppService(std::move(plistName), backend());
}

SMAppServiceStatus SMAppService::status() const { return backend_->status(plistName_); }

void SMAppService::register_() const { backend_->registerService(plistName_); }

void SMAppService::unregister(const std::function<void(std::optional<NSError>)>& completion) const {
    auto error = backend_->unregisterService(plistName_);
    if (completion) completion(std::move(error));
}

void SMAppService::openSystemSettingsLoginItems() {
    auto& r = registry();
    r.loginItemsRequests.fetch_add(1, std::memory_order_relaxed);
    std::function<void(const std::string&)> handler;
    std::string plistName;
    {
        std::lock_guard lock(r.mutex);
        handler = r.hintHandler;
        plistName = r.lastPlistName;
    }
    const std::string hint = SMAppService::backend()->approvalHint(plistName);
    if (handler) handler(hint);
    else writeHintToStandardError(hint);
}

std::size_t SMAppService::loginItemsRequestCount() {
    return registry().loginItemsRequests.load(std::memory_order_relaxed);
}

void SMAppService::setLoginItemsHintHandler(std::function<void(const std::string&)> handler) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.hintHandler = std::move(handler);
}

std::shared_ptr<SMAppServiceBackend> SMAppService::backend() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.backend) r.backend = std::make_shared<SystemdServiceBackend>();
    return r.backend;
}

void SMAppService::setBackend(std::shared_ptr<SMAppServiceBackend> backend) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.backend = std::move(backend);
}

void SMAppService::declareDaemon(SMDaemonDefinition definition) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& d : r.daemons) {
        if (d.plistName == definition.plistName) {
            d = std::move(definition);
            return;
        }
    }
    r.daemons.push_back(std::move(definition));
}

std::optional<SMDaemonDefinition> SMAppService::declaredDaemon(std::string_view plistName) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& d : r.daemons) {
        if (d.plistName == plistName) return d;
    }
    return std::nullopt;
}

}  // namespace qor
