#pragma once
// Line reading and dot-unstuffing for line-based mail protocols (SMTP, RFC 5321).

#include <cstddef>
#include <optional>
#include <string>

#include "QORPlatform/Data.hpp"

namespace qor {

namespace MailTransport {

struct Line {
    std::size_t length = 0;  ///< bytes up to and including the line feed
    std::string text;        ///< without the line feed and a carriage return before it (ISO Latin 1 read)
};

/// The line that starts at `offset`; nothing when no line feed follows it.
std::optional<Line> line(const Data& data, std::size_t offset);
/// The bytes with dot-stuffing undone: a "." first on a line is dropped unless it is the last
/// byte of the input.
Data dotUnstuff(const Data& data);
/// ISO Latin 1 bytes as UTF-8 text (every byte is a character).
std::string latin1Text(std::string_view bytes);

}  // namespace MailTransport

}  // namespace qor
