// Reading the library's keyed serialised form.

#include "QORModels/support/KeyedCoding.hpp"

#include <cmath>
#include <limits>

#include "QORPlatform/JSONNesting.hpp"

namespace qor {
namespace {

using json = nlohmann::json;

constexpr std::string_view kInvalidNumberOfKeys = "Invalid number of keys found, expected one.";

/// How a JSON value's type is named in messages.
std::string typeName(const json& value) {
    switch (value.type()) {
        case json::value_t::null: return "null";
        case json::value_t::object: return "a dictionary";
        case json::value_t::array: return "an array";
        case json::value_t::string: return "a string";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "a number";
        default: return "an unsupported value";
    }
}

}  // namespace

json parseKeyedDocument(std::string_view text, std::size_t maxDepth) {
    if (jsonNestsDeeperThan(text, maxDepth)) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                            "The document nests deeper than " + std::to_string(maxDepth) + " levels.");
    }
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag: the rest says what and where.
        std::string message = e.what();
        if (const auto end = message.find("] "); message.rfind("[json.exception.", 0) == 0 && end != std::string::npos) {
            message.erase(0, end + 2);
        }
        throw DecodingError(DecodingError::Kind::dataCorrupted, "", "The given data was not valid JSON: " + message);
    }
}

json taggedCase(std::string_view caseName, json fields) {
    json object = json::object();
    object[std::string(caseName)] = std::move(fields);
    return object;
}

void KeyedDecoder::fail(Kind kind, const std::string& message) const {
    std::string path;
    for (const std::string& key : path_) {
        if (!path.empty()) path += '.';
        path += key;
    }
    throw DecodingError(kind, std::move(path), message);
}

void KeyedDecoder::mismatch(std::string_view expected, const json& found) const {
    fail(Kind::typeMismatch, "Expected to decode " + std::string(expected) + " but found " + typeName(found) + " instead.");
}

std::pair<std::string_view, const json&> KeyedDecoder::caseOf(const json& value, std::span<const std::string_view> cases) {
    if (!value.is_object()) mismatch("a dictionary", value);
    std::optional<std::string_view> found;
    std::size_t count = 0;
    for (std::string_view name : cases) {
        if (value.contains(name)) {
            found = name;
            ++count;
        }
    }
    if (count != 1) fail(Kind::typeMismatch, std::string(kInvalidNumberOfKeys));
    const json& fields = value.find(*found).value();
    if (!fields.is_object()) {
        Scope scope(*this, *found);
        mismatch("a dictionary", fields);
    }
    return {*found, fields};
}

std::string KeyedDecoder::string(const json& value) {
    if (value.is_null()) fail(Kind::valueNotFound, "Expected String value but found null instead.");
    if (!value.is_string()) mismatch("String", value);
    return value.get<std::string>();
}

std::int64_t KeyedDecoder::integer(const json& value) {
    if (value.is_null()) fail(Kind::valueNotFound, "Expected Int value but found null instead.");
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return static_cast<std::int64_t>(n);
    } else if (value.is_number_float()) {
        const double n = value.get<double>();
        if (std::isfinite(n) && std::trunc(n) == n && n >= -9.2e18 && n <= 9.2e18) return static_cast<std::int64_t>(n);
    } else {
        mismatch("Int", value);
    }
    fail(Kind::dataCorrupted, "Parsed JSON number <" + value.dump() + "> does not fit in Int.");
}

double KeyedDecoder::number(const json& value) {
    if (value.is_null()) fail(Kind::valueNotFound, "Expected Double value but found null instead.");
    if (!value.is_number()) mismatch("Double", value);
    return value.get<double>();
}

bool KeyedDecoder::boolean(const json& value) {
    if (value.is_null()) fail(Kind::valueNotFound, "Expected Bool value but found null instead.");
    if (!value.is_boolean()) mismatch("Bool", value);
    return value.get<bool>();
}

UUID KeyedDecoder::uuid(const json& fields, std::string_view key) {
    return keyed(fields, key, [&](const json& v) {
        if (auto id = UUID::fromString(string(v))) return *id;
        fail(Kind::dataCorrupted, "Attempted to decode UUID from invalid UUID string.");
    });
}

}  // namespace qor
