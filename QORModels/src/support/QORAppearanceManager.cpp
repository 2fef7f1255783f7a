#include "QORModels/support/QORAppearanceManager.hpp"

#include "QORPlatform/NotificationCenter.hpp"
#include "QORPlatform/UserDefaults.hpp"

namespace qor {
namespace {

/// One font: where it is kept and what its change announces, in the order of the fonts.
struct FontSetting {
    std::string_view key;
    QORProtocolKonstants notification;
};

constexpr std::array<FontSetting, 6> kFontSettings{{
    {com_orvaleth_tessarine_fontPacketTable, QORProtocolKonstants::kQORPacketTableRefresh},
    {com_orvaleth_tessarine_fontConsoleRaw, QORProtocolKonstants::kQORFontConsoleRaw},
    {com_orvaleth_tessarine_fontProtocolDetails, QORProtocolKonstants::kQORFontProtocolDetails},
    {com_orvaleth_tessarine_fontDataSourcesList, QORProtocolKonstants::kQORFontDataSourcesList},
    {com_orvaleth_tessarine_fontDataSourcesHead, QORProtocolKonstants::kQORFontDataSourcesHead},
    {com_orvaleth_tessarine_fontBaseProtocolStatistics, QORProtocolKonstants::kQORFontProtocolStatistics},
}};

}  // namespace

std::optional<NSFont> fontForKey(const UserDefaults& defaults, std::string_view key) {
    const Value stored = defaults.objectForKey(std::string(key));
    const Value::List* list = stored.asList();
    if (!list || list->size() != 2) return std::nullopt;
    auto name = (*list)[0].asString();
    auto size = (*list)[1].asDouble();
    if (!name || name->empty() || !size || !(*size > 0) || *size > 1e6) return std::nullopt;
    return NSFont{std::move(*name), *size};
}

void setFont(UserDefaults& defaults, std::string_view key, const std::optional<NSFont>& font) {
    if (!font) {
        defaults.removeObject(std::string(key));
        return;
    }
    defaults.set(std::string(key), Value::List{Value(font->fontName), Value(font->pointSize)});
}

std::shared_ptr<QORAppearanceManager> QORAppearanceManager::shared() {
    // Never destroyed: the appearance slot holds it too and is torn down after the standard
    // defaults at exit, when removing the observers from them would be too late.
    static const auto* const manager = [] {
        auto* made = new std::shared_ptr<QORAppearanceManager>(
            std::make_shared<QORAppearanceManager>(UserDefaults::standard(), NotificationCenter::defaultCenter()));
        QORAppearance::setCurrent(*made);
        return made;
    }();
    return *manager;
}

QORAppearanceManager::QORAppearanceManager(UserDefaults& defaults, NotificationCenter& center)
    : defaults_(defaults), center_(center) {
    for (std::size_t i = 0; i < kFontCount; ++i) {
        const FontSetting& setting = kFontSettings[i];
        fonts_[i] = fontForKey(defaults_, setting.key);
        observers_[i] = defaults_.addObserver(
            std::string(setting.key), [this, i](const NSObject&, const KeyValueChange&) { reload(i); },
            kKeyValueObservingOptionNew);
    }
}

QORAppearanceManager::~QORAppearanceManager() {
    for (const KeyValueObservationToken& observer : observers_) defaults_.removeObserver(observer);
}

std::optional<NSFont> QORAppearanceManager::font(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return fonts_[index];
}

void QORAppearanceManager::reload(std::size_t index) {
    const FontSetting& setting = kFontSettings[index];
    auto fresh = fontForKey(defaults_, setting.key);
    {
        std::lock_guard lock(mutex_);
        fonts_[index] = std::move(fresh);
    }
    center_.post(std::string(rawValue(setting.notification)));
}

}  // namespace qor
