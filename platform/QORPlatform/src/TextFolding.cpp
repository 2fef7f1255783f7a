#include "TextFolding.hpp"

#include "QORPlatform/NSComparisonPredicate.hpp"

namespace qor::predicate_text {
namespace {

// Base letters of U+00C0...U+017F under diacritic folding; '.' keeps the letter.
constexpr std::string_view kLatinBase =
    "AAAAAA.CEEEEIIII.NOOOOO..UUUUY.."  // U+00C0
    "aaaaaa.ceeeeiiii.nooooo..uuuuy.y"  // U+00E0
    "AaAaAaCcCcCcCcDd..EeEeEeEeEeGgGg"  // U+0100
    "GgGgHh..IiIiIiIiI...JjKk.LlLlLl."  // U+0120
    "...NnNnNn...OoOoOo..RrRrRrSsSsSs"  // U+0140
    "SsTtTt..UuUuUuUuUuUuWwYyYZzZzZz.";  // U+0160

constexpr char32_t kCombiningFirst = 0x300, kCombiningLast = 0x36F;

char32_t withoutDiacritic(char32_t c) {
    if (c >= 0xC0 && c <= 0x17F) {
        char base = kLatinBase[c - 0xC0];
        if (base != '.') return static_cast<char32_t>(base);
    }
    return c;
}

/// Simple lower-case mapping; 0 means "fold to ss".
char32_t lowerCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0xC0) return c;
    if (c <= 0xDE) return c == 0xD7 ? c : c + 32;
    if (c == 0xDF || c == 0x1E9E) return 0;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130) return 'i';
        if (c == 0x178) return 0xFF;
        if (c == 0x17F) return 's';
        const bool evenUpper = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if ((evenUpper && c % 2 == 0) || (oddUpper && c % 2 == 1)) return c + 1;
        return c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c == 0x3C2) return 0x3C3;  // final sigma
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

}  // namespace

static_assert(kLatinBase.size() == 0x180 - 0xC0);

CodePoint decodeUTF8(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80) return {b0, 1, true};
    std::size_t length;
    char32_t value, minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, value = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, value = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, value = b0 & 0x07, minimum = 0x10000;
    } else {
        return {b0, 1, false};
    }
    if (text.size() - at < length) return {b0, 1, false};
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(at + i);
        if ((b & 0xC0) != 0x80) return {b0, 1, false};
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {b0, 1, false};
    return {value, length, true};
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string fold(std::string_view text, unsigned options) {
    const bool caseless = options & NSCaseInsensitivePredicateOption;
    const bool diacriticless = options & NSDiacriticInsensitivePredicateOption;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const CodePoint cp = decodeUTF8(text, i);
        if (!cp.valid) {
            out.push_back(text[i]);
        } else if (cp.value < 0x80) {
            char c = static_cast<char>(cp.value);
            out.push_back(caseless && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
        } else {
            char32_t c = cp.value;
            if (diacriticless) {
                if (c >= kCombiningFirst && c <= kCombiningLast) {
                    i += cp.length;
                    continue;
                }
                c = withoutDiacritic(c);
            }
            if (caseless) c = lowerCase(c);
            if (c == 0) {
                out += "ss";
            } else {
                appendUTF8(out, c);
            }
        }
        i += cp.length;
    }
    return out;
}

}  // namespace qor::predicate_text
