// qor-captured: the capture daemon. Listens on a Unix socket and captures packets with libpcap
// for the users it serves (root, its own user, and those given with --allow-user).
//
//     qor-captured [--socket PATH] [--allow-user USER]... [--max-clients N] [--idle-timeout SECONDS]
//
// The socket path defaults to $QOR_CAPTURED_SOCKET, else /run/qor-captured.sock when running as
// root, else $XDG_RUNTIME_DIR/qor-captured.sock. Log lines go to standard error (the service
// manager's journal). SIGINT and SIGTERM stop the daemon cleanly, as does a client's quitDaemon.
// Exit status: 0 after a clean stop, 1 when the socket cannot be set up, 2 for bad arguments.

#include <pwd.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "CaptureDaemonServer.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/capture/CaptureDaemonEndpoint.hpp"

namespace {

/// The uid of a user name or number; throws CLI::ValidationError for an unknown user.
uid_t userId(const std::string& user) {
    if (const passwd* entry = ::getpwnam(user.c_str())) return entry->pw_uid;
    char* end = nullptr;
    const unsigned long number = std::strtoul(user.c_str(), &end, 10);
    if (!user.empty() && end && *end == '\0') return static_cast<uid_t>(number);
    throw CLI::ValidationError("--allow-user", "no user '" + user + "'");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qor-captured: the packet capture daemon"};
    std::string socketPath;
    std::vector<std::string> users;
    std::size_t maxClients = 16;
    double idleSeconds = 60;
    app.add_option("--socket", socketPath, "The Unix socket to listen on");
    app.add_option("--allow-user", users, "Also serve this user (name or uid); may be repeated");
    app.add_option("--max-clients", maxClients, "Clients served at once")->check(CLI::Range(1, 1024));
    app.add_option("--idle-timeout", idleSeconds, "Close a connection without requests after this many seconds")
        ->check(CLI::Range(0.1, 86400.0));
    app.set_version_flag("--version", qor::capture::projectVersion());
    qor::captured::CaptureDaemonOptions options;
    try {
        app.parse(argc, argv);
        for (const auto& user : users) options.extraAllowedUsers.push_back(userId(user));
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (socketPath.empty()) {
        auto path = qor::capture::daemonListenPath();
        if (!path) {
            std::fprintf(stderr, "qor-captured: no socket path: set QOR_CAPTURED_SOCKET or XDG_RUNTIME_DIR, or give --socket\n");
            return 2;
        }
        socketPath = path->string();
    }
    options.socketPath = socketPath;
    options.maxClients = maxClients;
    options.idleTimeout = std::chrono::milliseconds(static_cast<long long>(idleSeconds * 1000));

    // A daemon's log is its standard error, always, not only when QOR_LOG asks for it.
    qor::setLogSink([](const qor::LogLine& line) {
        const std::string text = line.formatted();
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    });

    // Signals are taken by one thread with sigwait; every other thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    qor::captured::CaptureDaemonServer server(options);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qor-captured: %s\n", e.what());
        return 1;
    }
    QOR_LOG("qor-captured/main", "Listening on " + socketPath + " (version " + qor::capture::projectVersion() + ")");
    std::thread([&server, signals] {
        int received = 0;
        if (sigwait(&signals, &received) == 0) server.requestQuit();
    }).detach();
    server.waitUntilQuit();
    server.stop();
    QOR_LOG("qor-captured/main", "Stopped");
    return 0;
}
