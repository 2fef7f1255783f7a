#pragma once
// Dates as ISO 8601 internet date-time texts.

#include <optional>
#include <string>
#include <string_view>

#include "QORPlatform/Value.hpp"

namespace qor {

/// Writes and reads dates in the ISO 8601 internet date-time form (RFC 3339 without fractional
/// seconds), the default settings of the platform's ISO 8601 formatter:
///
///     yyyy-MM-ddTHH:mm:ssZ          written, always in UTC: "2024-05-01T10:00:00Z"
///     yyyy-MM-ddTHH:mm:ss±hh:mm     also read; the offset is taken away to give UTC
///
/// Fractional seconds are dropped on writing (the time is rounded down to its second). Reading
/// is strict: exactly the layout above with upper-case "T" and "Z", a valid calendar day, hours
/// 00-23, minutes and seconds 00-59, offsets up to 23:59; anything else (a date alone, fractional
/// seconds, a blank instead of "T", a compact "+0200" offset, trailing text) gives nothing.
///
/// Stateless and immutable: one instance may be shared by any number of threads.
class ISO8601DateFormatter {
public:
    /// The internet form of `date` in UTC. Only years 0001 to 9999 have that form; a date
    /// outside them (or not finite) gives the empty text, which `date(from:)` refuses.
    [[nodiscard]] std::string string(Date date) const;
    /// The date that `text` names, or nothing when it is not in the internet form.
    [[nodiscard]] std::optional<Date> date(std::string_view text) const;
};

}  // namespace qor
