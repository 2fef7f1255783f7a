// The capture daemon's registration driven through a scripted service manager: every status and
// error message, every install branch, uninstalling, and keeping the daemon's version in step.

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

const std::string kNotRegistered = "Service hasn\xE2\x80\x99t been registered. You may register it now.";
const std::string kEnabled = "Service successfully registered and eligible to run.";
const std::string kRequiresApproval = "Service registered but requires user approval in Settings > Login Items.";
const std::string kNotFound = "Service is not installed.";

/// A daemon client that answers with a scripted version (or failure) and records its calls.
class FakeDaemon : public CaptureXPCClientServiceProtocol {
public:
    explicit FakeDaemon(std::string version) : version_(std::move(version)) {}
    std::function<std::future<std::string>()> versionReply;  // replaces the immediate answer
    std::vector<std::string> calls;

    std::future<std::string> getVersion() override {
        calls.emplace_back("getVersion");
        if (versionReply) return versionReply();
        std::promise<std::string> p;
        p.set_value(version_);
        return p.get_future();
    }
    void quitDaemon() override { calls.emplace_back("quitDaemon"); }
    void connectToAuthSystem() override { calls.emplace_back("connectToAuthSystem"); }

private:
    std::string version_;
};

class CaptureDaemonServiceManagementTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::shared().bindCurrentThread();
        MainQueue::shared().drain();
        SMAppService::setBackend(backend);
        SMAppService::setLoginItemsHintHandler([this](const std::string& hint) { hints.push_back(hint); });
        setLogSink([this](const LogLine& line) { logs.push_back(line); });
        savedVersion = MainBundle::shared().objectForInfoDictionaryKey("CFBundleShortVersionString");
        model = std::make_shared<CaptureDaemonServiceManagement>();
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

    std::vector<std::string> logMessages() const {
        std::vector<std::string> out;
        for (const auto& l : logs) out.push_back(l.message);
        return out;
    }

    std::shared_ptr<Scripted> backend = std::make_shared<Scripted>();
    std::shared_ptr<CaptureDaemonServiceManagement> model;
    std::vector<std::string> published, hints;
    std::vector<LogLine> logs;
    Value savedVersion;
};

TEST_F(CaptureDaemonServiceManagementTest, EveryStatusHasItsMessageAndOnlyEnabledCountsAsInstalled) {
    struct Row {
        int raw;
        std::string message;
    };
    const std::vector<Row> rows{{0, kNotRegistered}, {1, kEnabled}, {2, kRequiresApproval}, {3, kNotFound},
                                {42, "Unknown service status (42)."}, {-1, "Unknown service status (-1)."}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.raw);
        backend->setRawStatus(row.raw);
        model->executeHelper(CaptureDaemonServiceAction::idle);
        EXPECT_EQ(model->daemonStatusMessage(), row.message);
        EXPECT_EQ(model->isDaemonInstalled(), row.raw == 1);
        EXPECT_EQ(model->valueForKey("daemonStatusMessage").asString(), row.message);
    }
    EXPECT_EQ(backend->count("register") + backend->count("unregister"), 0u);
    for (const auto& name : backend->plistNames()) EXPECT_EQ(name, "com.orvaleth.tessarine.CaptureDaemon.plist");
}

TEST_F(CaptureDaemonServiceManagementTest, UnregistrationErrorsShowTheirMessagesAndAreLogged) {
    struct Row {
        std::int64_t code;
        std::string message;
    };
    const std::vector<Row> rows{
        {1, "Authorization required in Settings > Login Items."},
        {3, "Invalid signature, ensure proper signing on the application and helper tool."},
        {11, "User denied permission. Enable in System Settings > Login Items."},
        {12, "Service is already registered and enabled."},
        {2, "Operation failed: manager said no"},
        {999, "Operation failed: manager said no"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        logs.clear();
        backend->setStatus(Status::enabled);
        backend->setUnregisterOutcome(Scripted::PlatformError{row.code, "manager said no"});
        model->executeHelper(CaptureDaemonServiceAction::uninstall);
        MainQueue::shared().drain();
        EXPECT_EQ(model->daemonStatusMessage(), row.message);
        EXPECT_TRUE(model->isDaemonInstalled());  // the failed unregistration left it enabled
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].message, "Failed to unregister helper: manager said no");
        EXPECT_EQ(logs[0].filename, "QORModels/CaptureDaemonServiceManagement");
        EXPECT_EQ(logs[0].function, "executeHelper(action:)");
    }
}

TEST_F(CaptureDaemonServiceManagementTest, InstallTakesTheBranchOfTheCurrentStatus) {
    struct Row {
        const char* name;
        int status;
        Scripted::RegisterOutcome outcome;
        std::size_t registers;
        std::size_t loginItemRequests;
        std::vector<std::string> published;
        std::vector<std::string> logged;
        bool installed;
    };
    const std::vector<Row> rows{
        {"already enabled", 1, Scripted::Succeed{}, 0, 0, {"Service is already enabled.", kEnabled}, {}, true},
        {"awaiting approval", 2, Scripted::Succeed{}, 0, 1,
         {"Registered but requires enabling in System Settings > Login Items.", kRequiresApproval}, {}, false},
        {"registers", 0, Scripted::Succeed{Status::enabled}, 1, 0, {kEnabled}, {}, true},
        {"registers, an unknown status", 9, Scripted::Succeed{Status::enabled}, 1, 0, {kEnabled}, {}, true},
        {"registered, needs approval", 0, Scripted::Succeed{Status::requiresApproval}, 1, 1, {kRequiresApproval}, {}, false},
        {"permission error", 0, Scripted::PlatformError{1, "not permitted"}, 1, 1,
         {"Permission required. Enable in System Settings > Login Items.", kNotRegistered}, {}, false},
        {"other platform error", 3, Scripted::PlatformError{7, "systemd is not running"}, 1, 0,
         {"Installation failed: systemd is not running", kNotFound},
         {"Failed to register helper: systemd is not running"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        backend = std::make_shared<Scripted>(static_cast<Status>(row.status));
        backend->setRegisterOutcome(row.outcome);
        SMAppService::setBackend(backend);
        published.clear();
        logs.clear();
        hints.clear();
        model->setDaemonStatusMessage(std::nullopt);
        published.clear();
        const auto requestsBefore = SMAppService::loginItemsRequestCount();

        model->executeHelper(CaptureDaemonServiceAction::install);

        EXPECT_EQ(backend->count("register"), row.registers);
        EXPECT_EQ(SMAppService::loginItemsRequestCount() - requestsBefore, row.loginItemRequests);
        EXPECT_EQ(hints.size(), row.loginItemRequests);
        EXPECT_EQ(published, row.published);
        EXPECT_EQ(logMessages(), row.logged);
        EXPECT_EQ(model->isDaemonInstalled(), row.installed);
    }
}

TEST_F(CaptureDaemonServiceManagementTest, AFailureThatIsNotThePlatformsReachesTheCaller) {
    backend->setRegisterOutcome(Scripted::OtherFailure{"disk on fire"});
    try {
        model->executeHelper(CaptureDaemonServiceAction::install);
        ADD_FAILURE() << "the failure was swallowed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "disk on fire");
    }
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
    EXPECT_EQ(published, (std::vector<std::string>{kEnabled, kNotRegistered}));
}

TEST_F(CaptureDaemonServiceManagementTest, AQueuedUninstallOutlivesTheCallersReference) {
    backend->setStatus(Status::enabled);
    model->executeHelper(CaptureDaemonServiceAction::uninstall);
    std::weak_ptr<CaptureDaemonServiceManagement> weak = model;
    model.reset();
    EXPECT_FALSE(weak.expired());
    MainQueue::shared().drain();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(backend->count("unregister"), 1u);
}

// --- Version reconciliation ------------------------------------------------------------------

TEST_F(CaptureDaemonServiceManagementTest, AnOlderDaemonIsQuitAndReinstalled) {
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
    auto daemon = std::make_shared<FakeDaemon>("2.1");
    DefaultInjection::setCaptureXPCServiceProvider(daemon);
    backend->setStatus(Status::notRegistered);
    model->reconcileDaemonVersion();

    EXPECT_EQ(daemon->calls, (std::vector<std::string>{"getVersion", "connectToAuthSystem", "quitDaemon"}));
    EXPECT_EQ(backend->count("register"), 1u);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].message, "Daemon version mismatch (running 2.1, expected 2.2); reinstalling");
    EXPECT_EQ(logs[0].filename, "QORModels/CaptureDaemonServiceManagement");
    EXPECT_EQ(logs[0].function, "reconcileDaemonVersion()");
    EXPECT_EQ(model->daemonStatusMessage(), kEnabled);
    EXPECT_TRUE(model->isDaemonInstalled());
}

TEST_F(CaptureDaemonServiceManagementTest, ADaemonThatCannotTellItsVersionIsLeftAlone) {
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
    auto daemon = std::make_shared<FakeDaemon>("");
    daemon->versionReply = [] {
        std::promise<std::string> p;
        p.set_exception(std::make_exception_ptr(std::runtime_error("connection interrupted")));
        return p.get_future();
    };
    DefaultInjection::setCaptureXPCServiceProvider(daemon);
    model->reconcileDaemonVersion();
    EXPECT_EQ(daemon->calls, std::vector<std::string>{"getVersion"});
    EXPECT_TRUE(backend->calls().empty());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Cannot read the daemon's version: connection interrupted"});

    // A client that fails before handing back a reply is treated the same way.
    daemon->calls.clear();
    daemon->versionReply = []() -> std::future<std::string> { throw std::runtime_error("no connection"); };
    model->reconcileDaemonVersion();
    EXPECT_EQ(daemon->calls, std::vector<std::string>{"getVersion"});
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(CaptureDaemonServiceManagementTest, AReplyThatNeedsTheMainQueueDoesNotDeadlock) {
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
    auto daemon = std::make_shared<FakeDaemon>("");
    std::thread connection;
    daemon->versionReply = [&connection] {
        auto promise = std::make_shared<std::promise<std::string>>();
        auto reply = promise->get_future();
        // The client's connection thread reads its answer on the main thread before replying.
        connection = std::thread([promise] { promise->set_value(MainQueue::shared().sync([] { return std::string("2.2"); })); });
        return reply;
    };
    DefaultInjection::setCaptureXPCServiceProvider(daemon);
    model->reconcileDaemonVersion();
    connection.join();
    EXPECT_EQ(daemon->calls, std::vector<std::string>{"getVersion"});
    EXPECT_TRUE(logs.empty());
}

TEST_F(CaptureDaemonServiceManagementTest, ReconcilingNeedsOurVersionAndADaemonClient) {
    auto daemon = std::make_shared<FakeDaemon>("2.1");
    DefaultInjection::setCaptureXPCServiceProvider(daemon);
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", Value{});
    model->reconcileDaemonVersion();
    EXPECT_TRUE(daemon->calls.empty());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"cant read our own bundle version"});

    logs.clear();
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
    DefaultInjection::setCaptureXPCServiceProvider(nullptr);
    model->reconcileDaemonVersion();
    EXPECT_TRUE(logs.empty());
    EXPECT_TRUE(backend->calls().empty());
}

TEST_F(CaptureDaemonServiceManagementTest, AFailedReinstallIsLogged) {
    MainBundle::shared().setObjectForInfoDictionaryKey("CFBundleShortVersionString", "2.2");
    DefaultInjection::setCaptureXPCServiceProvider(std::make_shared<FakeDaemon>("2.1"));
    backend->setRegisterOutcome(Scripted::OtherFailure{"disk on fire"});
    model->reconcileDaemonVersion();
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Daemon version mismatch (running 2.1, expected 2.2); reinstalling",
                                                       "Daemon reinstall failed: disk on fire"}));
}

}  // namespace
}  // namespace qor
