#pragma once
// Reading the texts of analyzer detail rows: trimming, lower-casing, and the numbers in them.

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORModels/sessions/SubscriberSession.hpp"

namespace qor {

inline std::string trimmed(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return std::string(text);
}

inline std::string lowercased(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

/// The number at the start of `text`: decimal, or hexadecimal after "0x".
inline std::optional<std::uint64_t> leadingCode(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

/// The number a detail row shows for a code: "Name (11)", "Name (0x09)", "11" or "0x0009", and
/// "11, more" for a code followed by other values.
inline std::optional<std::uint64_t> codeNumber(std::string_view text) {
    for (auto open = text.find('('); open != std::string_view::npos; open = text.find('(', open + 1)) {
        auto close = text.find(')', open);
        if (close == std::string_view::npos) break;
        auto inside = text.substr(open + 1, close - open - 1);
        if (auto n = leadingCode(inside); n && (inside.size() == std::to_string(*n).size() || inside.starts_with("0x")))
            return n;
    }
    return leadingCode(text);
}

}  // namespace qor
