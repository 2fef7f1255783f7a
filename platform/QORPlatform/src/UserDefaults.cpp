#include "QORPlatform/UserDefaults.hpp"

#include <fstream>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>

#include "QORPlatform/Base64.hpp"
#include "QORPlatform/SearchPaths.hpp"

namespace qor {
namespace {

nlohmann::json toJson(const Value& v) {
    const auto& s = v.storage();
    if (auto* b = std::get_if<bool>(&s)) return *b;
    if (auto* i = std::get_if<std::int64_t>(&s)) return *i;
    if (auto* u = std::get_if<std::uint64_t>(&s)) return *u;
    if (auto* d = std::get_if<double>(&s)) return *d;
    if (auto* t = std::get_if<std::string>(&s)) return *t;
    if (auto* data = std::get_if<Data>(&s)) return nlohmann::json{{"$data", base64Encode(data->span())}};
    if (auto* date = std::get_if<Date>(&s)) return nlohmann::json{{"$date", date->secondsSince1970}};
    if (auto* list = std::get_if<Value::List>(&s)) {
        auto arr = nlohmann::json::array();
        for (auto& e : *list) arr.push_back(toJson(e));
        return arr;
    }
    return nullptr;
}

Value fromJson(const nlohmann::json& j) {
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number_unsigned()) return j.get<std::uint64_t>();
    if (j.is_number_integer()) return j.get<std::int64_t>();
    if (j.is_number_float()) return j.get<double>();
    if (j.is_string()) return j.get<std::string>();
    if (j.is_array()) {
        Value::List list;
        for (auto& e : j) list.push_back(fromJson(e));
        return list;
    }
    if (j.is_object() && j.size() == 1) {
        if (auto it = j.find("$data"); it != j.end() && it->is_string()) {
            if (auto d = base64Decode(it->get<std::string>())) return Data(std::move(*d));
        }
        if (auto it = j.find("$date"); it != j.end() && it->is_number()) return Date{it->get<double>()};
    }
    return {};
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(userConfigDirectory() / "Tessarine" / "defaults.json");
    return defaults;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

void UserDefaults::load() {
    if (file_.empty()) return;
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;
    auto doc = nlohmann::json::parse(in, nullptr, false);
    if (!doc.is_object()) return;
    for (auto& [key, value] : doc.items()) values_[key] = fromJson(value);
}

void UserDefaults::save() const {
    if (file_.empty()) return;
    nlohmann::json doc = nlohmann::json::object();
    for (auto& [key, value] : values_) doc[key] = toJson(value);
    AtomicWriteOptions options;
    options.createParentDirectories = true;
    options.synchronize = true;
    // Texts that are not UTF-8 are written with replacement characters rather than refused.
    const std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    writeFileAtomically(file_, [&](const AtomicWriteSink& sink) {
        return sink(std::as_bytes(std::span(text.data(), text.size())));
    }, options);
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? Value() : it->second;
}

bool UserDefaults::boolForKey(const std::string& key) const { return objectForKey(key).asBool().value_or(false); }
std::optional<Data> UserDefaults::dataForKey(const std::string& key) const { return objectForKey(key).asData(); }
std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const { return objectForKey(key).asString(); }

void UserDefaults::set(const std::string& key, Value value) {
    changeValueForKeys(
        {key}, [&] { return !(objectForKey(key) == value); },
        [&] {
            std::lock_guard lock(mutex_);
            if (value.isNone()) values_.erase(key);
            else values_[key] = std::move(value);
            save();
        });
}

void UserDefaults::removeObject(const std::string& key) { set(key, Value()); }

}  // namespace qor
