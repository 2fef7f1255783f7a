#pragma once
// How filter values are written as text.

#include <string>

#include "QORPlatform/Value.hpp"

namespace qor {

/// The shortest decimal text that reads back as `value`, with ".0" after a whole number in
/// positional form: 1.0, 0.1, 1500.0, 1e+16, 1e-05, inf, nan.
std::string shortestDecimalText(double value);

/// A date as the platform describes one by default: "2024-05-01 10:00:00 +0000" (UTC, whole
/// seconds).
std::string dateDescription(Date date);

}  // namespace qor
