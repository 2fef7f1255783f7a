#include "QORModels/filters/FilterValueText.hpp"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

namespace qor {

std::string shortestDecimalText(double value) {
    std::string text = fmt::format("{}", value);
    if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
    return text;
}

std::string dateDescription(Date date) {
    const double whole = std::floor(date.secondsSince1970);
    std::tm parts{};
    // Beyond a few million years the calendar fields no longer fit; such a date is not a date a
    // filter means, and it is shown as the earliest one.
    if (!(std::fabs(whole) < 1e14)) return "0001-01-01 00:00:00 +0000";
    const auto seconds = static_cast<std::time_t>(whole);
    if (!::gmtime_r(&seconds, &parts)) return "0001-01-01 00:00:00 +0000";
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} +0000", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                       parts.tm_hour, parts.tm_min, parts.tm_sec);
}

}  // namespace qor
