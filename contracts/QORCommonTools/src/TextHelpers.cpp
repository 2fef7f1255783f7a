#include "QORCommonTools/TextHelpers.hpp"

#include <algorithm>

namespace qor {

bool isNumber(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string appendInterpolation(std::uint64_t value, int radix, std::string_view prefix, std::size_t width, bool uppercase) {
    if (radix < 2 || radix > 36) radix = 10;
    const char* digits = uppercase ? "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" : "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string body;
    do {
        body.push_back(digits[value % static_cast<unsigned>(radix)]);
        value /= static_cast<unsigned>(radix);
    } while (value);
    while (body.size() < width) body.push_back('0');
    std::reverse(body.begin(), body.end());
    return std::string(prefix) + body;
}

std::string appendInterpolation(std::string_view text, std::size_t toWidth, bool fillBlank) {
    if (text.size() >= toWidth) return std::string(text);
    return std::string(toWidth - text.size(), fillBlank ? ' ' : '0') + std::string(text);
}

char printableASCII(std::uint8_t byte) { return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.'; }

std::string_view trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace qor
