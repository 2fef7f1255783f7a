// The plug-in controller: loading bundles, registering their protocols, registry queries.

#include "QORModels/analysis/QORPlugInsController.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORKonstantsKeys/QORKonstantsKeys.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/analysis/DefaultPacketPlugIn.hpp"
#include "QORModels/analysis/QORPortsController.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Alert.hpp"
#include "QORPlatform/Localized.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/SearchPaths.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/QORPlugInsController";
/// Ports at or above this value are not registered (65535 is no service port).
constexpr std::int64_t kPortLimit = 65535;
/// A structure list shorter than this holds only the built-in plug-in and is rebuilt on read.
constexpr std::size_t kMinimumCachedStructs = 2;

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

bool hasExtension(const std::filesystem::path& p) {
    auto ext = p.extension().string();
    return ext == ".plugin" || ext == ".qorplugin";
}

bool sameBundle(const std::shared_ptr<NSBundle>& a, const std::shared_ptr<NSBundle>& b) {
    return a == b || (a && b && a->bundlePath() == b->bundlePath());
}

}  // namespace

std::shared_ptr<QORPlugInsController> QORPlugInsController::sharedManager() {
    assertMainThread("QORPlugInsController::sharedManager");
    static const std::shared_ptr<QORPlugInsController> shared = std::make_shared<QORPlugInsController>();
    return shared;
}

std::shared_ptr<QORPlugInsControlling> QORPlugInsController::sharedController() { return sharedManager(); }

QORPlugInsController::QORPlugInsController() { isInited_ = true; }

QORPlugInsController::~QORPlugInsController() { qorLog("", kLogTag, "deinit", __LINE__); }

void QORPlugInsController::activatePlugIns() {
    assertMainThread("QORPlugInsController::activatePlugIns");
    std::vector<std::filesystem::path> searchDirs{NSBundle::builtInPlugInsPath()};
    for (const auto& dir : applicationSupportDirectories()) searchDirs.push_back(dir / "Tessarine" / "PlugIns");

    for (const auto& dir : searchDirs) {
        if (dir.empty()) continue;
        std::error_code ec;
        std::filesystem::recursive_directory_iterator it(dir, std::filesystem::directory_options::skip_permission_denied, ec);
        if (ec) continue;  // a folder that cannot be enumerated is skipped
        std::vector<std::filesystem::path> entries;
        for (auto end = std::filesystem::recursive_directory_iterator(); it != end; it.increment(ec)) {
            if (ec) break;
            if (hasExtension(it->path())) entries.push_back(std::filesystem::relative(it->path(), dir, ec));
        }
        // The enumeration order of a folder is the file system's; sort for a stable load order.
        std::sort(entries.begin(), entries.end());
        for (const auto& entry : entries) {
            if (loadPluginAtPath(dir.string() + "/" + entry.string())) continue;
            NSAlert alert;
            alert.alertStyle = 0;
            alert.addButtonWithTitle(localized("Ok", "Ok-Button"));
            alert.informativeText = localized("Alert!", "Alert Message");
            std::string format = localized("Could not load plug-in %@\nPlease remove it!", "PlugIns: Could not load Plugin");
            if (auto at = format.find("%@"); at != std::string::npos) format.replace(at, 2, entry.string());
            alert.messageText = std::move(format);
            alert.runModal();
        }
    }
    NotificationCenter::defaultCenter().post(std::string(kPlugInsDidActivateNotification));
    QORStreamInterpreterRegistry::shared().populate(streamInterpreterTypes());
}

void QORPlugInsController::activateAndPublish() {
    assertMainThread("QORPlugInsController::activateAndPublish");
    activatePlugIns();
    updatePluginStructs();
    DefaultInjection::setPlugInControllingProvider(std::static_pointer_cast<QORPlugInsController>(shared_from_this()));
    QORPacket::snapshotPluginRegistry();
}

bool QORPlugInsController::loadPluginAtPath(const std::filesystem::path& path) {
    auto bundle = NSBundle::bundleWithPath(path);
    if (!bundle) {
        QOR_LOG(kLogTag, "Could not load plug-in bundle at path:" + path.string());
        return false;
    }
    auto cls = bundle->principalClass();
    if (!cls || !cls->isSubclassOfRoot()) {
        if (!bundle->loadError().empty()) QOR_LOG(kLogTag, bundle->loadError());
        QOR_LOG(kLogTag, "Could not load principal class as NSObject for plug-in at path:" + path.string() +
                             "\nmake sure the PrincipalClass target setting is correct");
        return false;
    }
    auto principal = std::dynamic_pointer_cast<const QORPluginPrincipalClass>(cls);
    if (!principal) {
        QOR_LOG(kLogTag, "Could not load principal class for plug-in at path:" + path.string() +
                             "\nmake sure the PrincipalClass target setting is correct");
        return false;
    }
    if (!principal->construct(*this, bundle)) {
        QOR_LOG(kLogTag, "Could not init PrincipalClass:  " + path.string());
        return false;
    }
    return true;
}

void QORPlugInsController::registerAddresses(const QORPlugInNetworkProtocol& p) {
    if (p.sourceProtocol != kQORSourceProtocols::none && !p.protocolPorts.empty()) {
        auto ports = QORPortsController::sharedPortsController();
        for (std::int64_t port : p.protocolPorts) {
            if (port < 0 || port >= kPortLimit) continue;
            (void)ports->addAnalyzerProtocol(p.protocolName, static_cast<std::uint16_t>(port), rawValue(p.sourceProtocol));
        }
    }
    if (p.ethertype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocolForEtherType(p.protocolName, *p.ethertype);
    if (p.linktype) ProtocolsStringsCache::sharedCache().addAnalyzerProtocol(p.protocolName, *p.linktype);
}

void QORPlugInsController::unregisterAddresses(const QORPlugInNetworkProtocol& p) {
    if (p.sourceProtocol != kQORSourceProtocols::none && !p.protocolPorts.empty()) {
        auto ports = QORPortsController::sharedPortsController();
        // Each transport separately, and only where the port still leads to this protocol: a
        // port that another plug-in has claimed since stays with it.
        std::vector<std::int8_t> transports;
        if (p.sourceProtocol != kQORSourceProtocols::udp) transports.push_back(rawValue(kQORSourceProtocols::tcp));
        if (p.sourceProtocol != kQORSourceProtocols::tcp) transports.push_back(rawValue(kQORSourceProtocols::udp));
        for (std::int64_t port : p.protocolPorts) {
            if (port < 0 || port >= kPortLimit) continue;
            const auto number = static_cast<std::uint16_t>(port);
            for (std::int8_t transport : transports) {
                if (ports->analyzerProtocolForPort(number, transport) == p.protocolName) {
                    ports->removeAnalyzerProtocolForPort(number, transport);
                }
            }
        }
    }
    if (p.ethertype) ProtocolsStringsCache::sharedCache().removeAnalyzerProtocolForEtherType(p.protocolName, *p.ethertype);
    if (p.linktype) ProtocolsStringsCache::sharedCache().removeAnalyzerProtocol(p.protocolName, *p.linktype);
}

bool QORPlugInsController::registerPlugIn(const QORPlugInStructure& plugIn, const std::shared_ptr<NSBundle>& bundle) {
    assertMainThread("QORPlugInsController::registerPlugIn");
    if (!bundle) return false;
    auto cls = bundle->principalClass();
    if (!cls || !cls->isSubclassOfRoot()) return false;
    auto existing = std::find_if(plugIns_.begin(), plugIns_.end(), [&](const PlugInEntry& e) { return sameBundle(e.first, bundle); });
    if (existing != plugIns_.end()) plugIns_.erase(existing);
    plugIns_.emplace_back(bundle, plugIn);
    for (const auto& p : plugIn.plugInTargetProtocols) registerAddresses(p);
    return true;
}

std::optional<std::pair<std::size_t, std::shared_ptr<NSBundle>>> QORPlugInsController::entryForBundle(
    const std::shared_ptr<NSBundle>& bundle) {
    if (!bundle) return std::nullopt;
    auto cls = bundle->principalClass();
    if (!cls) return std::nullopt;
    // The entry registered for this very bundle: one principal class may register several
    // structures, each under a component bundle of its own, and only the bundle tells them apart.
    for (std::size_t i = 0; i < plugIns_.size(); ++i) {
        if (sameBundle(plugIns_[i].first, bundle)) return std::make_pair(i, plugIns_[i].first);
    }
    // A plug-in that names its main bundle while its structure went in under another one.
    for (std::size_t i = 0; i < plugIns_.size(); ++i) {
        if (plugIns_[i].second.plugInPrincipalClass.get() == cls.get()) return std::make_pair(i, plugIns_[i].first);
    }
    return std::nullopt;
}

bool QORPlugInsController::registerNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) {
    assertMainThread("QORPlugInsController::registerNetworkProtocol");
    if (!entryForBundle(bundle)) return false;
    registerAddresses(protocol);
    updatePluginStructs();
    QORPacket::snapshotPluginRegistry();
    QORStreamInterpreterRegistry::shared().populate(streamInterpreterTypes());
    return true;
}

bool QORPlugInsController::unregisterNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) {
    assertMainThread("QORPlugInsController::unregisterNetworkProtocol");
    auto found = entryForBundle(bundle);
    if (!found) return false;
    unregisterAddresses(protocol);
    auto& targets = plugIns_[found->first].second.plugInTargetProtocols;
    std::erase_if(targets, [&](const QORPlugInNetworkProtocol& p) { return p.id == protocol.id; });
    updatePluginStructs();
    QORPacket::snapshotPluginRegistry();
    QORStreamInterpreterRegistry::shared().populate(streamInterpreterTypes());
    auto& center = NotificationCenter::defaultCenter();
    center.post(std::string(rawValue(QORProtocolKonstants::kQORClearAnalyzingCache)));
    center.post(std::string(rawValue(QORProtocolKonstants::kQORPacketTableRefresh)));
    return true;
}

const std::vector<PlugInEntry>& QORPlugInsController::plugIns() const { return plugIns_; }

void QORPlugInsController::setPlugIns(std::vector<PlugInEntry> plugIns) {
    assertMainThread("QORPlugInsController::setPlugIns");
    plugIns_ = std::move(plugIns);
}

void QORPlugInsController::updatePluginStructs() {
    assertMainThread("QORPlugInsController::updatePluginStructs");
    qorLog("", kLogTag, "updatePluginStructs()", __LINE__);
    std::vector<QORPlugInStructure> list;
    list.reserve(plugIns_.size() + 1);
    for (const auto& entry : plugIns_) list.push_back(entry.second);
    std::stable_sort(list.begin(), list.end(),
                     [](const QORPlugInStructure& a, const QORPlugInStructure& b) { return lessCaseInsensitive(a.plugInTitle, b.plugInTitle); });
    list.insert(list.begin(), DefaultPacketPlugIn::packetPlugIn());
    plgInStrcts_ = std::move(list);
}

const std::vector<QORPlugInStructure>& QORPlugInsController::structs() {
    if (plgInStrcts_.size() < kMinimumCachedStructs) updatePluginStructs();
    return plgInStrcts_;
}

std::vector<QORPlugInStructure> QORPlugInsController::plugInStructs() {
    assertMainThread("QORPlugInsController::plugInStructs");
    return structs();
}

void QORPlugInsController::cleanUp() {
    assertMainThread("QORPlugInsController::cleanUp");
    plugIns_.clear();
    plgInStrcts_.clear();
}

AnalyzerClassRef QORPlugInsController::analyzerClassForProtocol(std::string_view name) {
    for (const auto& s : structs()) {
        for (const auto& p : s.plugInTargetProtocols) {
            if (p.protocolName == name) return s.plugInAnalyzerClass;
        }
    }
    return nullptr;
}

AnalyzerClassRef QORPlugInsController::analyzerClassForKey(std::string_view key) {
    for (const auto& s : structs()) {
        for (const auto& c : s.plugInColumnKeyBindings) {
            if (key.find(c.keyPath) != std::string_view::npos) return s.plugInAnalyzerClass;
        }
    }
    return nullptr;
}

std::uint32_t QORPlugInsController::headerSizeForProtocol(std::string_view name) {
    for (const auto& s : structs()) {
        auto it = std::find_if(s.plugInTargetProtocols.begin(), s.plugInTargetProtocols.end(),
                               [&](const QORPlugInNetworkProtocol& p) { return p.protocolName == name; });
        if (it != s.plugInTargetProtocols.end()) return it->size.value_or(0);
    }
    return 0;
}

std::optional<QORPlugInAnalyzerAttribute> QORPlugInsController::analyzerAttributeForAttributeKey(std::string_view key) {
    const auto& list = structs();
    for (std::size_t i = 1; i < list.size(); ++i) {
        for (const auto& a : list[i].plugInAnalyzerAttributes) {
            if (a.attributeKey == key) return a;
        }
    }
    return std::nullopt;
}

std::shared_ptr<QORPluginPreferencesProtocol> QORPlugInsController::preferencesForAnalyzer(const QORPluginAnalyzerProtocol& analyzer) {
    const QORPluginAnalyzerClass& cls = analyzer.analyzerClass();
    for (const auto& [bundle, s] : plugIns_) {
        if (s.plugInAnalyzerClass && cls.isSubclassOf(*s.plugInAnalyzerClass)) {
            return std::dynamic_pointer_cast<QORPluginPreferencesProtocol>(s.plugInPreferencesInstance);
        }
    }
    return nullptr;
}

std::shared_ptr<QORPluginPreferencesProtocol> QORPlugInsController::preferencesForProtocol(std::string_view name) {
    auto cls = analyzerClassForProtocol(name);
    if (!cls) return nullptr;
    for (const auto& [bundle, s] : plugIns_) {
        if (s.plugInAnalyzerClass == cls) return std::dynamic_pointer_cast<QORPluginPreferencesProtocol>(s.plugInPreferencesInstance);
    }
    return nullptr;
}

std::optional<NSColor> QORPlugInsController::colorForProtocol(std::string_view name) {
    if (auto prefs = preferencesForProtocol(name)) return prefs->protocolColor();
    return NSColor::controlAccentColor();
}

std::optional<QORPlugInColumn> QORPlugInsController::plugInColumnForIdentifier(const NSUserInterfaceItemIdentifier& identifier) const {
    for (const auto& [bundle, s] : plugIns_) {
        for (const auto& c : s.plugInColumnKeyBindings) {
            if (c.keyPath == identifier.rawValue) return c;
        }
    }
    return std::nullopt;
}

std::optional<QORPlugInStructure> QORPlugInsController::plugInForTitel(const std::optional<std::string>& title) {
    const std::string wanted = title.value_or("");
    for (const auto& s : structs()) {
        for (const auto& c : s.plugInColumnKeyBindings) {
            if (c.columnTitle.find(wanted) != std::string::npos) return s;
            auto it = c.predicateOptions.find(NSDisplayNameBindingOption);
            if (it == c.predicateOptions.end()) continue;
            if (const std::string* text = it->second.stringPtr(); text && text->find(wanted) != std::string::npos) return s;
        }
    }
    return std::nullopt;
}

std::optional<QORPlugInStructure> QORPlugInsController::plugInForPluginTitel(std::string_view title) {
    for (const auto& s : structs()) {
        if (s.plugInTitle == title) return s;
    }
    return std::nullopt;
}

std::vector<QORStreamInterpreterTypeBox> QORPlugInsController::streamInterpreterTypes() {
    std::vector<QORStreamInterpreterTypeBox> out;
    for (const auto& s : structs()) {
        if (auto interpreter = streamInterpreterOf(s.plugInAnalyzerClass)) out.push_back({std::move(interpreter)});
    }
    return out;
}

}  // namespace qor
