#include "QORPlatform/ScriptedServiceBackend.hpp"

#include <algorithm>

namespace qor {
namespace {

/// The error object a scripted platform error stands for; its code may be any number.
NSError errorObject(const ScriptedServiceBackend::PlatformError& scripted) {
    NSError error = SMAppServiceError::makeError(SMAppServiceErrorCode::internalFailure, scripted.description);
    error.code = scripted.code;
    return error;
}

}  // namespace

void ScriptedServiceBackend::setStatus(SMAppServiceStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void ScriptedServiceBackend::setRegisterOutcome(RegisterOutcome outcome) {
    std::lock_guard lock(mutex_);
    registerOutcome_ = std::move(outcome);
}

void ScriptedServiceBackend::setUnregisterOutcome(UnregisterOutcome outcome) {
    std::lock_guard lock(mutex_);
    unregisterOutcome_ = std::move(outcome);
}

void ScriptedServiceBackend::setUnavailableReason(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    unavailable_ = std::move(reason);
}

std::vector<std::string> ScriptedServiceBackend::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t ScriptedServiceBackend::count(const std::string& call) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
}

std::vector<std::string> ScriptedServiceBackend::plistNames() const {
    std::lock_guard lock(mutex_);
    return plistNames_;
}

void ScriptedServiceBackend::record(const char* call, const std::string& plistName) {
    calls_.emplace_back(call);
    plistNames_.push_back(plistName);
}

SMAppServiceStatus ScriptedServiceBackend::status(const std::string& plistName) {
    std::lock_guard lock(mutex_);
    record("status", plistName);
    return status_;
}

void ScriptedServiceBackend::registerService(const std::string& plistName) {
    const RegisterOutcome outcome = [&] {
        std::lock_guard lock(mutex_);
        record("register", plistName);
        if (auto* ok = std::get_if<Succeed>(&registerOutcome_)) status_ = ok->status;
        return registerOutcome_;
    }();
    if (auto* e = std::get_if<PlatformError>(&outcome)) throw SMAppServiceError(errorObject(*e));
    if (auto* other = std::get_if<OtherFailure>(&outcome)) throw std::runtime_error(other->what);
}

std::optional<NSError> ScriptedServiceBackend::unregisterService(const std::string& plistName) {
    std::lock_guard lock(mutex_);
    record("unregister", plistName);
    if (auto* ok = std::get_if<Succeed>(&unregisterOutcome_)) {
        status_ = ok->status;
        return std::nullopt;
    }
    return errorObject(std::get<PlatformError>(unregisterOutcome_));
}

std::string ScriptedServiceBackend::approvalHint(const std::string& plistName) const {
    return "Approve " + plistName + " to let it run.";
}

std::optional<std::string> ScriptedServiceBackend::unavailableReason() const {
    std::lock_guard lock(mutex_);
    return unavailable_;
}

}  // namespace qor
