#include "QORPlatform/SystemdServiceBackend.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "ChildProcess.hpp"
#include "QORPlatform/AtomicFileWriting.hpp"
#include "QORPlatform/MainBundle.hpp"
#include "QORPlatform/SearchPaths.hpp"

namespace qor {
namespace fs = std::filesystem;

struct SystemdServiceBackend::Outcome {
    std::optional<NSError> error;
    std::string standardOutput;
};

namespace {

using Code = SMAppServiceErrorCode;

bool mentionsAny(std::string_view text, std::initializer_list<std::string_view> phrases) {
    for (auto phrase : phrases) {
        if (text.find(phrase) != std::string_view::npos) return true;
    }
    return false;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

/// The code for a failed `systemctl` call, from what it printed and its exit status.
Code classifySystemctlFailure(std::string_view said, int exitStatus) {
    if (mentionsAny(said, {"Access denied", "Permission denied", "Operation not permitted",
                           "Interactive authentication required"}) ||
        exitStatus == 4) {
        return Code::operationNotPermitted;
    }
    if (mentionsAny(said, {"not been booted with systemd", "Failed to connect to bus", "Failed to connect to user scope bus",
                           "No medium found", "Transport endpoint is not connected", "Host is down"})) {
        return Code::serviceUnavailable;
    }
    if (mentionsAny(said, {"not found", "does not exist", "not loaded", "No such file or directory"})) {
        return Code::jobNotFound;
    }
    return Code::internalFailure;
}

/// The permission-flavoured errno values: the caller may not write there.
bool isPermissionErrno(int e) { return e == EACCES || e == EPERM || e == EROFS; }

/// `path` as one quoted word of a unit file: backslashes and quotes escaped, specifiers ("%")
/// and variable references ("$") doubled so that systemd takes them literally.
std::string quotedUnitWord(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '%': out += "%%"; break;
            case '$': out += "$$"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

bool hasControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

}  // namespace

SystemdServiceBackend::SystemdServiceBackend() : SystemdServiceBackend(Options{}) {}

SystemdServiceBackend::SystemdServiceBackend(Options options) : options_(std::move(options)), scope_(options_.scope) {
    if (scope_ == Scope::automatic) scope_ = ::geteuid() == 0 ? Scope::system : Scope::user;
}

fs::path SystemdServiceBackend::unitDirectory() const {
    if (options_.unitDirectory) return *options_.unitDirectory;
    if (scope_ == Scope::system) return "/etc/systemd/system";
    return userConfigDirectory() / "systemd" / "user";
}

std::string SystemdServiceBackend::unitName(const SMDaemonDefinition& daemon) { return daemon.programName + ".service"; }

fs::path SystemdServiceBackend::programPath(const SMDaemonDefinition& daemon) const {
    if (!daemon.programPathVariable.empty()) {
        const char* value = std::getenv(daemon.programPathVariable.c_str());
        if (value && *value) return fs::absolute(value);
    }
    const fs::path folder = options_.programDirectory ? *options_.programDirectory : MainBundle::shared().executableDirectory();
    return fs::absolute(folder / daemon.programName);
}

std::string SystemdServiceBackend::unitFileContents(const SMDaemonDefinition& daemon, const fs::path& program) const {
    std::string description;
    for (char c : daemon.description) description += c == '%' ? std::string("%%") : std::string(1, c);
    if (description.empty() || hasControlCharacter(description)) description = daemon.programName;
    std::string text;
    text += "# " + unitName(daemon) + " (" + daemon.plistName + ")\n";
    text += "# Written when the daemon is registered and removed when it is unregistered.\n";
    text += "[Unit]\n";
    text += "Description=" + description + "\n";
    text += "After=network.target\n\n";
    text += "[Service]\n";
    text += "Type=simple\n";
    text += "ExecStart=" + quotedUnitWord(program.string()) + "\n";
    text += "Restart=on-failure\n\n";
    text += "[Install]\n";
    text += std::string("WantedBy=") + (scope_ == Scope::system ? "multi-user.target" : "default.target") + "\n";
    return text;
}

std::optional<std::string> SystemdServiceBackend::unavailableReason() const {
    std::error_code ec;
    if (!fs::is_directory(options_.runtimeMarker, ec)) {
        return "systemd is not running on this system (" + options_.runtimeMarker.string() + " does not exist)";
    }
    return std::nullopt;
}

SystemdServiceBackend::Outcome SystemdServiceBackend::systemctl(std::vector<std::string> args) const {
    if (scope_ == Scope::user) args.insert(args.begin(), "--user");
    std::string shown = options_.systemctl;
    for (const auto& arg : args) shown += " " + arg;
    const auto run = runChildProcess(options_.systemctl, args, options_.timeout);
    Outcome outcome;
    outcome.standardOutput = run.standardOutput;
    if (!run.started) {
        outcome.error = SMAppServiceError::makeError(
            Code::serviceUnavailable, "Cannot run " + options_.systemctl + ": " + std::strerror(run.startError));
    } else if (run.timedOut) {
        outcome.error = SMAppServiceError::makeError(
            Code::serviceUnavailable,
            shown + " did not answer within " + std::to_string(options_.timeout.count()) + " ms");
    } else if (run.exitStatus != 0) {
        const std::string said = trimmed(run.standardError.empty() ? run.standardOutput : run.standardError);
        outcome.error = SMAppServiceError::makeError(
            classifySystemctlFailure(said, run.exitStatus),
            shown + " failed (exit status " + std::to_string(run.exitStatus) + ")" + (said.empty() ? "" : ": " + said));
    }
    return outcome;
}

SMAppServiceStatus SystemdServiceBackend::status(const std::string& plistName) {
    if (unavailableReason()) return SMAppServiceStatus::notFound;
    const auto daemon = SMAppService::declaredDaemon(plistName);
    if (!daemon || ::access(programPath(*daemon).c_str(), X_OK) != 0) return SMAppServiceStatus::notFound;
    return unitStatus(unitName(*daemon));
}

SMAppServiceStatus SystemdServiceBackend::unitStatus(const std::string& unit) const {
    std::error_code ec;
    if (!fs::exists(unitDirectory() / unit, ec)) return SMAppServiceStatus::notRegistered;

    // `is-enabled` prints the state and exits non-zero for every state but the enabled ones, so
    // the printed word decides; no word means the manager did not answer.
    const auto outcome = systemctl({"is-enabled", unit});
    const std::string state = trimmed(outcome.standardOutput.substr(0, outcome.standardOutput.find('\n')));
    static constexpr std::array<std::string_view, 6> enabledStates{"enabled", "enabled-runtime", "static",
                                                                     "generated", "transient", "alias"};
    for (auto s : enabledStates) {
        if (state == s) return SMAppServiceStatus::enabled;
    }
    if (state == "not-found") return SMAppServiceStatus::notRegistered;
    if (state.empty()) return SMAppServiceStatus::notFound;
    return SMAppServiceStatus::requiresApproval;
}

void SystemdServiceBackend::registerService(const std::string& plistName) {
    if (auto reason = unavailableReason()) throw SMAppServiceError(Code::serviceUnavailable, *reason);
    const auto declared = SMAppService::declaredDaemon(plistName);
    if (!declared) throw SMAppServiceError(Code::jobPlistNotFound, "No daemon is declared under " + plistName);
    const SMDaemonDefinition& daemon = *declared;
    const auto program = programPath(daemon);
    if (::access(program.c_str(), X_OK) != 0) {
        throw SMAppServiceError(Code::toolNotValid,
                                "The daemon program " + program.string() + " cannot be run: " + std::strerror(errno));
    }
    if (hasControlCharacter(program.string())) {
        throw SMAppServiceError(Code::invalidPlist,
                                "The daemon program's path holds control characters and cannot go into a unit file");
    }
    const auto unit = unitName(daemon);
    if (unitStatus(unit) == SMAppServiceStatus::enabled) {
        throw SMAppServiceError(Code::alreadyRegistered, unit + " is already registered and enabled");
    }

    const fs::path folder = unitDirectory();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        throw SMAppServiceError(isPermissionErrno(ec.value()) ? Code::operationNotPermitted : Code::internalFailure,
                                "Cannot create " + folder.string() + ": " + ec.message());
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        const int e = errno;
        throw SMAppServiceError(isPermissionErrno(e) ? Code::operationNotPermitted : Code::internalFailure,
                                "Cannot write unit files in " + folder.string() + ": " + std::strerror(e));
    }
    std::string writeError;
    const std::string text = unitFileContents(daemon, program);
    AtomicWriteOptions writeOptions;
    writeOptions.synchronize = true;
    const bool written = writeFileAtomically(
        folder / unit,
        [&text](const AtomicWriteSink& sink) {
            return sink(std::as_bytes(std::span<const char>(text.data(), text.size())));
        },
        writeOptions, &writeError);
    if (!written) throw SMAppServiceError(Code::internalFailure, "Cannot write the unit file: " + writeError);

    for (auto command : {std::vector<std::string>{"daemon-reload"}, std::vector<std::string>{"enable", "--now", unit}}) {
        if (auto outcome = systemctl(command); outcome.error) throw SMAppServiceError(*outcome.error);
    }
}

std::optional<NSError> SystemdServiceBackend::unregisterService(const std::string& plistName) {
    if (auto reason = unavailableReason()) return SMAppServiceError::makeError(Code::serviceUnavailable, *reason);
    const auto daemon = SMAppService::declaredDaemon(plistName);
    if (!daemon) return SMAppServiceError::makeError(Code::jobPlistNotFound, "No daemon is declared under " + plistName);
    const auto unit = unitName(*daemon);
    const fs::path file = unitDirectory() / unit;
    std::error_code ec;
    if (!fs::exists(file, ec)) return SMAppServiceError::makeError(Code::jobNotFound, unit + " is not registered");

    if (auto outcome = systemctl({"disable", "--now", unit}); outcome.error) return outcome.error;
    if (!fs::remove(file, ec) && ec) {
        return SMAppServiceError::makeError(isPermissionErrno(ec.value()) ? Code::operationNotPermitted : Code::internalFailure,
                                            "Cannot remove " + file.string() + ": " + ec.message());
    }
    return systemctl({"daemon-reload"}).error;
}

std::string SystemdServiceBackend::approvalHint(const std::string& plistName) const {
    const auto daemon = SMAppService::declaredDaemon(plistName);
    const std::string unit = daemon ? unitName(*daemon) : plistName;
    const std::string command = options_.systemctl + (scope_ == Scope::user ? " --user" : "") + " enable --now " + unit;
    return "To let the daemon run, enable " + unit + " with: " + (scope_ == Scope::system ? "sudo " : "") + command;
}

}  // namespace qor
