#include "QORPlatform/Value.hpp"

#include <cmath>
#include <fmt/format.h>

#include "QORPlatform/NSObject.hpp"

namespace qor {

bool Value::isNumber() const noexcept {
    return std::holds_alternative<std::int64_t>(storage_) || std::holds_alternative<std::uint64_t>(storage_) ||
           std::holds_alternative<double>(storage_) || std::holds_alternative<bool>(storage_);
}

std::optional<std::string> Value::asString() const& {
    if (auto* s = std::get_if<std::string>(&storage_)) return *s;
    return std::nullopt;
}

std::optional<std::string> Value::asString() && {
    if (auto* s = std::get_if<std::string>(&storage_)) return std::move(*s);
    return std::nullopt;
}

std::optional<bool> Value::asBool() const {
    if (auto* b = std::get_if<bool>(&storage_)) return *b;
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return *i != 0;
    if (auto* u = std::get_if<std::uint64_t>(&storage_)) return *u != 0;
    if (auto* d = std::get_if<double>(&storage_)) return *d != 0;
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInt() const {
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
    if (auto* u = std::get_if<std::uint64_t>(&storage_)) {
        if (*u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(*u);
        return std::nullopt;
    }
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? 1 : 0;
    if (auto* d = std::get_if<double>(&storage_)) {
        if (std::isfinite(*d) && std::trunc(*d) == *d && std::fabs(*d) < 9.2e18) return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Value::asUInt() const {
    if (auto* u = std::get_if<std::uint64_t>(&storage_)) return *u;
    if (auto i = asInt(); i && *i >= 0) return static_cast<std::uint64_t>(*i);
    return std::nullopt;
}

std::optional<double> Value::asDouble() const {
    if (auto* d = std::get_if<double>(&storage_)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*i);
    if (auto* u = std::get_if<std::uint64_t>(&storage_)) return static_cast<double>(*u);
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? 1.0 : 0.0;
    if (auto* t = std::get_if<Date>(&storage_)) return t->secondsSince1970;
    return std::nullopt;
}

std::optional<Data> Value::asData() const {
    if (auto* d = std::get_if<Data>(&storage_)) return *d;
    return std::nullopt;
}

std::optional<Date> Value::asDate() const {
    if (auto* d = std::get_if<Date>(&storage_)) return *d;
    return std::nullopt;
}

Value::ObjectRef Value::asObject() const {
    if (auto* o = std::get_if<ObjectRef>(&storage_)) return *o;
    return nullptr;
}

std::string Value::description() const {
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(bool b) const { return b ? "1" : "0"; }
        std::string operator()(std::int64_t i) const { return fmt::format("{}", i); }
        std::string operator()(std::uint64_t u) const { return fmt::format("{}", u); }
        std::string operator()(double d) const { return fmt::format("{}", d); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const Data& d) const {
            std::string out;
            out.reserve(d.size() * 2);
            static constexpr char kHex[] = "0123456789abcdef";
            for (auto b : d) {
                out.push_back(kHex[static_cast<unsigned>(b) >> 4]);
                out.push_back(kHex[static_cast<unsigned>(b) & 15]);
            }
            return out;
        }
        std::string operator()(const Date& t) const { return fmt::format("{}", t.secondsSince1970); }
        std::string operator()(const List& l) const {
            std::string out = "(";
            for (std::size_t i = 0; i < l.size(); ++i) out += (i ? ", " : "") + l[i].description();
            return out + ")";
        }
        std::string operator()(const ObjectRef& o) const { return o ? o->description() : std::string(); }
    };
    return std::visit(Visitor{}, storage_);
}

bool operator==(const Value& a, const Value& b) {
    if (a.isNumber() && b.isNumber()) {
        if (auto ai = a.asInt(), bi = b.asInt(); ai && bi) return *ai == *bi;
        return a.asDouble() == b.asDouble();
    }
    if (auto* ao = std::get_if<Value::ObjectRef>(&a.storage_)) {
        auto* bo = std::get_if<Value::ObjectRef>(&b.storage_);
        if (!bo) return false;
        if (!*ao || !*bo) return *ao == *bo;
        return (*ao)->isEqual(**bo);
    }
    return a.storage_ == b.storage_;
}

}  // namespace qor
