#pragma once
// Times written as "{:.6f}" would write them, without fmt's general float machinery for the
// common case.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace qor::cli {

/// "00" to "99", for writing decimal digits two at a time.
inline constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

/// Room `microsecondText` needs: nine integer digits, the point, six digits and a sign.
inline constexpr std::size_t kMicrosecondTextRoom = 17;

/// `seconds` as "{:.6f}" writes it, written at the end of `buffer`, for the times listings and
/// ladders show: a few seconds to a few days relative to a first packet. fmt's exact
/// shortest-digits machinery for a double costs more than the rest of such a line's numbers
/// together; the time is rounded to whole microseconds in integer arithmetic instead, which
/// gives fmt's digits whenever the scaled value is not near a rounding tie (the product's error
/// is far below the margin kept). Nothing for other values (ties, 1e9 s and beyond, infinite or
/// NaN): the caller formats those with fmt.
inline std::optional<std::string_view> microsecondText(double seconds, std::array<char, kMicrosecondTextRoom>& buffer) {
    const double magnitude = std::fabs(seconds);
    if (!(magnitude < 1e9)) return std::nullopt;
    const double scaled = magnitude * 1e6;
    const double whole = std::nearbyint(scaled);
    if (!(std::fabs(scaled - whole) < 0.4)) return std::nullopt;
    const auto micros = static_cast<std::uint64_t>(whole);
    char* const end = buffer.data() + buffer.size();
    char* p = end;
    std::uint64_t fraction = micros % 1000000;
    for (int i = 0; i < 3; ++i, fraction /= 100) {
        p -= 2;
        std::memcpy(p, &kDigitPairs[2 * (fraction % 100)], 2);
    }
    *--p = '.';
    std::uint64_t integral = micros / 1000000;
    do {
        *--p = static_cast<char>('0' + integral % 10);
        integral /= 10;
    } while (integral != 0);
    if (std::signbit(seconds)) *--p = '-';
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

}  // namespace qor::cli
