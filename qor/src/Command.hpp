#pragma once
// How qor's subcommands plug into the tool.

#include <CLI/CLI.hpp>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qor::cli {

/// A failure a command reports: one line on standard error and an exit status.
struct CommandFailure : std::runtime_error {
    CommandFailure(int status, std::string message) : std::runtime_error(std::move(message)), exitStatus(status) {}
    int exitStatus;
};

/// The exit status a command asks for without failing (for example 1 for "invalid").
struct CommandExit {
    int exitStatus;
};

/// Adds a subcommand to the tool. Each command file defines one static registration:
///
///     static const CommandRegistration reg{[](CLI::App& app) { auto* sub = app.add_subcommand(...); }};
///
/// Registrations run in link order when `main` builds the parser.
struct CommandRegistration {
    using Setup = std::function<void(CLI::App&)>;
    explicit CommandRegistration(Setup setup);
    static std::vector<Setup>& all();
};

}  // namespace qor::cli
