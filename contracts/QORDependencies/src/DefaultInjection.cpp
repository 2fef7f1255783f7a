#include "QORDependencies/DefaultInjection.hpp"

#include <mutex>

namespace qor {
namespace {
std::mutex providerMutex;
std::shared_ptr<QORPlugInsControlling> plugInProvider;
std::shared_ptr<CaptureXPCClientServiceProtocol> xpcProvider;
std::shared_ptr<QORAppearanceProviding> appearance;
}  // namespace

std::shared_ptr<QORPlugInsControlling> DefaultInjection::plugInControllingProvider() {
    std::lock_guard lock(providerMutex);
    return plugInProvider;
}
void DefaultInjection::setPlugInControllingProvider(std::shared_ptr<QORPlugInsControlling> provider) {
    std::lock_guard lock(providerMutex);
    plugInProvider = std::move(provider);
}
std::shared_ptr<CaptureXPCClientServiceProtocol> DefaultInjection::captureXPCServiceProvider() {
    std::lock_guard lock(providerMutex);
    return xpcProvider;
}
void DefaultInjection::setCaptureXPCServiceProvider(std::shared_ptr<CaptureXPCClientServiceProtocol> provider) {
    std::lock_guard lock(providerMutex);
    xpcProvider = std::move(provider);
}
std::shared_ptr<QORAppearanceProviding> QORAppearance::current() {
    std::lock_guard lock(providerMutex);
    return appearance;
}
void QORAppearance::setCurrent(std::shared_ptr<QORAppearanceProviding> provider) {
    std::lock_guard lock(providerMutex);
    appearance = std::move(provider);
}

}  // namespace qor
