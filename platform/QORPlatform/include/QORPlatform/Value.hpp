#pragma once
// The dynamic value that key-value access returns.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor {

class NSObject;

/// A point in time: seconds since 1970-01-01 00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date&, const Date&) = default;
    friend auto operator<=>(const Date&, const Date&) = default;
};

/// A dynamically typed value: none, bool, signed or unsigned integer, double, text, bytes,
/// date, list or object. Numbers convert between their kinds on request.
class Value {
public:
    using List = std::vector<Value>;
    using ObjectRef = std::shared_ptr<NSObject>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Data,
                                 Date, List, ObjectRef>;

    Value() = default;
    Value(std::nullopt_t) {}
    Value(bool v) : storage_(v) {}
    Value(int v) : storage_(std::int64_t{v}) {}
    Value(long v) : storage_(std::int64_t{v}) {}
    Value(long long v) : storage_(std::int64_t{v}) {}
    Value(unsigned v) : storage_(std::uint64_t{v}) {}
    Value(unsigned long v) : storage_(std::uint64_t{v}) {}
    Value(unsigned long long v) : storage_(std::uint64_t{v}) {}
    Value(unsigned short v) : storage_(std::uint64_t{v}) {}
    Value(unsigned char v) : storage_(std::uint64_t{v}) {}
    Value(double v) : storage_(v) {}
    Value(std::string v) : storage_(std::move(v)) {}
    Value(std::string_view v) : storage_(std::string(v)) {}
    Value(const char* v) : storage_(std::string(v)) {}
    Value(Data v) : storage_(std::move(v)) {}
    Value(Date v) : storage_(v) {}
    Value(List v) : storage_(std::move(v)) {}
    Value(ObjectRef v) : storage_(std::move(v)) {}
    template <class T>
    Value(const std::optional<T>& v) {
        if (v) *this = Value(*v);
    }

    [[nodiscard]] bool isNone() const noexcept { return std::holds_alternative<std::monostate>(storage_); }
    [[nodiscard]] bool isNumber() const noexcept;
    [[nodiscard]] bool isString() const noexcept { return std::holds_alternative<std::string>(storage_); }
    [[nodiscard]] const Storage& storage() const noexcept { return storage_; }

    [[nodiscard]] std::optional<std::string> asString() const&;
    /// The text of a value that is going away, moved out (`analyzer.value(key, bytes).asString()`).
    [[nodiscard]] std::optional<std::string> asString() &&;
    [[nodiscard]] const std::string* stringPtr() const noexcept { return std::get_if<std::string>(&storage_); }
    [[nodiscard]] std::optional<bool> asBool() const;
    /// Integers and whole doubles as signed 64-bit; nothing when out of range or not a number.
    [[nodiscard]] std::optional<std::int64_t> asInt() const;
    /// Non-negative integers as unsigned 64-bit.
    [[nodiscard]] std::optional<std::uint64_t> asUInt() const;
    [[nodiscard]] std::optional<double> asDouble() const;
    [[nodiscard]] std::optional<Data> asData() const;
    [[nodiscard]] std::optional<Date> asDate() const;
    [[nodiscard]] const List* asList() const noexcept { return std::get_if<List>(&storage_); }
    [[nodiscard]] ObjectRef asObject() const;

    /// The value's text as a description would print it: numbers in decimal, bytes in hex,
    /// objects by their description; empty for none.
    [[nodiscard]] std::string description() const;

    friend bool operator==(const Value& a, const Value& b);

private:
    Storage storage_;
};

}  // namespace qor
