// The capture daemon's registration driven through a scripted service manager: every install
// branch, uninstalling and its errors, and keeping the daemon's version in step.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/statistics/CaptureDaemonServiceManagement.hpp"
#include "QORPlatform/MainBundle.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/ScriptedServiceBackend.hpp"

namespace qor {
namespace {

using Status = SMAppServiceStatus;
using Scripted = ScriptedServiceBackend;
using Texts = std::vector<std::string>;

const std::string kNotRegistered = "Service hasn\xE2\x80\x99t been registered. You may register it now.";
const std::string kEnabled = "Service successfully registered and eligible to run.";
const std::string kRequiresApproval = "Service registered but requires user approval in Settings > Login Items.";

std::future<std::string> answer(std::string version) {
    std::promise<std::string> p;
    p.set_value(std::move(version));
    return p.get_future();
}

/// A daemon client that answers with a scripted version (or failure) and records its calls.
struct FakeDaemon : CaptureXPCClientServiceProtocol {
    std::function<std::future<std::string>()> versionReply = [] { return answer("2.1"); };
    Texts calls;
    std::future<std::string> getVersion() override {
        calls.emplace_back("getVersion");
        return versionReply();
    }
    void quitDaemon() override { calls.emplace_back("quitDaemon"); }
    void connectToAuthSystem() override { calls.emplace_back("connectToAuthSystem"); }
};

/// The model over a scripted backend, with this build's version "2.2", the messages it publishes,
/// the approval hints and the log lines it writes.
class CaptureDaemonServiceManagementTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::shared().bindCurrentThread();
        MainQueue::shared().drain();
        SMAppService::setBackend(backend);
        SMAppService::setLoginItemsHintHandler([this](const std::string& hint) { hints.push_back(hint); });
        setLogSink([this](const LogLine& line) { logs.push_back(line); });
        savedVersion = MainBundle::shared().objectForInfoDictionaryKey("CFBundleShortVersionString");
        MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
        DefaultInjection::setCaptureXPCServiceProvider(daemon);
        model->addObserver(
            "daemonStatusMessage",
            [this](const NSObject&, const KeyValueChange& change) { published.push_back(change.newValue.asString().value_or("<none>")); },
            kKeyValueObservingOptionNew);
    }
    void TearDown() override {
        MainQueue::shared().drain();
        SMAppService::setBackend(nullptr);
        SMAppService::setLoginItemsHintHandler({});
        setLogSink({});
        DefaultInjection::setCaptureXPCServiceProvider(nullptr);
        MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", savedVersion);
    }
    /// The one line logged: `message`, with the model's tag and `function`.
    void expectLogged(const std::string& message, const std::string& function) const {
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].message, message);
        EXPECT_EQ(logs[0].filename, "QORModels/CaptureDaemonServiceManagement");
        EXPECT_EQ(logs[0].function, function);
    }
    Texts logMessages() const {
        Texts out;
        for (const auto& l : logs) out.push_back(l.message);
        return out;
    }

    std::shared_ptr<Scripted> backend = std::make_shared<Scripted>();
    std::shared_ptr<FakeDaemon> daemon = std::make_shared<FakeDaemon>();
    std::shared_ptr<CaptureDaemonServiceManagement> model = std::make_shared<CaptureDaemonServiceManagement>();
    Texts published, hints;
    std::vector<LogLine> logs;
    Value savedVersion;
};

TEST_F(CaptureDaemonServiceManagementTest, InstallTakesTheBranchOfTheCurrentStatus) {
    struct Row {
        const char* name;
        Status status;
        Scripted::RegisterOutcome outcome;
        std::size_t registers, loginItemRequests;
        Texts published, logged;
        bool installed;
    };
    const std::vector<Row> rows{
        {"already enabled", Status::enabled, Scripted::Succeed{}, 0, 0, {"Service is already enabled.", kEnabled}, {}, true},
        {"awaiting approval", Status::requiresApproval, Scripted::Succeed{}, 0, 1,
         {"Registered but requires enabling in System Settings > Login Items.", kRequiresApproval}, {}, false},
        {"registers", Status::notRegistered, Scripted::Succeed{Status::enabled}, 1, 0, {kEnabled}, {}, true},
        {"registered, needs approval", Status::notRegistered, Scripted::Succeed{Status::requiresApproval}, 1, 1,
         {kRequiresApproval}, {}, false},
        {"permission error", Status::notRegistered, Scripted::PlatformError{1, "not permitted"}, 1, 1,
         {"Permission required. Enable in System Settings > Login Items.", kNotRegistered}, {}, false},
        {"other platform error", Status::notFound, Scripted::PlatformError{7, "systemd is not running"}, 1, 0,
         {"Installation failed: systemd is not running", "Service is not installed."},
         {"Failed to register helper: systemd is not running"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        backend = std::make_shared<Scripted>(row.status);
        backend->setRegisterOutcome(row.outcome);
        SMAppService::setBackend(backend);
        model->setDaemonStatusMessage(std::nullopt);
        published.clear();
        logs.clear();
        hints.clear();
        const auto requestsBefore = SMAppService::loginItemsRequestCount();

        model->executeHelper(CaptureDaemonServiceAction::install);

        EXPECT_EQ(backend->count("register"), row.registers);
        EXPECT_EQ(SMAppService::loginItemsRequestCount() - requestsBefore, row.loginItemRequests);
        EXPECT_EQ(hints.size(), row.loginItemRequests);
        EXPECT_EQ(published, row.published);
        EXPECT_EQ(logMessages(), row.logged);
        EXPECT_EQ(model->isDaemonInstalled(), row.installed);
    }
    // A failure that is not the platform's reaches the caller, unlogged.
    backend->setRegisterOutcome(Scripted::OtherFailure{"disk on fire"});
    logs.clear();
    EXPECT_THAT([&] { model->executeHelper(CaptureDaemonServiceAction::install); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("disk on fire")));
    EXPECT_TRUE(logs.empty());
}

TEST_F(CaptureDaemonServiceManagementTest, UninstallUnregistersOnTheMainQueueAndShowsTheOutcome) {
    backend->setStatus(Status::enabled);
    backend->setUnregisterOutcome(Scripted::Succeed{Status::notRegistered});
    model->executeHelper(CaptureDaemonServiceAction::uninstall);
    // Not yet: the unregistration waits for the main queue's next turn.
    EXPECT_EQ(backend->count("unregister"), 0u);
    EXPECT_EQ(model->daemonStatusMessage(), kEnabled);
    EXPECT_TRUE(model->isDaemonInstalled());

    EXPECT_EQ(MainQueue::shared().drain(), 1u);
    EXPECT_EQ(backend->count("unregister"), 1u);
    EXPECT_EQ(model->daemonStatusMessage(), kNotRegistered);
    EXPECT_FALSE(model->isDaemonInstalled());
    EXPECT_TRUE(logs.empty());
    EXPECT_EQ(published, (Texts{kEnabled, kNotRegistered}));

    // A failed unregistration shows its error's message, is logged and leaves the daemon enabled.
    backend->setStatus(Status::enabled);
    backend->setUnregisterOutcome(Scripted::PlatformError{999, "manager said no"});
    model->executeHelper(CaptureDaemonServiceAction::uninstall);
    MainQueue::shared().drain();
    EXPECT_EQ(model->daemonStatusMessage(), "Operation failed: manager said no");
    EXPECT_TRUE(model->isDaemonInstalled());
    expectLogged("Failed to unregister helper: manager said no", "executeHelper(action:)");

    // A queued uninstall outlives the caller's reference.
    model->executeHelper(CaptureDaemonServiceAction::uninstall);
    std::weak_ptr<CaptureDaemonServiceManagement> weak = model;
    model.reset();
    EXPECT_FALSE(weak.expired());
    MainQueue::shared().drain();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(backend->count("unregister"), 3u);
}

TEST_F(CaptureDaemonServiceManagementTest, AnOlderDaemonIsQuitAndReinstalled) {
    model->reconcileDaemonVersion();
    EXPECT_EQ(daemon->calls, (Texts{"getVersion", "connectToAuthSystem", "quitDaemon"}));
    EXPECT_EQ(backend->count("register"), 1u);
    expectLogged("Daemon version mismatch (running 2.1, expected 2.2); reinstalling", "reconcileDaemonVersion()");
    EXPECT_EQ(model->daemonStatusMessage(), kEnabled);
    EXPECT_TRUE(model->isDaemonInstalled());

    // A reinstall that fails is logged.
    logs.clear();
    backend->setStatus(Status::notRegistered);
    backend->setRegisterOutcome(Scripted::OtherFailure{"disk on fire"});
    model->reconcileDaemonVersion();
    EXPECT_EQ(logMessages(), (Texts{"Daemon version mismatch (running 2.1, expected 2.2); reinstalling",
                                    "Daemon reinstall failed: disk on fire"}));
}

TEST_F(CaptureDaemonServiceManagementTest, ADaemonWithAnUnreadableOrTheSameVersionIsLeftAlone) {
    daemon->versionReply = [] {
        std::promise<std::string> p;
        p.set_exception(std::make_exception_ptr(std::runtime_error("connection interrupted")));
        return p.get_future();
    };
    model->reconcileDaemonVersion();
    EXPECT_EQ(logMessages(), Texts{"Cannot read the daemon's version: connection interrupted"});

    // The same version, from a client whose connection thread reads its answer on the main thread
    // before replying: no deadlock.
    std::thread connection;
    daemon->versionReply = [&connection] {
        auto promise = std::make_shared<std::promise<std::string>>();
        connection = std::thread([promise] { promise->set_value(MainQueue::shared().sync([] { return std::string("2.2"); })); });
        return promise->get_future();
    };
    logs.clear();
    model->reconcileDaemonVersion();
    connection.join();
    EXPECT_TRUE(logs.empty());
    EXPECT_EQ(daemon->calls, (Texts{"getVersion", "getVersion"}));
    EXPECT_TRUE(backend->calls().empty());
}

}  // namespace
}  // namespace qor
