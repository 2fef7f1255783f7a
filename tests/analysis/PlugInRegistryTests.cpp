// Plug-in bundles (binary manifests, broken bundles, the built-in folder) and the plug-in
// controller: registration, sorting, the lookup table it publishes, and loading bundles from the
// search folders.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

// The fake specs name only the fields a case needs; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "FakeAnalyzers.hpp"
#include "QORDependencies/DefaultInjection.hpp"
#include "QORKonstantsKeys/QORKonstantsKeys.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORPlatform/Alert.hpp"
#include "QORPlatform/NSBundle.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "support/Fixtures.hpp"

namespace qor::test {
namespace {

/// A binary property list (written by Python's plistlib, FMT_BINARY) with CFBundleExecutable
/// "libX.so", CFBundleIdentifier "com.example.binary" and NSPrincipalClass "BinaryPrincipal".
constexpr const char* kBinaryManifestHex =
    "62706c6973743030d30102030405065f1012434642756e646c6545786563757461626c655f1012434642756e646c654964656e7469666965"
    "725f10104e535072696e636970616c436c617373576c6962582e736f5f1012636f6d2e6578616d706c652e62696e6172795f100f42696e61"
    "72795072696e636970616c080f24394c5469000000000000010100000000000000070000000000000000000000000000007b";

Data fromHex(std::string_view hex) {
    std::vector<std::byte> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return Data(std::move(out));
}

TEST(NSBundle, ReadsBinaryManifests) {
    TempDir dir;
    std::filesystem::create_directories(dir.path / "Binary.qorplugin");
    dir.write("Binary.qorplugin/Info.plist", fromHex(kBinaryManifestHex));
    auto binary = NSBundle::bundleWithPath(dir.path / "Binary.qorplugin");
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->principalClassName(), "BinaryPrincipal");
    EXPECT_EQ(binary->executablePath(), dir.path / "Binary.qorplugin" / "libX.so");
    EXPECT_EQ(binary->bundleIdentifier(), "com.example.binary");
    // The library does not exist: loading fails with dlopen's reason, and there is no class.
    EXPECT_FALSE(binary->load());
    EXPECT_FALSE(binary->loadError().empty());
    EXPECT_FALSE(binary->principalClass());
}

TEST(NSBundle, RejectsMissingFoldersAndBrokenManifests) {
    TempDir dir;
    EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / "Missing.qorplugin"));
    std::filesystem::create_directories(dir.path / "Empty.qorplugin");
    EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / "Empty.qorplugin"));
    for (auto [folder, manifest] :
         {std::pair{"Garbage.qorplugin", "\x01\x02 not a plist"},
          std::pair{"NoExecutable.qorplugin", "<plist version=\"1.0\"><dict><key>NSPrincipalClass</key><string>P</string></dict></plist>"},
          std::pair{"Array.qorplugin", "<plist version=\"1.0\"><array><string>x</string></array></plist>"}}) {
        std::filesystem::create_directories(dir.path / folder);
        dir.write(std::string(folder) + "/Info.plist", Data::fromString(manifest));
        EXPECT_FALSE(NSBundle::bundleWithPath(dir.path / folder)) << folder;
    }
}

TEST(NSBundle, BuiltInFolderFollowsTheEnvironmentOrTheLibrary) {
    const char* old = std::getenv("QOR_BUILTIN_PLUGINS_DIR");
    std::string saved = old ? old : "";
    setenv("QOR_BUILTIN_PLUGINS_DIR", "/somewhere/PlugIns", 1);
    EXPECT_EQ(NSBundle::builtInPlugInsPath(), "/somewhere/PlugIns");
    unsetenv("QOR_BUILTIN_PLUGINS_DIR");
    auto path = NSBundle::builtInPlugInsPath();
    EXPECT_EQ(path.filename(), "PlugIns");
    EXPECT_EQ(path.parent_path().filename(), "qor");
    EXPECT_TRUE(std::filesystem::exists(path.parent_path().parent_path() / "libQORPlatform.so"));
    if (old) setenv("QOR_BUILTIN_PLUGINS_DIR", saved.c_str(), 1);
}

/// A principal class that registers the structures a test hands it.
class TestPrincipal final : public QORPluginPrincipalClass {
public:
    explicit TestPrincipal(std::string name) : name_(std::move(name)) {}
    std::string_view name() const override { return name_; }
    std::shared_ptr<NSObject> construct(QORPlugInsControlling& controller, const std::shared_ptr<NSBundle>& bundle) const override {
        if (refuse) return nullptr;
        for (auto s : structures) {
            s.plugInPrincipalClass = std::static_pointer_cast<const QORPluginPrincipalClass>(ClassRegistry::shared().classNamed(name_));
            controller.registerPlugIn(s, bundle);
        }
        return std::make_shared<NSObject>();
    }
    std::vector<QORPlugInStructure> structures;
    bool refuse = false;

private:
    std::string name_;
};

/// A bundle folder whose manifest names `principal` and, as its library, one the process has
/// already loaded (so loading it registers nothing new).
std::filesystem::path writeBundle(const std::filesystem::path& folder, const std::string& principal,
                                  const std::string& executable = std::string(QOR_BINARY_DIR) + "/lib/libQORPlatform.so") {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                         << "<key>CFBundleExecutable</key><string>" << executable << "</string>"
                                         << "<key>NSPrincipalClass</key><string>" << principal << "</string>"
                                         << "</dict></plist>\n";
    return folder;
}

QORPlugInStructure structureNamed(const std::string& title, const std::shared_ptr<FakeClass>& cls, std::vector<std::int64_t> ports = {}) {
    auto s = FakeRegistry::structure(cls);
    s.plugInTitle = title;
    auto& p = s.plugInTargetProtocols[0];
    p.protocolPorts = std::move(ports);
    p.sourceProtocol = p.protocolPorts.empty() ? kQORSourceProtocols::none : kQORSourceProtocols::tcp;
    return s;
}

class Registry : public ::testing::Test {
protected:
    TempDir dir;
    FakeRegistry fakes;
    std::shared_ptr<QORPlugInsController> controller = std::make_shared<QORPlugInsController>();
    std::shared_ptr<TestPrincipal> principal = std::make_shared<TestPrincipal>("RegistryTestPrincipal");
    std::shared_ptr<NSBundle> bundle;
    void SetUp() override {
        ClassRegistry::shared().registerClass(principal);
        bundle = NSBundle::bundleWithPath(writeBundle(dir.path / "Test.qorplugin", "RegistryTestPrincipal"));
        ASSERT_TRUE(bundle);
        ASSERT_TRUE(bundle->principalClass());
    }
    void TearDown() override { ClassRegistry::shared().unregisterClass("RegistryTestPrincipal"); }
    QORPlugInStructure withPrincipal(QORPlugInStructure s) {
        s.plugInPrincipalClass = principal;
        return s;
    }
};

TEST_F(Registry, SortsByTitleAndSameProtocolResolvesDifferentlyInControllerAndTable) {
    auto a = fakes.add({"SAME", 8});
    auto b = fakes.add({"SAME", 8});
    controller->registerPlugIn(withPrincipal(structureNamed("zeta", a)), bundle->component("zeta"));
    controller->registerPlugIn(withPrincipal(structureNamed("Alpha", b)), bundle->component("Alpha"));
    controller->updatePluginStructs();
    auto structs = controller->plugInStructs();
    ASSERT_EQ(structs.size(), 3u);
    EXPECT_EQ(structs[1].plugInTitle, "Alpha");
    EXPECT_EQ(structs[2].plugInTitle, "zeta");
    EXPECT_EQ(controller->analyzerClassForProtocol("SAME"), b);
    auto table = PluginLookupTable::build(structs);
    EXPECT_EQ(table->analyzerClassByProtocol.at("SAME"), a);
    EXPECT_EQ(table->headerSizeByProtocol.at("SAME"), 8u);
    EXPECT_FALSE(table->attributeByKey.contains("packetId"));  // built-in attributes stay out
    EXPECT_EQ(controller->headerSizeForProtocol("SAME"), 8u);
}

TEST_F(Registry, RegisteringTwiceForOneBundleKeepsOneElement) {
    auto a = fakes.add({"ONE", 4});
    EXPECT_TRUE(controller->registerPlugIn(withPrincipal(structureNamed("One", a)), bundle));
    EXPECT_TRUE(controller->registerPlugIn(withPrincipal(structureNamed("One again", a)), bundle));
    ASSERT_EQ(controller->plugIns().size(), 1u);
    EXPECT_EQ(controller->plugIns()[0].second.plugInTitle, "One again");
}

TEST_F(Registry, PortsBelow65535AreRegisteredWithThePortMap) {
    auto a = fakes.add({"REGPORTS", 0});
    controller->registerPlugIn(withPrincipal(structureNamed("Ports", a, {7801, 65535, 7802, -1})), bundle);
    auto ports = QORPortsController::sharedPortsController();
    EXPECT_EQ(ports->analyzerTCPProtocolForPort(7801), "REGPORTS");
    EXPECT_EQ(ports->analyzerTCPProtocolForPort(7802), "REGPORTS");
    EXPECT_FALSE(ports->analyzerTCPProtocolForPort(65535));
    EXPECT_FALSE(ports->analyzerUDPProtocolForPort(7801));
    ports->removeAnalyzerProtocolForPort(7801, 1);
    ports->removeAnalyzerProtocolForPort(7802, 1);
}

TEST_F(Registry, RegistrationNeedsTheBundlesPrincipalClass) {
    auto other = NSBundle::bundleWithPath(writeBundle(dir.path / "Other.qorplugin", "NoSuchPrincipal"));
    ASSERT_TRUE(other);
    EXPECT_FALSE(controller->registerPlugIn(structureNamed("X", fakes.add({"X"})), other));
    EXPECT_TRUE(controller->plugIns().empty());
    QORPlugInNetworkProtocol extra;
    extra.protocolName = "EXTRA";
    EXPECT_FALSE(controller->registerNetworkProtocol(extra, bundle));  // nothing registered for it yet
}

TEST_F(Registry, UnregisteringForAComponentBundleTakesBackOnlyThatFamilysAddressesAndPostsClearAndRefresh) {
    // Two families under one principal class, each registered for its own component bundle.
    auto keptClass = fakes.add({"KEPT", 4});
    auto goneClass = fakes.add({"GONE2", 4});
    auto kept = withPrincipal(structureNamed("Kept", keptClass, {7901}));
    auto gone = withPrincipal(structureNamed("Gone", goneClass, {7900}));
    gone.plugInTargetProtocols[0].sourceProtocol = kQORSourceProtocols::all;
    gone.plugInTargetProtocols[0].ethertype = 0x88B5;  // local experimental ether type
    gone.plugInTargetProtocols[0].linktype = 147;      // first user link type
    ASSERT_TRUE(controller->registerPlugIn(kept, bundle->component("Kept")));
    ASSERT_TRUE(controller->registerPlugIn(gone, bundle->component("Gone")));
    auto& names = ProtocolsStringsCache::sharedCache();
    auto ports = QORPortsController::sharedPortsController();
    ASSERT_EQ(names.etherTypeString(0x88B5), "GONE2");
    ASSERT_EQ(names.linkTypeStringForKey("147"), "GONE2");
    ASSERT_EQ(ports->analyzerProtocolForPort(7900, rawValue(kQORSourceProtocols::udp)), "GONE2");

    std::vector<std::string> posted;
    std::vector<ObserverToken> tokens;
    for (auto name : {QORProtocolKonstants::kQORClearAnalyzingCache, QORProtocolKonstants::kQORPacketTableRefresh})
        tokens.push_back(NotificationCenter::defaultCenter().addObserver(std::string(rawValue(name)), nullptr,
                                                                         [&](const Notification& n) { posted.push_back(n.name); }));
    auto saved = PluginLookupTable::current();
    EXPECT_TRUE(controller->unregisterNetworkProtocol(gone.plugInTargetProtocols[0], bundle->component("Gone")));
    PluginLookupTable::publish(saved);
    for (auto& t : tokens) NotificationCenter::defaultCenter().removeObserver(t);
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0], rawValue(QORProtocolKonstants::kQORClearAnalyzingCache));
    ASSERT_EQ(controller->plugIns().size(), 2u);
    EXPECT_EQ(controller->plugIns()[0].second.plugInTargetProtocols.size(), 1u);  // "Kept" untouched
    EXPECT_TRUE(controller->plugIns()[1].second.plugInTargetProtocols.empty());
    EXPECT_FALSE(names.etherTypeString(0x88B5));
    EXPECT_FALSE(names.linkTypeStringForKey("147"));
    EXPECT_FALSE(ports->analyzerProtocolForPort(7900, rawValue(kQORSourceProtocols::tcp)));
    EXPECT_FALSE(ports->analyzerProtocolForPort(7900, rawValue(kQORSourceProtocols::udp)));
    EXPECT_EQ(ports->analyzerTCPProtocolForPort(7901), "KEPT");
    ports->removeAnalyzerProtocolFrom(kept.plugInTargetProtocols[0]);
}

TEST(ProtocolsStringsCacheNames, RemovingAPlugInsNameRestoresTheBuiltInOneAndSparesOthers) {
    auto& names = ProtocolsStringsCache::sharedCache();
    names.addAnalyzerProtocolForEtherType("MYARP", 0x0806);
    EXPECT_EQ(names.etherTypeString(0x0806), "MYARP");
    names.removeAnalyzerProtocolForEtherType("MYARP", 0x0806);
    EXPECT_EQ(names.etherTypeString(0x0806), "ARP");
    // A name that someone else put there since is not taken back.
    names.addAnalyzerProtocol("FIRST", 148);
    names.addAnalyzerProtocol("SECOND", 148);
    names.removeAnalyzerProtocol("FIRST", 148);
    EXPECT_EQ(names.linkTypeStringForKey("148"), "SECOND");
    names.removeAnalyzerProtocol("SECOND", 148);
    EXPECT_FALSE(names.linkTypeStringForKey("148"));
}

TEST(StreamInterpreterRegistry, EmptySnapshotOffTheMainThreadStaysEmpty) {
    QORStreamInterpreterRegistry::shared().populate({});
    std::vector<QORStreamInterpreterTypeBox> seen{{nullptr}};
    std::thread([&] { seen = QORStreamInterpreterRegistry::shared().snapshot(); }).join();
    EXPECT_TRUE(seen.empty());
}

/// Plug-in folders of one test: the user's XDG data folder, empty system folders, and an empty
/// built-in folder, restored afterwards with the published controller and lookup table; the
/// controller's ports are taken out of the shared port map other tests read.
class PlugInFolders : public ::testing::Test {
protected:
    TempDir dir;
    std::shared_ptr<QORPlugInsController> controller = std::make_shared<QORPlugInsController>();
    std::shared_ptr<QORPlugInsControlling> savedProvider = DefaultInjection::plugInControllingProvider();
    std::shared_ptr<const PluginLookupTable> savedTable = PluginLookupTable::current();
    const std::filesystem::path standardPlugIn = std::filesystem::path(QOR_BUILD_PLUGINS_DIR) / "StandardAnalyzers.qorplugin";
    std::vector<std::string> logs;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    void setEnv(const char* name, const std::string& value) {
        const char* old = std::getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name, value.c_str(), 1);
    }
    void SetUp() override {
        std::filesystem::create_directories(dir.path / "system");
        std::filesystem::create_directories(dir.path / "builtin");
        setEnv("XDG_DATA_HOME", (dir.path / "user").string());
        setEnv("QOR_SYSTEM_DATA_DIRS", (dir.path / "system").string());
        setEnv("QOR_BUILTIN_PLUGINS_DIR", (dir.path / "builtin").string());
        setLogSink([this](const LogLine& l) { logs.push_back(l.message); });
        NSAlert::setPresenter([](const NSAlert&) { return NSAlert::kAlertFirstButtonReturn; });
        NSAlert::clearShownAlerts();
    }
    void TearDown() override {
        DefaultInjection::setPlugInControllingProvider(savedProvider);
        PluginLookupTable::publish(savedTable);
        for (auto& [b, s] : controller->plugIns())
            for (auto& protocol : s.plugInTargetProtocols) QORPortsController::sharedPortsController()->removeAnalyzerProtocolFrom(protocol);
        for (auto& [name, value] : saved) value ? (void)setenv(name.c_str(), value->c_str(), 1) : (void)unsetenv(name.c_str());
        setLogSink({});
        NSAlert::setPresenter({});
    }
    bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }
    std::filesystem::path userPlugIns() const { return dir.path / "user" / "Tessarine" / "PlugIns"; }
    /// The build makes the standard plug-in before these tests; without it they cannot say anything.
    void requireStandardPlugIn() const {
        ASSERT_TRUE(std::filesystem::exists(standardPlugIn / "Info.plist")) << "standard plug-in not built at " << standardPlugIn;
    }
};

TEST_F(PlugInFolders, BrokenBundlesAreLoggedAndAlertedAndLoadingGoesOn) {
    auto principal = std::make_shared<TestPrincipal>("FolderTestPrincipal");
    FakeRegistry fakes;
    auto cls = fakes.add({"FOLDER"});
    principal->structures.push_back(structureNamed("Folder", cls));
    ClassRegistry::shared().registerClass(principal);
    writeBundle(userPlugIns() / "nested" / "Good.plugin", "FolderTestPrincipal");
    std::filesystem::create_directories(userPlugIns() / "BadManifest.qorplugin");
    std::ofstream(userPlugIns() / "BadManifest.qorplugin" / "Info.plist") << "this is no property list";
    writeBundle(userPlugIns() / "NoLibrary.qorplugin", "FolderTestPrincipal", "libDoesNotExist.so");
    writeBundle(userPlugIns() / "Ignored.plugin.txt", "FolderTestPrincipal");
    bool activated = false;
    auto token = NotificationCenter::defaultCenter().addObserver(std::string(kPlugInsDidActivateNotification), nullptr,
                                                                 [&](const Notification&) { activated = true; });

    controller->activatePlugIns();
    NotificationCenter::defaultCenter().removeObserver(token);
    ClassRegistry::shared().unregisterClass("FolderTestPrincipal");

    ASSERT_EQ(controller->plugIns().size(), 1u);
    EXPECT_EQ(controller->plugIns()[0].first->bundlePath(), userPlugIns().string() + "/nested/Good.plugin");
    EXPECT_TRUE(activated);
    EXPECT_TRUE(logged("Could not load plug-in bundle at path:" + userPlugIns().string() + "/BadManifest.qorplugin"));
    EXPECT_TRUE(logged("Could not load principal class as NSObject for plug-in at path:" + userPlugIns().string() +
                       "/NoLibrary.qorplugin\nmake sure the PrincipalClass target setting is correct"));
    auto alerts = NSAlert::shownAlerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].messageText, "Could not load plug-in BadManifest.qorplugin\nPlease remove it!");
    EXPECT_EQ(alerts[1].messageText, "Could not load plug-in NoLibrary.qorplugin\nPlease remove it!");
}

TEST_F(PlugInFolders, RefusingPrincipalClassIsReported) {
    auto principal = std::make_shared<TestPrincipal>("RefusingPrincipal");
    principal->refuse = true;
    ClassRegistry::shared().registerClass(principal);
    auto path = writeBundle(userPlugIns() / "Refusing.qorplugin", "RefusingPrincipal");
    controller->activatePlugIns();
    ClassRegistry::shared().unregisterClass("RefusingPrincipal");
    EXPECT_TRUE(logged("Could not init PrincipalClass:  " + path.string()));
    EXPECT_EQ(NSAlert::shownAlerts().size(), 1u);
}

TEST_F(PlugInFolders, StandardPlugInCopiedIntoTheUserFolderIsLoadedAndPublished) {
    ASSERT_NO_FATAL_FAILURE(requireStandardPlugIn());
    std::filesystem::create_directories(userPlugIns());
    std::filesystem::copy(standardPlugIn, userPlugIns() / "StandardAnalyzers.qorplugin", std::filesystem::copy_options::recursive);
    controller->activateAndPublish();
    EXPECT_EQ(DefaultInjection::plugInControllingProvider(), controller);
    EXPECT_TRUE(NSAlert::shownAlerts().empty());
    ASSERT_FALSE(controller->plugIns().empty());
    EXPECT_GT(controller->plugInStructs().size(), 1u);
    // What the published table analyses is compared with tshark by the analyzer tests.
    EXPECT_TRUE(PluginLookupTable::current()->analyzerClassByProtocol.contains("ETH"));
}

}  // namespace
}  // namespace qor::test
