// Modal alerts: recorded for observers and shown by the presenter in force.

#include "QORPlatform/Alert.hpp"

#include <cstdio>
#include <mutex>

namespace qor {
namespace {

struct AlertState {
    std::mutex mutex;
    std::vector<NSAlert> shown;
    NSAlert::Presenter presenter;
};

AlertState& state() {
    static AlertState s;
    return s;
}

int presentOnStandardError(const NSAlert& alert) {
    std::fprintf(stderr, "warning: %s (%s)\n", alert.messageText.c_str(), alert.informativeText.c_str());
    return NSAlert::kAlertFirstButtonReturn;
}

}  // namespace

int NSAlert::runModal() const {
    Presenter presenter;
    {
        std::lock_guard lock(state().mutex);
        state().shown.push_back(*this);
        presenter = state().presenter;
    }
    return presenter ? presenter(*this) : presentOnStandardError(*this);
}

void NSAlert::setPresenter(Presenter presenter) {
    std::lock_guard lock(state().mutex);
    state().presenter = std::move(presenter);
}

std::vector<NSAlert> NSAlert::shownAlerts() {
    std::lock_guard lock(state().mutex);
    return state().shown;
}

void NSAlert::clearShownAlerts() {
    std::lock_guard lock(state().mutex);
    state().shown.clear();
}

}  // namespace qor
