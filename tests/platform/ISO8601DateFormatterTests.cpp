// Dates in the ISO 8601 internet form, written in UTC and read with any offset.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "QORPlatform/ISO8601DateFormatter.hpp"

namespace qor {
namespace {

// Expected texts and seconds from GNU date (`date -u -d @<seconds> +%Y-%m-%dT%H:%M:%SZ` and
// `date -u -d <text> +%s`).
const std::vector<std::pair<double, const char*>> kUTC{
    {0, "1970-01-01T00:00:00Z"},          {-1, "1969-12-31T23:59:59Z"},         {1714557600, "2024-05-01T10:00:00Z"},
    {951782400, "2000-02-29T00:00:00Z"},  {-62135596800, "0001-01-01T00:00:00Z"}, {253402300799, "9999-12-31T23:59:59Z"}};

TEST(ISO8601DateFormatter, WritesUTCWholeSecondsReadsZuluAndOffsetsAndReadsItsOwnTextsBack) {
    const ISO8601DateFormatter formatter;
    for (const auto& [seconds, text] : kUTC) EXPECT_EQ(formatter.string(Date{seconds}), text);
    EXPECT_EQ(formatter.string(Date{1714557600.999}), "2024-05-01T10:00:00Z");  // rounded down,
    EXPECT_EQ(formatter.string(Date{-0.25}), "1969-12-31T23:59:59Z");           // before 1970 too
    for (double outside : {-62135596801.0, 253402300800.0, 1e300, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(formatter.string(Date{outside}), "") << outside;

    std::vector<std::pair<double, const char*>> cases = kUTC;
    cases.insert(cases.end(), {{1714557600, "2024-05-01T12:30:00+02:30"}, {1714557600, "2024-05-01T04:00:00-06:00"},
                               {-62135596800 - 3600, "0001-01-01T00:00:00+01:00"}});
    for (const auto& [seconds, text] : cases) EXPECT_EQ(formatter.date(text), std::optional<Date>(Date{seconds})) << text;
    // Every written text reads back as its (whole) second.
    for (double seconds = -62135596800.0; seconds < 253402300800.0; seconds += 7777777.5)
        ASSERT_EQ(formatter.date(formatter.string(Date{seconds})), std::optional<Date>(Date{std::floor(seconds)})) << seconds;
}

TEST(ISO8601DateFormatter, RefusesEverythingElse) {
    const ISO8601DateFormatter formatter;
    for (const char* text : {"", "2024-05-01", "2024-05-01T10:00:00", "2024-05-01 10:00:00Z", "2024-05-01t10:00:00z",
                             "2024-05-01T10:00:00.5Z", "2024-05-01T10:00:00+0200", "2024-05-01T10:00:00Z ", "20240501T100000Z",
                             "2024-13-01T10:00:00Z", "2023-02-29T10:00:00Z", "2024-04-31T10:00:00Z", "2024-05-01T24:00:00Z",
                             "2024-05-01T10:00:60Z", "0000-01-01T00:00:00Z", "2024-05-01T10:00:00+02:60",
                             "2024-05-01T10:00:00+-2:00"})
        EXPECT_FALSE(formatter.date(text)) << text;
}

}  // namespace
}  // namespace qor
