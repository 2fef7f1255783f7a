// qor: the packet-analysis library's command-line tool.

#include <cstdio>
#include <exception>

#include "Allocator.hpp"
#include "Command.hpp"
#include "QORDependencies/DefaultInjection.hpp"
#include "QORModels/capture/CaptureDaemonClient.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor::cli {

CommandRegistration::CommandRegistration(Setup setup) { all().push_back(std::move(setup)); }

std::vector<CommandRegistration::Setup>& CommandRegistration::all() {
    static std::vector<Setup> setups;
    return setups;
}

}  // namespace qor::cli

int main(int argc, char** argv) {
    qor::cli::preferSmallPages();
    qor::MainQueue::shared().bindCurrentThread();
    // The capture daemon's client, for whatever in the library talks to the daemon. It connects
    // only when called, so installing it costs nothing.
    qor::DefaultInjection::setCaptureXPCServiceProvider(
        std::make_shared<qor::capture::CaptureDaemonClient>(qor::capture::daemonClientPath()));
    CLI::App app{"qor: read, analyse and write packet captures"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every command");
    for (auto& setup : qor::cli::CommandRegistration::all()) setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const qor::cli::CommandFailure& e) {
        std::fprintf(stderr, "qor: %s\n", e.what());
        return e.exitStatus;
    } catch (const qor::cli::CommandExit& e) {
        return e.exitStatus;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qor: %s\n", e.what());
        return 1;
    }
    return 0;
}
