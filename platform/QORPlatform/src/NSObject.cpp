#include "QORPlatform/NSObject.hpp"

#include <fmt/format.h>

namespace qor {

NSObject::~NSObject() = default;

Value NSObject::valueForKey(std::string_view key) const {
    if (key == "description") return description();
    return valueForUndefinedKey(key);
}

Value NSObject::valueForUndefinedKey(std::string_view) const { return {}; }

std::string NSObject::description() const {
    return fmt::format("<{}: {}>", className(), static_cast<const void*>(this));
}

Value NSObject::valueForKeyPath(std::string_view path) const {
    auto dot = path.find('.');
    Value head = valueForKey(path.substr(0, dot));
    if (dot == std::string_view::npos) return head;
    return qor::valueForKeyPath(head, path.substr(dot + 1));
}

Value valueForKeyPath(const Value& start, std::string_view path) {
    Value current = start;
    while (!path.empty()) {
        auto dot = path.find('.');
        auto key = path.substr(0, dot);
        if (auto obj = current.asObject()) {
            current = obj->valueForKey(key);
        } else if (key == "description" && !current.isNone()) {
            current = current.description();
        } else {
            return {};
        }
        if (dot == std::string_view::npos) break;
        path.remove_prefix(dot + 1);
    }
    return current;
}

}  // namespace qor
