// Trimming of blanks and line breaks in capture-filter texts.

#include "BPFFilterTextTrimming.hpp"

#include <cstddef>
#include <cstdint>

namespace qor::bpf_detail {
namespace {

/// Whether `cp` is a blank: tab or a character of the Unicode space-separator category.
bool isBlank(std::uint32_t cp) {
    return cp == 0x09 || cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

/// Whether `cp` is a line break: LF, VT, FF, CR, NEL, LINE SEPARATOR or PARAGRAPH SEPARATOR.
bool isLineBreak(std::uint32_t cp) { return (cp >= 0x0A && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029; }

/// Decodes the well-formed UTF-8 sequence of 1 to 3 bytes starting at `text[i]` (every character
/// that can be trimmed lies below U+10000). Gives the code point and its length, or length 0.
struct Decoded {
    std::uint32_t cp = 0;
    std::size_t length = 0;
};

Decoded decodeAt(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) return {b0, 1};
    if ((b0 & 0xE0) == 0xC0 && i + 1 < text.size() && (byte(i + 1) & 0xC0) == 0x80) {
        return {(std::uint32_t(b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F), 2};
    }
    if ((b0 & 0xF0) == 0xE0 && i + 2 < text.size() && (byte(i + 1) & 0xC0) == 0x80 && (byte(i + 2) & 0xC0) == 0x80) {
        return {(std::uint32_t(b0 & 0x0F) << 12) | (std::uint32_t(byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F), 3};
    }
    return {};
}

template <class Predicate>
std::string_view trimming(std::string_view text, Predicate trims) {
    // Leading characters.
    std::size_t start = 0;
    while (start < text.size()) {
        const Decoded d = decodeAt(text, start);
        if (d.length == 0 || !trims(d.cp)) break;
        start += d.length;
    }
    // Trailing characters: step back over at most three bytes to find where the last character starts.
    std::size_t end = text.size();
    while (end > start) {
        bool trimmed = false;
        for (std::size_t length = 1; length <= 3 && length <= end - start; ++length) {
            const Decoded d = decodeAt(text, end - length);
            if (d.length == length) {
                if (trims(d.cp)) {
                    end -= length;
                    trimmed = true;
                }
                break;
            }
        }
        if (!trimmed) break;
    }
    return text.substr(start, end - start);
}

}  // namespace

std::string_view trimmingBlanks(std::string_view text) { return trimming(text, isBlank); }

std::string_view trimmingBlanksAndLineBreaks(std::string_view text) {
    return trimming(text, [](std::uint32_t cp) { return isBlank(cp) || isLineBreak(cp); });
}

}  // namespace qor::bpf_detail
