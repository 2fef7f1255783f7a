#pragma once
// Text and list helpers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

/// True when the text is non-empty and every character is a decimal digit.
bool isNumber(std::string_view text);

/// Consecutive pieces of at most `size` elements (size 0 gives one piece holding everything).
template <class T>
std::vector<std::vector<T>> chunked(const std::vector<T>& list, std::size_t size) {
    std::vector<std::vector<T>> out;
    if (list.empty()) return out;
    if (size == 0) return {list};
    for (std::size_t i = 0; i < list.size(); i += size) {
        out.emplace_back(list.begin() + static_cast<std::ptrdiff_t>(i),
                         list.begin() + static_cast<std::ptrdiff_t>(std::min(i + size, list.size())));
    }
    return out;
}

/// An integer in `radix` (2 to 36), with an optional prefix, zero-padded to `width` digits,
/// upper or lower case: appendInterpolation(255, radix 16, prefix "0x", width 4) gives "0x00ff".
std::string appendInterpolation(std::uint64_t value, int radix, std::string_view prefix = {}, std::size_t width = 0,
                                bool uppercase = false);
/// Text right-aligned to `width` characters, padded with blanks when `fillBlank` is set and
/// with zeros otherwise; longer text is kept whole.
std::string appendInterpolation(std::string_view text, std::size_t toWidth, bool fillBlank);

/// The value of a hexadecimal digit of either case, or -1 for any other character.
int hexDigitValue(char c) noexcept;
/// The bytes that consecutive pairs of hexadecimal digits name ("00ff" gives 0x00 0xff);
/// nothing for an odd number of digits or any other character. The empty text gives no bytes.
std::optional<std::vector<std::byte>> bytesFromHex(std::string_view hex);

/// The printable-ASCII form of a byte: the character itself for 0x20...0x7E, "." otherwise.
char printableASCII(std::uint8_t byte);

/// Whether the bytes are well-formed UTF-8 (RFC 3629): shortest forms only, no surrogate code
/// points (U+D800 to U+DFFF), nothing above U+10FFFF. The empty text is valid.
bool isValidUTF8(std::string_view text) noexcept;

/// Whether seconds since 1970 name a moment the calendar texts can show: finite, and within the
/// years 1 to 9999. A capture's timestamp can count up to 2^64 units of its resolution, which
/// no `time_t` conversion may be asked to hold.
bool isCalendarRepresentable(double seconds) noexcept;

/// Text with leading and trailing white space removed.
std::string_view trimmed(std::string_view text);
/// Splits text into lines at any newline character ("\n", "\r", "\r\n" count once).
std::vector<std::string_view> splitLines(std::string_view text);

}  // namespace qor
