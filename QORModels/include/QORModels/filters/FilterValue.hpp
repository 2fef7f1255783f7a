#pragma once
// The value a display-filter row compares a packet's attribute with.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "QORPlatform/Value.hpp"

namespace qor {

/// A tagged variant of five cases, each with one payload: `String` (text), `Int` (signed 64-bit),
/// `Double`, `Date` (a point in time) and `ProtocolName` (a protocol's name as the analyzers
/// report it). The case names in the serialised form are "string", "int", "double", "date" and
/// "protocolName" (`caseName`).
///
/// A plain value: copied on assignment, compared and hashed by case and payload.
class FilterValue {
public:
    struct String {
        std::string value;
        friend bool operator==(const String&, const String&) = default;
    };
    struct Int {
        std::int64_t value = 0;
        friend bool operator==(const Int&, const Int&) = default;
    };
    struct Double {
        double value = 0;
        friend bool operator==(const Double&, const Double&) = default;
    };
    struct Date {
        qor::Date value;
        friend bool operator==(const Date&, const Date&) = default;
    };
    struct ProtocolName {
        std::string value;
        friend bool operator==(const ProtocolName&, const ProtocolName&) = default;
    };
    using Storage = std::variant<String, Int, Double, Date, ProtocolName>;

    /// The empty text.
    FilterValue() : storage_(String{}) {}
    FilterValue(String v) : storage_(std::move(v)) {}              // NOLINT: implicit by design
    FilterValue(Int v) : storage_(v) {}                            // NOLINT
    FilterValue(Double v) : storage_(v) {}                         // NOLINT
    FilterValue(Date v) : storage_(v) {}                           // NOLINT
    FilterValue(ProtocolName v) : storage_(std::move(v)) {}        // NOLINT

    [[nodiscard]] const Storage& value() const { return storage_; }
    template <class Case>
    [[nodiscard]] const Case* getIf() const {
        return std::get_if<Case>(&storage_);
    }
    /// "string", "int", "double", "date" or "protocolName".
    [[nodiscard]] std::string_view caseName() const;
    /// True only for a `String` or `ProtocolName` without characters (a text of blanks is not
    /// empty; numbers and dates never are).
    [[nodiscard]] bool isEmpty() const;
    /// The payload as a dynamic value: text, signed integer, double or date.
    [[nodiscard]] Value payload() const;

    [[nodiscard]] std::size_t hashValue() const;
    friend bool operator==(const FilterValue&, const FilterValue&) = default;

private:
    Storage storage_;
};

}  // namespace qor

template <>
struct std::hash<qor::FilterValue> {
    std::size_t operator()(const qor::FilterValue& v) const noexcept { return v.hashValue(); }
};
