// qor daemon: registers, checks and removes the capture daemon that live capture needs.
//
//     qor daemon status       prints the daemon's status message
//     qor daemon install      registers and enables the daemon (unit qor-captured.service)
//     qor daemon uninstall    disables and removes it
//     qor daemon reconcile    reinstalls the daemon when its version differs from ours
//
// The daemon is a systemd unit: a system unit when run as root, a user unit otherwise; its program
// is qor-captured beside qor, or $QOR_CAPTURED_PATH. Each message the registration shows is
// printed as one line, in order; why systemd cannot be used here goes to standard error.
//
// Exit status: status 0; install 0 when the daemon is then enabled, else 1; uninstall 0 when it is
// then no longer enabled, else 1; install and uninstall 1 where systemd is not running; reconcile 1
// when the daemon cannot be reached.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.hpp"
#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/statistics/CaptureDaemonServiceManagement.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/SMAppService.hpp"

namespace {

using qor::CaptureDaemonServiceAction;
using qor::CaptureDaemonServiceManagement;

/// The registration model, with every message it shows printed as it is shown.
std::shared_ptr<CaptureDaemonServiceManagement> makeModel() {
    qor::MainQueue::shared().bindCurrentThread();
    auto model = std::make_shared<CaptureDaemonServiceManagement>();
    model->addObserver(
        "daemonStatusMessage",
        [](const qor::NSObject&, const qor::KeyValueChange& change) {
            if (auto text = change.newValue.asString()) {
                std::printf("%s\n", text->c_str());
                std::fflush(stdout);
            }
        },
        qor::kKeyValueObservingOptionNew);
    return model;
}

/// Notes on standard error why the service manager cannot be used here; true when it can.
bool noteUnavailableBackend() {
    auto reason = qor::SMAppService::backend()->unavailableReason();
    if (reason) std::fprintf(stderr, "note: %s\n", reason->c_str());
    return !reason;
}

bool daemonEnabled() {
    return qor::SMAppService::daemon(CaptureDaemonServiceManagement::plistName()).status() ==
           qor::SMAppServiceStatus::enabled;
}

void run(CaptureDaemonServiceAction action) {
    auto model = makeModel();
    const bool available = noteUnavailableBackend();
    model->executeHelper(action);
    qor::MainQueue::shared().drain();  // the queued unregistration
    if (action == CaptureDaemonServiceAction::idle) return;
    const bool enabled = daemonEnabled();
    if (!available || enabled != (action == CaptureDaemonServiceAction::install)) throw qor::cli::CommandExit{1};
}

/// Reinstalls the daemon when its version differs from qor's. A daemon that cannot be reached
/// (not running, or its socket refused) is reported as one error line, status 1, before the
/// registration model is asked: the model only logs such a failure and leaves the installation
/// as it is.
void reconcile() {
    auto client = qor::DefaultInjection::captureXPCServiceProvider();
    if (!client) throw qor::cli::CommandFailure{1, "no capture daemon client is set up; cannot ask the daemon for its version"};
    try {
        (void)client->getVersion().get();
    } catch (const std::exception& e) {
        throw qor::cli::CommandFailure{1, std::string("cannot reach the capture daemon: ") + e.what()};
    }
    auto model = makeModel();
    noteUnavailableBackend();
    model->reconcileDaemonVersion();
    qor::MainQueue::shared().drain();
}

const qor::cli::CommandRegistration reg{[](CLI::App& app) {
    auto* daemon = app.add_subcommand("daemon", "Register, check or remove the capture daemon (systemd unit qor-captured.service)");
    daemon->require_subcommand(1);
    daemon->add_subcommand("status", "Print the capture daemon's status")->callback([] {
        run(CaptureDaemonServiceAction::idle);
    });
    daemon->add_subcommand("install", "Register and enable the capture daemon; exits 1 unless it is then enabled")
        ->callback([] { run(CaptureDaemonServiceAction::install); });
    daemon->add_subcommand("uninstall", "Disable and remove the capture daemon; exits 1 if it stays enabled")
        ->callback([] { run(CaptureDaemonServiceAction::uninstall); });
    daemon->add_subcommand("reconcile", "Reinstall the capture daemon when its version differs from this build's")
        ->callback([] { reconcile(); });
}};

}  // namespace
