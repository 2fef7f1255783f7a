#include "QORPlatform/RuntimeClass.hpp"

namespace qor {

RuntimeClass::~RuntimeClass() = default;

bool RuntimeClass::isSubclassOf(const RuntimeClass& other) const {
    for (const RuntimeClass* c = this; c != nullptr; c = c->superclass()) {
        if (c == &other || c->name() == other.name()) return true;
    }
    return false;
}

ClassRegistry& ClassRegistry::shared() {
    static ClassRegistry registry;
    return registry;
}

void ClassRegistry::registerClass(std::shared_ptr<const RuntimeClass> cls) {
    if (!cls) return;
    std::lock_guard lock(mutex_);
    classes_[std::string(cls->name())] = std::move(cls);
}

void ClassRegistry::unregisterClass(std::string_view name) {
    std::lock_guard lock(mutex_);
    classes_.erase(std::string(name));
}

std::shared_ptr<const RuntimeClass> ClassRegistry::classNamed(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto it = classes_.find(std::string(name));
    return it == classes_.end() ? nullptr : it->second;
}

std::vector<std::string> ClassRegistry::classNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (auto& [name, _] : classes_) names.push_back(name);
    return names;
}

}  // namespace qor
