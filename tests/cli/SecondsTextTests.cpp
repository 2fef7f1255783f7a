// The microsecond writer of listings and ladders against fmt's "{:.6f}".

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "SecondsText.hpp"

namespace qor::cli {
namespace {

TEST(MicrosecondText, WritesFmtsDigitsOrLeavesTheTimeToFmt) {
    std::array<char, kMicrosecondTextRoom> buffer;
    std::size_t written = 0;
    auto check = [&](double seconds) {
        if (auto text = microsecondText(seconds, buffer)) {
            ++written;
            ASSERT_EQ(std::string(*text), fmt::format("{:.6f}", seconds)) << seconds;
        }
    };
    // Capture times as readers make them: whole seconds plus a fraction of a microsecond or
    // nanosecond clock, relative to a first packet, over a few days and both signs.
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double first = 1.7e9 + static_cast<double>(state >> 44);
        const double fraction = static_cast<double>((state >> 8) % 1000000000) / 1e9;
        const double later = first + static_cast<double>((state >> 20) % 400000) + fraction;
        check(later - first);
        check(first - later);
        check(static_cast<double>((state >> 12) % 100000000) / 1e6);
    }
    // Most times take the fast path; a nanosecond time within a tenth of a microsecond of a
    // half (a fifth of them) is left to fmt.
    EXPECT_GT(written, 500000u);
    for (double edge : {0.0, -0.0, 0.0000005, 0.0000015, 999999999.999999, 1e-7, 0.1, 2.5e-6}) check(edge);
    // Beyond its range, or not a number: left to fmt.
    for (double other : {1e9, -1e9, 4e12, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(microsecondText(other, buffer).has_value()) << other;
}

}  // namespace
}  // namespace qor::cli
