// Registering daemons as systemd units, against a temporary unit folder and a fake `systemctl`.
// Nothing here reaches the real service manager.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "QORPlatform/SMAppService.hpp"
#include "QORPlatform/SystemdServiceBackend.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {
namespace fs = std::filesystem;
using Code = SMAppServiceErrorCode;
using Status = SMAppServiceStatus;
using Texts = std::vector<std::string>;

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
void makeExecutable(const fs::path& path, const std::string& text) {
    writeText(path, text);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}
std::int64_t raw(Code code) { return static_cast<std::int64_t>(code); }

/// Each test gets a temporary unit folder and a fake `systemctl` first on PATH. The fake appends
/// each command line to `calls`; `is-enabled` prints the word kept in `state` (written by enable
/// and disable) and exits 0 only for "enabled"; a file named after a subcommand under `fail/`
/// makes that subcommand print the file to standard error and exit with the status in
/// `fail/<subcommand>.status`; a file `hang` makes every call sleep far past any test's timeout.
class SystemdServiceBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(runtime);
        fs::create_directories(fake / "fail");
        fs::create_directories(programs);
        makeExecutable(programs / "fake-captured", "#!/bin/sh\nexit 0\n");
        makeExecutable(fake / "systemctl", "#!/bin/sh\nd='" + fake.string() + R"SH('
echo "$*" >> "$d/calls"
[ -f "$d/hang" ] && exec sleep 60
[ "$1" = "--user" ] && shift
sub="$1"
if [ -f "$d/fail/$sub" ]; then cat "$d/fail/$sub" >&2; exit "$(cat "$d/fail/$sub.status")"; fi
case "$sub" in
  is-enabled) [ -f "$d/state" ] && cat "$d/state"; [ "$(cat "$d/state" 2>/dev/null)" = "enabled" ]; exit $? ;;
  enable) echo enabled > "$d/state" ;;
  disable) echo disabled > "$d/state" ;;
esac
exit 0
)SH");
        SMAppService::declareDaemon(daemon);
        ::setenv("PATH", (fake.string() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", savedPath.c_str(), 1);
        ::unsetenv("QOR_TEST_FAKE_CAPTURED_PATH");
    }

    SystemdServiceBackend::Options options(SystemdServiceBackend::Scope scope = SystemdServiceBackend::Scope::user) const {
        SystemdServiceBackend::Options o;
        o.scope = scope;
        o.unitDirectory = units;
        o.runtimeMarker = runtime;
        o.programDirectory = programs;
        o.timeout = std::chrono::seconds(20);
        return o;
    }
    Texts calls() const {
        Texts out;
        std::ifstream in(fake / "calls");
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    void clearCalls() const { fs::remove(fake / "calls"); }
    void failWith(const std::string& subcommand, const std::string& said, int status = 1) const {
        writeText(fake / "fail" / subcommand, said + "\n");
        writeText(fake / "fail" / (subcommand + ".status"), std::to_string(status));
    }
    /// The error `registerService` throws; fails the test when it throws none.
    static SMAppServiceError registerError(SystemdServiceBackend b, const std::string& plist) {
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
    fs::path fake = root.path / "fake-systemctl";
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    SMDaemonDefinition daemon{"org.example.fake.plist", "fake-captured", "QOR_TEST_FAKE_CAPTURED_PATH", "Fake 100% daemon"};
};

TEST_F(SystemdServiceBackendTest, RegisteringWritesTheUnitEnablesItAndUnregisteringUndoesIt) {
    SystemdServiceBackend b(options());
    EXPECT_EQ(b.status(daemon.plistName), Status::notRegistered);
    EXPECT_TRUE(calls().empty());  // no unit file: nothing to ask

    b.registerService(daemon.plistName);
    const fs::path unit = units / "fake-captured.service";
    ASSERT_TRUE(fs::exists(unit));
    const std::string text = test::readFile(unit).toString();
    EXPECT_NE(text.find("\n[Service]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExecStart=\"" + (programs / "fake-captured").string() + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nDescription=Fake 100%% daemon\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nWantedBy=default.target\n"), std::string::npos);
    EXPECT_EQ(calls(), (Texts{"--user daemon-reload", "--user enable --now fake-captured.service"}));
    EXPECT_EQ(b.status(daemon.plistName), Status::enabled);

    clearCalls();
    EXPECT_EQ(b.unregisterService(daemon.plistName), std::nullopt);
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(calls(), (Texts{"--user disable --now fake-captured.service", "--user daemon-reload"}));
    EXPECT_EQ(b.status(daemon.plistName), Status::notRegistered);

    // The system scope: a system unit, no --user, and sudo in the hint.
    SystemdServiceBackend system(options(SystemdServiceBackend::Scope::system));
    system.registerService(daemon.plistName);
    EXPECT_NE(test::readFile(unit).toString().find("\nWantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_EQ(calls().back(), "enable --now fake-captured.service");
    EXPECT_EQ(system.approvalHint(daemon.plistName),
              "To let the daemon run, enable fake-captured.service with: sudo systemctl enable --now fake-captured.service");
    EXPECT_EQ(b.approvalHint(daemon.plistName),
              "To let the daemon run, enable fake-captured.service with: systemctl --user enable --now fake-captured.service");
}

TEST_F(SystemdServiceBackendTest, TheProgramPathCanBeNamedAndIsQuotedForSystemd) {
    const fs::path odd = root.path / "odd $dir%" / "cap\"tured";
    fs::create_directories(odd.parent_path());
    makeExecutable(odd, "#!/bin/sh\n");
    ::setenv("QOR_TEST_FAKE_CAPTURED_PATH", odd.c_str(), 1);
    SystemdServiceBackend(options()).registerService(daemon.plistName);
    const std::string expected = "ExecStart=\"" + root.path.string() + "/odd $$dir%%/cap\\\"tured\"";
    EXPECT_NE(test::readFile(units / "fake-captured.service").toString().find("\n" + expected + "\n"), std::string::npos);
}

TEST_F(SystemdServiceBackendTest, StatusFollowsTheUnitFileAndIsEnabled) {
    SystemdServiceBackend b(options());
    b.registerService(daemon.plistName);
    // Any other word is a unit the user must enable; no word at all, a manager that did not answer.
    for (const auto& [said, status] : std::vector<std::pair<const char*, Status>>{
             {"static", Status::enabled}, {"masked", Status::requiresApproval}, {"not-found", Status::notRegistered}, {"", Status::notFound}}) {
        writeText(fake / "state", std::string(said) + "\n");
        EXPECT_EQ(b.status(daemon.plistName), status) << said;
    }
    // The daemon's program gone, or the plist name unknown: not found, without asking systemd.
    clearCalls();
    fs::remove(programs / "fake-captured");
    EXPECT_EQ(b.status(daemon.plistName), Status::notFound);
    EXPECT_EQ(b.status("org.example.undeclared.plist"), Status::notFound);
    EXPECT_TRUE(calls().empty());
}

TEST_F(SystemdServiceBackendTest, WithoutSystemdEveryOperationSaysSoWithoutRunningSystemctl) {
    fs::remove_all(runtime);
    SystemdServiceBackend b(options());
    ASSERT_TRUE(b.unavailableReason());
    EXPECT_NE(b.unavailableReason()->find("systemd is not running"), std::string::npos);
    EXPECT_EQ(b.status(daemon.plistName), Status::notFound);
    const auto e = registerError(b, daemon.plistName);
    EXPECT_EQ(e.code(), raw(Code::serviceUnavailable));
    EXPECT_EQ(e.localizedDescription(), *b.unavailableReason());
    const auto u = b.unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, 7);
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fs::exists(units));
}

TEST_F(SystemdServiceBackendTest, SystemctlFailuresMapToServiceErrorCodes) {
    for (const auto& [said, exitStatus, code] : std::vector<std::tuple<std::string, int, std::int64_t>>{
             {"Failed to enable unit: Access denied", 1, 1},
             {"", 4, 1},
             {"Failed to connect to bus: No medium found", 1, 7},
             {"Failed to enable unit: Unit file fake-captured.service does not exist.", 1, 6},
             {"Failed to start fake-captured.service: Unit fake-captured.service has a bad unit file setting.", 1, 2}}) {
        failWith("enable", said, exitStatus);
        const auto e = registerError(SystemdServiceBackend(options()), daemon.plistName);
        EXPECT_EQ(e.code(), code) << said;
        EXPECT_EQ(e.error().domain, SMAppServiceErrorDomain);
        EXPECT_EQ(e.localizedDescription(), "systemctl --user enable --now fake-captured.service failed (exit status " +
                                                std::to_string(exitStatus) + ")" + (said.empty() ? "" : ": " + said));
    }
    // Unregistering reports the failing step as an error object and keeps the unit file.
    failWith("disable", "Failed to disable unit: Access denied");
    const auto u = SystemdServiceBackend(options()).unregisterService(daemon.plistName);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, 1);
    EXPECT_TRUE(fs::exists(units / "fake-captured.service"));
}

TEST_F(SystemdServiceBackendTest, RegistrationRefusals) {
    SystemdServiceBackend b(options());
    const auto notRegistered = b.unregisterService(daemon.plistName);
    ASSERT_TRUE(notRegistered);
    EXPECT_EQ(notRegistered->code, raw(Code::jobNotFound));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(registerError(b, "org.example.undeclared.plist").code(), raw(Code::jobPlistNotFound));
    EXPECT_EQ(b.unregisterService("org.example.undeclared.plist")->code, raw(Code::jobPlistNotFound));

    b.registerService(daemon.plistName);
    EXPECT_EQ(registerError(b, daemon.plistName).code(), raw(Code::alreadyRegistered));

    // A plain file where the unit folder's parent should be: the unit cannot be written.
    auto o = options();
    o.unitDirectory = root.path / "blocked" / "units";
    writeText(root.path / "blocked", "");
    const auto e = registerError(SystemdServiceBackend(o), daemon.plistName);
    EXPECT_EQ(e.code(), raw(Code::internalFailure));
    EXPECT_NE(e.localizedDescription().find("blocked/units"), std::string::npos);

    fs::permissions(programs / "fake-captured", fs::perms::owner_read);
    EXPECT_EQ(registerError(b, daemon.plistName).code(), raw(Code::toolNotValid));
}

TEST_F(SystemdServiceBackendTest, ASilentOrMissingSystemctlIsAnErrorNotAHang) {
    writeText(fake / "hang", "");
    auto o = options();
    o.timeout = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    const auto e = registerError(SystemdServiceBackend(o), daemon.plistName);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(e.code(), raw(Code::serviceUnavailable));
    EXPECT_NE(e.localizedDescription().find("did not answer within 300 ms"), std::string::npos);

    o.systemctl = (root.path / "nowhere" / "systemctl").string();
    const auto u = SystemdServiceBackend(o).unregisterService(daemon.plistName);  // the unit file is there
    ASSERT_TRUE(u);
    EXPECT_EQ(u->code, raw(Code::serviceUnavailable));
    EXPECT_NE(u->localizedDescription().find("Cannot run"), std::string::npos);
}

}  // namespace
}  // namespace qor
