#include "QORPlatform/ISO8601DateFormatter.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace qor {
namespace {

using std::chrono::days;
using std::chrono::sys_days;

/// The seconds from 1970 of 0001-01-01T00:00:00Z and of 10000-01-01T00:00:00Z: the dates the
/// four-digit year of the internet form can hold lie between them.
constexpr double kFirstSecond = -62135596800.0;
constexpr double kEndSecond = 253402300800.0;

/// The value of `count` decimal digits at `text[at]`, or nothing when one is not a digit.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string ISO8601DateFormatter::string(Date date) const {
    const double seconds = std::floor(date.secondsSince1970);
    if (!(seconds >= kFirstSecond && seconds < kEndSecond)) return {};
    const auto whole = static_cast<std::int64_t>(seconds);
    const std::int64_t dayNumber = whole >= 0 ? whole / 86400 : -((-whole + 86399) / 86400);
    const std::int64_t secondOfDay = whole - dayNumber * 86400;
    const std::chrono::year_month_day ymd{sys_days{days{dayNumber}}};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                  static_cast<int>(secondOfDay % 60));
    return out;
}

std::optional<Date> ISO8601DateFormatter::date(std::string_view text) const {
    // 0123456789012345678 then "Z" (length 20) or "+hh:mm" (length 25)
    // yyyy-MM-ddTHH:mm:ss
    if (text.size() != 20 && text.size() != 25) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') return std::nullopt;
    const auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*year < 1 || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year{*year}, std::chrono::month{static_cast<unsigned>(*month)},
                                          std::chrono::day{static_cast<unsigned>(*day)}};
    if (!ymd.ok()) return std::nullopt;

    std::int64_t offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z') return std::nullopt;
    } else {
        const char sign = text[19];
        if ((sign != '+' && sign != '-') || text[22] != ':') return std::nullopt;
        const auto offsetHours = digits(text, 20, 2), offsetMinutes = digits(text, 23, 2);
        if (!offsetHours || !offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
        offsetSeconds = (*offsetHours * 3600 + *offsetMinutes * 60) * (sign == '+' ? 1 : -1);
    }
    const std::int64_t dayNumber = sys_days{ymd}.time_since_epoch().count();
    const std::int64_t local = dayNumber * 86400 + *hour * 3600 + *minute * 60 + *second;
    return Date{static_cast<double>(local - offsetSeconds)};
}

}  // namespace qor
