#pragma once
// The plug-in controller: finds and loads analyzer plug-ins and answers registry questions.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORModels/analysis/QORStreamInterpreterRegistry.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

/// One registered plug-in: its bundle and the structure it registered.
using PlugInEntry = std::pair<std::shared_ptr<NSBundle>, QORPlugInStructure>;

/// Loads plug-in bundles, keeps what each registers, registers their ports, ether types and
/// link types, and answers which analyzer handles a protocol, owns an attribute key or a column.
///
/// Plug-in folders searched by `activatePlugIns()`, in order: the built-in plug-ins folder
/// (`NSBundle::builtInPlugInsPath()`), then "Tessarine/PlugIns" under each application-support
/// folder (`applicationSupportDirectories()`: the user's XDG data folder, then /usr/local/share
/// and /usr/share or `$QOR_SYSTEM_DATA_DIRS`). Each is walked recursively; entries whose
/// extension is exactly "plugin" or "qorplugin" are loaded. A bundle that cannot be loaded is
/// logged, reported with a warning alert, and loading goes on.
///
/// Thread safety: main thread only (every operation asserts it). Background analysis never asks
/// the controller; it reads the `PluginLookupTable` published by `QORPacket::snapshotPluginRegistry()`.
class QORPlugInsController final : public NSObject, public QORPlugInsControlling {
public:
    /// The shared controller, created on first use (main thread).
    static std::shared_ptr<QORPlugInsControlling> sharedController();
    static std::shared_ptr<QORPlugInsController> sharedManager();

    QORPlugInsController();
    ~QORPlugInsController() override;

    [[nodiscard]] bool isInited() const { return isInited_; }

    void activatePlugIns() override;
    /// Loads every plug-in and publishes what packet analysis reads: the start-up sequence that
    /// every host (the application, the command-line tool, tests and fuzzers) runs once before
    /// it analyses packets.
    ///
    /// In order: `activatePlugIns()`; `updatePluginStructs()`; this controller becomes the
    /// controller in force (`DefaultInjection::plugInControllingProvider()`), since the lookup
    /// table is built from that one; `QORPacket::snapshotPluginRegistry()` publishes the table.
    /// The controller must be owned by a `std::shared_ptr` (as `sharedManager()` and
    /// `std::make_shared` give). Main thread only.
    void activateAndPublish();
    /// Loads one bundle; false (with a log line) when it cannot be opened, has no suitable
    /// principal class or the class refuses construction.
    bool loadPluginAtPath(const std::filesystem::path& path);
    bool registerPlugIn(const QORPlugInStructure& plugIn, const std::shared_ptr<NSBundle>& bundle) override;
    bool registerNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) override;
    bool unregisterNetworkProtocol(const QORPlugInNetworkProtocol& protocol, const std::shared_ptr<NSBundle>& bundle) override;

    [[nodiscard]] const std::vector<PlugInEntry>& plugIns() const;
    void setPlugIns(std::vector<PlugInEntry> plugIns);
    /// The built-in packet plug-in, then every registered structure sorted by title
    /// (case-insensitive). Rebuilt on read while it holds fewer than two structures.
    [[nodiscard]] std::vector<QORPlugInStructure> plugInStructs() override;
    void updatePluginStructs() override;
    void cleanUp();

    [[nodiscard]] AnalyzerClassRef analyzerClassForProtocol(std::string_view protocolName);
    [[nodiscard]] AnalyzerClassRef analyzerClassForKey(std::string_view key);
    /// The declared header size, or 0 when unknown (never absent).
    [[nodiscard]] std::uint32_t headerSizeForProtocol(std::string_view protocolName);
    [[nodiscard]] std::optional<QORPlugInAnalyzerAttribute> analyzerAttributeForAttributeKey(std::string_view key);
    [[nodiscard]] std::shared_ptr<QORPluginPreferencesProtocol> preferencesForAnalyzer(const QORPluginAnalyzerProtocol& analyzer);
    [[nodiscard]] std::shared_ptr<QORPluginPreferencesProtocol> preferencesForProtocol(std::string_view protocolName);
    /// The preferences' protocol colour, or the control accent colour.
    [[nodiscard]] std::optional<NSColor> colorForProtocol(std::string_view protocolName);
    [[nodiscard]] std::optional<QORPlugInColumn> plugInColumnForIdentifier(const NSUserInterfaceItemIdentifier& identifier) const;
    [[nodiscard]] std::optional<QORPlugInStructure> plugInForTitel(const std::optional<std::string>& title);
    [[nodiscard]] std::optional<QORPlugInStructure> plugInForPluginTitel(std::string_view title);
    [[nodiscard]] std::vector<QORStreamInterpreterTypeBox> streamInterpreterTypes();
    [[nodiscard]] std::string_view className() const override { return "QORPlugInsController"; }

private:
    /// The structure registered for the bundle (a component bundle names one family of a plug-in
    /// that registers several); failing that, the first one of the bundle's principal class.
    std::optional<std::pair<std::size_t, std::shared_ptr<NSBundle>>> entryForBundle(const std::shared_ptr<NSBundle>& bundle);
    /// Takes back what `registerAddresses` registered for the protocol.
    static void unregisterAddresses(const QORPlugInNetworkProtocol& protocol);
    static void registerAddresses(const QORPlugInNetworkProtocol& protocol);
    const std::vector<QORPlugInStructure>& structs();

    bool isInited_ = false;
    std::vector<PlugInEntry> plugIns_;
    std::vector<QORPlugInStructure> plgInStrcts_;
};

}  // namespace qor
