#pragma once
// The font settings shared by every view, read from the user defaults and kept up to date.

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "QORDependencies/DefaultInjection.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

class NotificationCenter;
class UserDefaults;

/// User-defaults keys of the six font settings (the keys carry the names of the settings).
inline constexpr std::string_view com_orvaleth_tessarine_fontPacketTable = "com_orvaleth_tessarine_fontPacketTable";
inline constexpr std::string_view com_orvaleth_tessarine_fontConsoleRaw = "com_orvaleth_tessarine_fontConsoleRaw";
inline constexpr std::string_view com_orvaleth_tessarine_fontProtocolDetails = "com_orvaleth_tessarine_fontProtocolDetails";
inline constexpr std::string_view com_orvaleth_tessarine_fontDataSourcesList = "com_orvaleth_tessarine_fontDataSourcesList";
inline constexpr std::string_view com_orvaleth_tessarine_fontDataSourcesHead = "com_orvaleth_tessarine_fontDataSourcesHead";
inline constexpr std::string_view com_orvaleth_tessarine_fontBaseProtocolStatistics =
    "com_orvaleth_tessarine_fontBaseProtocolStatistics";

/// The font stored under `key`. A font is kept as a list of two values, the font's name (text,
/// not empty) and its point size (a positive number), for example ["Menlo", 11]; anything else
/// under the key reads as no font.
std::optional<NSFont> fontForKey(const UserDefaults& defaults, std::string_view key);
/// Stores `font` under `key` in that form; nothing removes the key.
void setFont(UserDefaults& defaults, std::string_view key, const std::optional<NSFont>& font);

/// The six fonts of the application's views.
///
/// Each font is read from the user defaults when the manager is made, and again whenever its
/// key changes there: a key-value observer on the defaults (one per font, with the new-value
/// option) stores the font read again and then posts the font's notification on the
/// notification centre, with no object and no user information:
///
/// | font | key | notification |
/// |---|---|---|
/// | `packetTableFont` | `com_orvaleth_tessarine_fontPacketTable` | `kQORPacketTableRefresh` |
/// | `consoleRawFont` | `com_orvaleth_tessarine_fontConsoleRaw` | `kQORFontConsoleRaw` |
/// | `protocolDetailsFont` | `com_orvaleth_tessarine_fontProtocolDetails` | `kQORFontProtocolDetails` |
/// | `dataSourcesListFont` | `com_orvaleth_tessarine_fontDataSourcesList` | `kQORFontDataSourcesList` |
/// | `dataSourcesHeadFont` | `com_orvaleth_tessarine_fontDataSourcesHead` | `kQORFontDataSourcesHead` |
/// | `protocolStatisticsBaseFont` | `com_orvaleth_tessarine_fontBaseProtocolStatistics` | `kQORFontProtocolStatistics` |
///
/// The observers run on the thread that changed the defaults; the fonts are guarded by a lock,
/// so they may be read from any thread. The observers are removed when the manager goes.
class QORAppearanceManager : public NSObject, public QORAppearanceProviding {
public:
    /// The process-wide manager over the standard user defaults and the default notification
    /// centre, made at the first call, which also installs it as `QORAppearance::current()`.
    static std::shared_ptr<QORAppearanceManager> shared();

    /// A manager of its own over the given defaults and centre (both must outlive it).
    QORAppearanceManager(UserDefaults& defaults, NotificationCenter& center);
    ~QORAppearanceManager() override;

    [[nodiscard]] std::optional<NSFont> packetTableFont() const { return font(0); }
    [[nodiscard]] std::optional<NSFont> consoleRawFont() const { return font(1); }
    [[nodiscard]] std::optional<NSFont> protocolDetailsFont() const { return font(2); }
    [[nodiscard]] std::optional<NSFont> dataSourcesListFont() const override { return font(3); }
    [[nodiscard]] std::optional<NSFont> dataSourcesHeadFont() const override { return font(4); }
    [[nodiscard]] std::optional<NSFont> protocolStatisticsBaseFont() const { return font(5); }

    [[nodiscard]] std::string_view className() const override { return "QORAppearanceManager"; }

private:
    static constexpr std::size_t kFontCount = 6;
    [[nodiscard]] std::optional<NSFont> font(std::size_t index) const;
    void reload(std::size_t index);

    UserDefaults& defaults_;
    NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::array<std::optional<NSFont>, kFontCount> fonts_;
    /// The key-value observers in the order of the fonts: packet table, console raw, protocol
    /// details, data-sources list, data-sources head, base protocol statistics.
    std::array<KeyValueObservationToken, kFontCount> observers_;
};

}  // namespace qor
