#pragma once
// The serialised form shared by the library's tagged-variant values (capture-filter trees,
// display-filter trees, saved queries): JSON objects read with the path of every value kept for
// the error, refusing documents nested deeper than a fixed limit.
//
// Every tagged variant is an object with exactly one key, the case name, whose value is an
// object of the case's fields; a case whose only field has no name keeps it under "_0". Reading
// counts the keys that name a case and fails with "Invalid number of keys found, expected one."
// unless there is exactly one; other keys are ignored.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "QORPlatform/UUID.hpp"

namespace qor {

/// A failure to read a serialised value: what kind of failure, where in the document (a dotted
/// path of keys and array indices, empty for the top level) and why.
///
/// An immutable value, safe to share between threads.
class DecodingError : public std::runtime_error {
public:
    enum class Kind {
        typeMismatch,   ///< a value of another type than expected, or not exactly one case key
        keyNotFound,    ///< a required field is missing
        valueNotFound,  ///< a required field is null
        dataCorrupted,  ///< not JSON, nested too deeply, an unknown raw value or a malformed UUID
    };
    DecodingError(Kind kind, std::string codingPath, const std::string& message)
        : std::runtime_error(message), kind_(kind), codingPath_(std::move(codingPath)) {}
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] const std::string& codingPath() const { return codingPath_; }
    /// The message, preceded by "at PATH: " when the failure is not at the top level.
    [[nodiscard]] std::string description() const {
        return codingPath_.empty() ? std::string(what()) : "at " + codingPath_ + ": " + what();
    }

private:
    Kind kind_;
    std::string codingPath_;
};

/// Parses JSON text, refusing arrays and objects nested `maxDepth` deep or more before parsing
/// (before a hostile document is built in memory), in time linear in the text. Throws `DecodingError` (`dataCorrupted`).
nlohmann::json parseKeyedDocument(std::string_view text, std::size_t maxDepth);

/// An object with one key, the case name, holding `fields`.
nlohmann::json taggedCase(std::string_view caseName, nlohmann::json fields);

/// Reads values of one document, keeping the path to the value being read for its errors.
/// Readers of a particular tree derive from it and add their cases.
class KeyedDecoder {
public:
    using json = nlohmann::json;
    using Kind = DecodingError::Kind;

protected:
    /// Pushes a key on the path for the lifetime of the scope.
    struct Scope {
        Scope(KeyedDecoder& d, std::string_view key) : decoder(d) { decoder.path_.emplace_back(key); }
        ~Scope() { decoder.path_.pop_back(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        KeyedDecoder& decoder;
    };

    [[noreturn]] void fail(Kind kind, const std::string& message) const;
    [[noreturn]] void mismatch(std::string_view expected, const json& found) const;

    /// The one case key of a tagged variant and the object of its fields.
    std::pair<std::string_view, const json&> caseOf(const json& value, std::span<const std::string_view> cases);

    /// Runs `read` on the value of the required field `key`, with the key on the path.
    template <class Read>
    auto keyed(const json& fields, std::string_view key, Read read) -> std::invoke_result_t<Read, const json&> {
        const auto it = fields.find(key);
        if (it == fields.end()) fail(Kind::keyNotFound, "No value associated with key \"" + std::string(key) + "\".");
        Scope scope(*this, key);
        return read(*it);
    }
    /// The optional field `key`: nothing when absent or null.
    template <class Read>
    auto optionalKeyed(const json& fields, std::string_view key, Read read) -> std::optional<decltype(read(fields))> {
        const auto it = fields.find(key);
        if (it == fields.end() || it->is_null()) return std::nullopt;
        Scope scope(*this, key);
        return read(*it);
    }
    /// Runs `read` on every item of an array, with the index on the path.
    template <class Read>
    auto items(const json& list, Read read) -> std::vector<std::invoke_result_t<Read, const json&>> {
        if (!list.is_array()) mismatch("an array", list);
        std::vector<std::invoke_result_t<Read, const json&>> out;
        out.reserve(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            Scope item(*this, std::to_string(i));
            out.push_back(read(list[i]));
        }
        return out;
    }

    std::string string(const json& value);
    /// Whole numbers in the signed 64-bit range, also when written with a fraction or exponent.
    std::int64_t integer(const json& value);
    double number(const json& value);
    bool boolean(const json& value);

    std::string text(const json& fields, std::string_view key) {
        return keyed(fields, key, [&](const json& v) { return string(v); });
    }
    std::optional<std::string> optionalText(const json& fields, std::string_view key) {
        return optionalKeyed(fields, key, [&](const json& v) { return string(v); });
    }
    std::optional<std::int64_t> optionalInteger(const json& fields, std::string_view key) {
        return optionalKeyed(fields, key, [&](const json& v) { return integer(v); });
    }
    bool flag(const json& fields, std::string_view key) {
        return keyed(fields, key, [&](const json& v) { return boolean(v); });
    }
    UUID uuid(const json& fields, std::string_view key);

private:
    std::vector<std::string> path_;
};

}  // namespace qor
