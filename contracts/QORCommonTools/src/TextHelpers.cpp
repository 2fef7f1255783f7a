#include "QORCommonTools/TextHelpers.hpp"

#include <algorithm>
#include <cmath>

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

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<std::byte>> bytesFromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<std::byte> bytes(hex.size() / 2);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const int high = hexDigitValue(hex[2 * k]), low = hexDigitValue(hex[2 * k + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[k] = static_cast<std::byte>(high << 4 | low);
    }
    return bytes;
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

bool isCalendarRepresentable(double seconds) noexcept {
    constexpr double kFirstSecond = -62135596800.0;  // 0001-01-01 00:00:00 UTC
    constexpr double kLastSecond = 253402300799.0;   // 9999-12-31 23:59:59 UTC
    return std::isfinite(seconds) && seconds >= kFirstSecond && seconds <= kLastSecond;
}

bool isValidUTF8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t min;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;  // a continuation byte where a character starts, or 0xF8 and above
        }
        if (n - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past Unicode's range.
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace qor
