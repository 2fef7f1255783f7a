#include "QORPlatform/NotificationCenter.hpp"


#include "QORPlatform/NSObject.hpp"

namespace qor {

struct NotificationCenter::Entry {
    std::string name;
    const NSObject* object;
    Block block;
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const NSObject* object, Block block) {
    auto entry = std::make_shared<Entry>(Entry{name, object, std::move(block)});
    std::lock_guard lock(mutex_);
    entries_[std::move(name)].emplace(entry.get(), entry);
    return entry;
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
    if (!token) return;
    auto* entry = static_cast<const Entry*>(token.get());
    std::lock_guard lock(mutex_);
    auto it = entries_.find(entry->name);
    if (it == entries_.end()) return;
    it->second.erase(entry);
    if (it->second.empty()) entries_.erase(it);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(notification.name);
        if (it == entries_.end()) return;
        matching.reserve(it->second.size());
        for (auto& [_, e] : it->second) {
            if (!e->object || e->object == notification.object.get()) matching.push_back(e);
        }
    }
    for (auto& e : matching) e->block(notification);
}

void NotificationCenter::post(std::string name, std::shared_ptr<NSObject> object, std::map<std::string, Value> userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(name);
    return it == entries_.end() ? 0 : it->second.size();
}

}  // namespace qor
