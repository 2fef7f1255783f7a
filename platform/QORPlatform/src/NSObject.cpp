#include "QORPlatform/NSObject.hpp"

#include <fmt/format.h>

#include "KeyValueObservationRegistry.hpp"

namespace qor {

NSObject::~NSObject() { delete observationRegistry_.load(std::memory_order_acquire); }

KeyValueObservationRegistry& NSObject::observationRegistry() const {
    auto* registry = observationRegistry_.load(std::memory_order_acquire);
    if (registry) return *registry;
    auto* fresh = new KeyValueObservationRegistry;
    if (observationRegistry_.compare_exchange_strong(registry, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread installed one first
    return *registry;
}

bool NSObject::isObserved() const {
    auto* registry = observationRegistry_.load(std::memory_order_acquire);
    return registry && !registry->isEmpty();
}

KeyValueObservationToken NSObject::addObserver(std::string keyPath, KeyValueObserver observer, unsigned options) const {
    return observationRegistry().add(std::move(keyPath), std::move(observer), options);
}

bool NSObject::removeObserver(KeyValueObservationToken token) const {
    auto* registry = observationRegistry_.load(std::memory_order_acquire);
    return registry && registry->remove(token);
}

void NSObject::willChangeValueForKey(std::string_view key) const {
    if (auto* registry = observationRegistry_.load(std::memory_order_acquire)) registry->willChange(*this, key);
}

void NSObject::didChangeValueForKey(std::string_view key) const {
    if (auto* registry = observationRegistry_.load(std::memory_order_acquire)) registry->didChange(*this, key);
}

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
