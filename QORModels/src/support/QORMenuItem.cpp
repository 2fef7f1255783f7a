#include "QORModels/support/QORMenuItem.hpp"

namespace qor {

QORMenuItem::QORMenuItem(std::string title, NSUserInterfaceItemIdentifier identifier, bool isSelected)
    : title_(std::move(title)), identifier_(std::move(identifier)), isSelected_(isSelected) {}

void QORMenuItem::setTitle(std::string title) {
    changeValueForKeys({"title"}, [&] { return title != title_; }, [&] { title_ = std::move(title); });
}

void QORMenuItem::setSelected(bool selected) {
    changeValueForKeys({"isSelected"}, [&] { return selected != isSelected_; }, [&] { isSelected_ = selected; });
}

void QORMenuItem::setItems(std::vector<std::shared_ptr<QORMenuItem>> items) {
    changeValueForKeys({"items"}, [&] { return items != items_; }, [&] { items_ = std::move(items); });
}

Value QORMenuItem::valueForKey(std::string_view key) const {
    if (key == "id") return id_.uuidString();
    if (key == "title") return title_;
    if (key == "identifier") return identifier_.rawValue;
    if (key == "isSelected") return isSelected_;
    if (key == "items") return Value::List(items_.begin(), items_.end());
    return NSObject::valueForKey(key);
}

}  // namespace qor
