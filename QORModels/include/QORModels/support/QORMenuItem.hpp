#pragma once
// An observable menu entry.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QORPlatform/AppKit.hpp"
#include "QORPlatform/NSObject.hpp"
#include "QORPlatform/UUID.hpp"

namespace qor {

/// A menu entry with its sub-entries, bound to a menu of the application.
///
/// Key-value access: "id" (UUID text), "title", "identifier" (the identifier's raw value),
/// "isSelected" and "items" (a list of the entries). The setters announce their change to
/// key-value observers. Equal and hashed by identity: two entries with the same title are two
/// entries. Used on the main thread only.
class QORMenuItem : public NSObject {
public:
    QORMenuItem(std::string title, NSUserInterfaceItemIdentifier identifier, bool isSelected = false);

    [[nodiscard]] const UUID& id() const noexcept { return id_; }
    [[nodiscard]] const std::string& title() const noexcept { return title_; }
    void setTitle(std::string title);
    [[nodiscard]] const NSUserInterfaceItemIdentifier& identifier() const noexcept { return identifier_; }
    [[nodiscard]] bool isSelected() const noexcept { return isSelected_; }
    void setSelected(bool selected);
    [[nodiscard]] const std::vector<std::shared_ptr<QORMenuItem>>& items() const noexcept { return items_; }
    void setItems(std::vector<std::shared_ptr<QORMenuItem>> items);

    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    [[nodiscard]] std::string_view className() const override { return "QORMenuItem"; }
    [[nodiscard]] std::size_t hash() const noexcept { return std::hash<const void*>()(this); }
    friend bool operator==(const QORMenuItem& a, const QORMenuItem& b) noexcept { return &a == &b; }

private:
    UUID id_;
    std::string title_;
    NSUserInterfaceItemIdentifier identifier_;
    bool isSelected_ = false;
    std::vector<std::shared_ptr<QORMenuItem>> items_;
};

}  // namespace qor

template <>
struct std::hash<qor::QORMenuItem> {
    std::size_t operator()(const qor::QORMenuItem& item) const noexcept { return item.hash(); }
};
