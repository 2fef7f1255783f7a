// Registering daemons as systemd units, against a temporary unit folder and a fake `systemctl`
// that the test writes and puts first on PATH. Nothing here reaches the real service manager.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QORPlatform/SMAppService.hpp"
#include "QORPlatform/SystemdServiceBackend.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {
namespace fs = std::filesystem;
using Code = SMAppServiceErrorCode;
using Status = SMAppServiceStatus;

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

void makeExecutable(const fs::path& path, const std::string& text) {
    writeText(path, text);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

/// Sets an environment variable for the scope, restoring its old value afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        ::setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

/// A fake `systemctl` in its own folder, put first on PATH. It appends each command line to
/// `calls`; `is-enabled` prints the word kept in `state` (written by enable and disable) and exits
/// 0 only for "enabled"; a file named after a subcommand under `fail/` makes that subcommand print
/// the file to standard error and exit 1 (or the status in `fail/<subcommand>.status`); a file
/// `hang` makes every call sleep far past any test's timeout.
class FakeSystemctl {
public:
    FakeSystemctl() {
        fs::create_directories(bin());
        fs::create_directories(dir.path / "fail");
        const std::string d = dir.path.string();
        makeExecutable(bin() / "systemctl", R"SH(#!/bin/sh
d=')SH" + d + R"SH('
echo "$*" >> "$d/calls"
[ -f "$d/hang" ] && exec sleep 60
[ "$1" = "--user" ] && shift
sub="$1"
if [ -f "$d/fail/$sub" ]; then
  cat "$d/fail/$sub" >&2
  if [ -f "$d/fail/$sub.status" ]; then exit "$(cat "$d/fail/$sub.status")"; fi
  exit 1
fi
case "$sub" in
  is-enabled) [ -f "$d/state" ] && cat "$d/state"; [ "$(cat "$d/state" 2>/dev/null)" = "enabled" ]; exit $? ;;
  enable) echo enabled > "$d/state" ;;
  disable) echo disabled > "$d/state" ;;
esac
exit 0
)SH");
    }
    fs::path bin() const { return dir.path / "bin"; }
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        std::ifstream in(dir.path / "calls");
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    void clearCalls() const { fs::remove(dir.path / "calls"); }
    void setState(const std::string& word) const { writeText(dir.path / "state", word + "\n"); }
    void failWith(const std::string& subcommand, const std::string& said, int status = 1) const {
        writeText(dir.path / "fail" / subcommand, said + "\n");
        writeText(dir.path / "fail" / (subcommand + ".status"), std::to_string(status));
    }
    void hang() const { writeText(dir.path / "hang", ""); }

    test::TempDir dir;
};

class SystemdServiceBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(runtime);
        fs::create_directories(programs);
        makeExecutable(programs / "fake-captured", "#!/bin/sh\nexit 0\n");
        SMAppService::declareDaemon(daemon);
    }

    SystemdServiceBackend::Options options() const {
        SystemdServiceBackend::Options o;
        o.unitDirectory = units;
        o.runtimeMarker = runtime;
        o.programDirectory = programs;
        o.timeout = std::chrono::seconds(20);
        return o;
    }
    SystemdServiceBackend backend(SystemdServiceBackend::Scope scope = SystemdServiceBackend::Scope::user) const {
        auto o = options();
        o.scope = scope;
        return SystemdServiceBackend(o);
    }

    /// The error `registerService` throws; fails the test when it throws none.
    static SMAppServiceError registerError(SystemdServiceBackend& b, const std::string& plist) {
        try {
            b.registerService(plist);
        } catch (const SMAppServiceError& e) {
            return e;
        }
        ADD_FAILURE() << "registerService did not fail";
        return SMAppServiceError(Code::internalFailure, "none");
    }

    test::TempDir root;
    fs::path units = root.path / "config" / "systemd" / "user";
    fs::path runtime = root.path / "run" / "systemd" / "system";
    fs::path programs = root.path / "bin with space";
    FakeSystemctl systemctl;
    ScopedEnvironment path{"PATH", systemctl.bin().string() + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")};
    SMDaemonDefinition daemon{"org.example.fake.plist", "fake-captured", "QOR_TEST_FAKE_CAPTURED_PATH", "Fake 100% daemon"};
};

TEST_F(SystemdServiceBackendTest, RegisteringWritesTheUnitEnablesItAndUnregisteringUndoesIt) {
    auto b = backend();
    EXPECT_EQ(b.status(daemon.plistName), Status::notRegistered);
    EXPECT_TRUE(systemctl.calls().empty());  // no unit file: nothing to ask

    b.registerService(daemon.plistName);
    const fs::path unit = units / "fake-captured.service";
    ASSERT_TRUE(fs::exists(unit));
    const std::string text = readText(unit);
    EXPECT_NE(text.find("\n[Service]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExecStart=\"" + (programs / "fake-captured").string() + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nDescription=Fake 100%% daemon\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nWantedBy=default.target\n"), std::string::npos);
    EXPECT_EQ(systemctl.calls(), (std::vector<std::string>{"--user daemon-reload", "--user enable --now fake-captured.service"}));
    EXPECT_EQ(b.status(daemon.plistName), Status::enabled);

    systemctl.clearCalls();
    EXPECT_EQ(b.unregisterService(daemon.plistName), std::nullopt);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(systemctl.calls(), (std::vector<std::string>{"--user disable --now fake-captured.service", "--user daemon-reload"}));
    EXPECT_EQ(b.status(daemon.plistName), Status::notRegistered);
}

TEST_F(SystemdServiceBackendTest, SystemScopeWritesASystemUnitAndOmitsUser) {
    auto b = backend(SystemdServiceBackend::Scope::system);
    b.registerService(daemon.plistName);
    EXPECT_NE(readText(units / "fake-captured.service").find("\nWantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_EQ(systemctl.calls().back(), "enable --now fake-captured.service");
    EXPECT_EQ(b.approvalHint(daemon.plistName),
              "To let the daemon run, enable fake-captured.service with: sudo systemctl enable --now fake-captured.service");
    EXPECT_EQ(backend().approvalHint(daemon.plistName),
              "To let the daemon run, enable fake-captured.service with: systemctl --user enable --now fake-captured.service");
}

TEST_F(SystemdServiceBackendTest, TheProgramPathCanBeNamedAndIsQuotedForSystemd) {
    const fs::path odd = root.path / "odd $dir%" / "cap\"tured";
    fs::create_directories(odd.parent_path());
    makeExecutable(odd, "#!/bin/sh\n");
    ScopedEnvironment named("QOR_TEST_FAKE_CAPTURED_PATH", odd.string());
    auto b = backend();
    b.registerService(daemon.plistName);
    const std::string expected = "ExecStart=\"" + root.path.string() + "/odd $$dir%%/cap\\\"tured\"";
    EXPECT_NE(readText(units / "fake-captured.service").find("\n" + expected + "\n"), std::string::npos);
}

TEST_F(SystemdServiceBackendTest, StatusFollowsTheUnitFileAndIsEnabled) {
    auto b = backend();
    b.registerService(daemon.plistName);
    struct Row {
        const char* said;
        Status status;
    };
    const std::vector<Row> rows{{"enabled", Status::enabled},         {"enabled-runtime", Status::enabled},
                                {"static", Status::enabled},          {"disabled", Status::requiresApproval},
                                {"masked", Status::requiresApproval}, {"linked", Status::requiresApproval},
                                {"not-found", Status::notRegistered}, {"", Status::notFound}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.said);
        systemctl.setState(row.said);
        EXPECT_EQ(b.status(daemon.plistName), row.status);
    }
    // The daemon's program gone, or the plist name unknown: not found, without asking systemd.
    systemctl.clearCalls();
    fs::remove(programs / "fake-captured");
    EXPECT_EQ(b.status(daemon.plistName), Status::notFound);
    EXPECT_EQ(b.status("org.example.undeclared.plist"), Status::notFound);
    EXPECT_TRUE(systemctl.calls().empty());
}

TEST_F(SystemdServiceBackendTest, WithoutSystemdEveryOperationSaysSoWithoutRunningSystemctl) {
    fs::remove_all(runtime);
    auto b = backend();
    ASSERT_TRUE(b.unavailableReason());
    EXPECT_NE(b.unavailableReason()->find("systemd is not running"), std::string::npos);
    EXPECT_EQ(b.status(daemon.plistName), Status::notFound);
    const auto e = registerError(b, daemon.plistName);
    EXPECT_EQ(e.code(), static_cast<std::int64_t>(Code::serviceUnavailable));
    EXPECT_EQ(e.localizedDescription(), *b.unavailableReason());
    const auto u = b.unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, 7);
    EXPECT_TRUE(systemctl.calls().empty());
    EXPECT_FALSE(fs::exists(units));
}

TEST_F(SystemdServiceBackendTest, SystemctlFailuresMapToServiceErrorCodes) {
    struct Row {
        const char* said;
        int exitStatus;
        std::int64_t code;
    };
    const std::vector<Row> rows{
        {"Failed to enable unit: Access denied", 1, 1},
        {"Failed to enable unit: Interactive authentication required.", 1, 1},
        {"", 4, 1},
        {"System has not been booted with systemd as init system (PID 1). Can't operate.", 1, 7},
        {"Failed to connect to bus: No medium found", 1, 7},
        {"Failed to enable unit: Unit file fake-captured.service does not exist.", 1, 6},
        {"Failed to start fake-captured.service: Unit fake-captured.service has a bad unit file setting.", 1, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.said);
        systemctl.failWith("enable", row.said, row.exitStatus);
        auto b = backend();
        const auto e = registerError(b, daemon.plistName);
        EXPECT_EQ(e.code(), row.code);
        EXPECT_EQ(e.error().domain, SMAppServiceErrorDomain);
        const std::string expected = "systemctl --user enable --now fake-captured.service failed (exit status " +
                                     std::to_string(row.exitStatus) + ")" + (*row.said ? std::string(": ") + row.said : "");
        EXPECT_EQ(e.localizedDescription(), expected);
    }
    // Unregistering reports the failing step as an error object and keeps the unit file.
    systemctl.failWith("disable", "Failed to disable unit: Access denied");
    const auto u = backend().unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, 1);
    EXPECT_TRUE(fs::exists(units / "fake-captured.service"));
}

TEST_F(SystemdServiceBackendTest, RegistrationRefusals) {
    auto b = backend();
    EXPECT_EQ(registerError(b, "org.example.undeclared.plist").code(), static_cast<std::int64_t>(Code::jobPlistNotFound));

    b.registerService(daemon.plistName);
    EXPECT_EQ(registerError(b, daemon.plistName).code(), static_cast<std::int64_t>(Code::alreadyRegistered));

    // A folder where the unit folder should be is a plain file: the unit cannot be written.
    auto o = options();
    o.unitDirectory = root.path / "blocked" / "units";
    writeText(root.path / "blocked", "");
    SystemdServiceBackend blocked(o);
    const auto e = registerError(blocked, daemon.plistName);
    EXPECT_EQ(e.code(), static_cast<std::int64_t>(Code::internalFailure));
    EXPECT_NE(e.localizedDescription().find("blocked/units"), std::string::npos);

    fs::permissions(programs / "fake-captured", fs::perms::owner_read);
    EXPECT_EQ(registerError(b, daemon.plistName).code(), static_cast<std::int64_t>(Code::toolNotValid));
    fs::remove(programs / "fake-captured");
    EXPECT_EQ(registerError(b, daemon.plistName).code(), static_cast<std::int64_t>(Code::toolNotValid));

    EXPECT_EQ(b.unregisterService("org.example.undeclared.plist")->code, static_cast<std::int64_t>(Code::jobPlistNotFound));
}

TEST_F(SystemdServiceBackendTest, UnregisteringWhatIsNotRegisteredIsJobNotFound) {
    const auto u = backend().unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, static_cast<std::int64_t>(Code::jobNotFound));
    EXPECT_TRUE(systemctl.calls().empty());
}

TEST_F(SystemdServiceBackendTest, ASilentOrMissingSystemctlIsAnErrorNotAHang) {
    systemctl.hang();
    auto o = options();
    o.timeout = std::chrono::milliseconds(300);
    SystemdServiceBackend b(o);
    const auto start = std::chrono::steady_clock::now();
    const auto e = registerError(b, daemon.plistName);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(e.code(), static_cast<std::int64_t>(Code::serviceUnavailable));
    EXPECT_NE(e.localizedDescription().find("did not answer within 300 ms"), std::string::npos);

    o.systemctl = (root.path / "nowhere" / "systemctl").string();
    SystemdServiceBackend missing(o);
    writeText(units / "fake-captured.service", "");
    const auto u = missing.unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, static_cast<std::int64_t>(Code::serviceUnavailable));
    EXPECT_NE(u->localizedDescription().find("Cannot run"), std::string::npos);
}

}  // namespace
}  // namespace qor
