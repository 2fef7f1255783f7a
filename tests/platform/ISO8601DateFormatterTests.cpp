// Dates in the ISO 8601 internet form, written in UTC and read with any offset.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "QORPlatform/ISO8601DateFormatter.hpp"

namespace qor {
namespace {

struct Written {
    double seconds;
    const char* text;
};

// Expected texts from GNU date: `date -u -d @<seconds> +%Y-%m-%dT%H:%M:%SZ`.
TEST(ISO8601DateFormatter, WritesUTCWholeSeconds) {
    const ISO8601DateFormatter formatter;
    for (const Written& w : {Written{0, "1970-01-01T00:00:00Z"}, Written{-1, "1969-12-31T23:59:59Z"},
                             Written{1714557600, "2024-05-01T10:00:00Z"}, Written{951782400, "2000-02-29T00:00:00Z"},
                             Written{1709164800, "2024-02-29T00:00:00Z"}, Written{-62135596800, "0001-01-01T00:00:00Z"},
                             Written{253402300799, "9999-12-31T23:59:59Z"},
                             // Fractions are dropped: the time is rounded down, before 1970 too.
                             Written{1714557600.999, "2024-05-01T10:00:00Z"}, Written{-0.25, "1969-12-31T23:59:59Z"}})
        EXPECT_EQ(formatter.string(Date{w.seconds}), w.text) << w.seconds;
}

TEST(ISO8601DateFormatter, DatesWithoutAFourDigitYearWriteNothing) {
    const ISO8601DateFormatter formatter;
    for (double seconds : {-62135596801.0, 253402300800.0, 1e300, -1e300, std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(formatter.string(Date{seconds}), "") << seconds;
}

// Expected seconds from GNU date: `date -u -d <text> +%s`.
TEST(ISO8601DateFormatter, ReadsZuluAndOffsets) {
    const ISO8601DateFormatter formatter;
    for (const Written& w : {Written{1714557600, "2024-05-01T10:00:00Z"}, Written{1714557600, "2024-05-01T12:30:00+02:30"},
                             Written{1714557600, "2024-05-01T04:00:00-06:00"}, Written{1714557600, "2024-05-01T10:00:00+00:00"},
                             Written{1714557600, "2024-05-01T10:00:00-00:00"}, Written{-62135596800, "0001-01-01T00:00:00Z"},
                             Written{253402300799, "9999-12-31T23:59:59Z"}, Written{951782400, "2000-02-29T00:00:00Z"},
                             Written{-62135596800 - 3600, "0001-01-01T00:00:00+01:00"}}) {
        const auto date = formatter.date(w.text);
        ASSERT_TRUE(date) << w.text;
        EXPECT_EQ(date->secondsSince1970, w.seconds) << w.text;
    }
}

TEST(ISO8601DateFormatter, RefusesEverythingElse) {
    const ISO8601DateFormatter formatter;
    for (const char* text : {
             "",
             "2024-05-01",
             "2024-05-01T10:00:00",          // no zone
             "2024-05-01 10:00:00Z",         // blank for T
             "2024-05-01t10:00:00z",         // lower case
             "2024-05-01T10:00:00.5Z",       // fractional seconds
             "2024-05-01T10:00:00+0200",     // compact offset
             "2024-05-01T10:00:00+02",       // hours only
             "2024-05-01T10:00:00 Z",
             "2024-05-01T10:00:00Z ",        // trailing text
             " 2024-05-01T10:00:00Z",
             "2024-5-01T10:00:00Z0",
             "20240501T100000Z",             // basic format
             "2024-13-01T10:00:00Z",
             "2024-00-01T10:00:00Z",
             "2024-05-00T10:00:00Z",
             "2023-02-29T10:00:00Z",         // not a leap year
             "2024-04-31T10:00:00Z",
             "2024-05-01T24:00:00Z",
             "2024-05-01T10:60:00Z",
             "2024-05-01T10:00:60Z",
             "0000-01-01T00:00:00Z",
             "2024-05-01T10:00:00+24:00",
             "2024-05-01T10:00:00+02:60",
             "2024-05-01T10:00:00*02:00",
             "+2024-05-01T10:00:00Z",
             "2024-05-01T10:00:00+-2:00",
         })
        EXPECT_FALSE(formatter.date(text)) << text;
}

TEST(ISO8601DateFormatter, EveryWrittenTextReadsBackAsItsSecond) {
    const ISO8601DateFormatter formatter;
    for (double seconds = -62135596800.0; seconds < 253402300800.0; seconds += 7777777.0 + 0.5) {
        const auto back = formatter.date(formatter.string(Date{seconds}));
        ASSERT_TRUE(back) << seconds;
        EXPECT_EQ(back->secondsSince1970, std::floor(seconds)) << seconds;
    }
}

}  // namespace
}  // namespace qor
