#pragma once
// The lexical pieces of the predicate language shared by its reader and its printer.

#include <optional>
#include <string>
#include <string_view>

#include "QORPlatform/Value.hpp"

namespace qor::predicate_format {

/// Reserved words (case-insensitive). `Reserved` stands for the words the language keeps for
/// forms this engine does not read (FIRST, LAST, SIZE, SUBQUERY, FUNCTION, ANYKEY, FETCH): they
/// cannot be key path components without the `#` escape either.
enum class Keyword {
    And, Or, Not, Any, Some, All, None, In, Like, Matches, Contains, BeginsWith, EndsWith, Between,
    Nil, Null, Self, True, False, Yes, No, TruePredicate, FalsePredicate, Cast, Reserved,
};

std::optional<Keyword> keyword(std::string_view word);

/// Whether `c` may start (or continue) a name: letters, '_', any byte of a non-ASCII character,
/// and digits after the first.
bool isNameStart(char c);
bool isNameContinue(char c);
bool isName(std::string_view text);
/// Whether `text` is names joined by dots.
bool isKeyPath(std::string_view text);

/// Seconds between 1970-01-01 and 2001-01-01, the reference date of `CAST(x, "NSDate")`.
inline constexpr double kReferenceDateOffset = 978307200.0;

/// A text in double quotes, with `"`, `\` and control characters escaped.
std::string quoted(std::string_view text);
/// A name, `#`-escaped when it is a reserved word.
std::string escapedName(std::string_view name);
/// A constant as the language writes it: nil, YES/NO, integers, floating-point numbers that
/// read back as themselves, quoted texts, dates as CAST(seconds since 2001, "NSDate"). Bytes and
/// objects print their description, which does not read back.
std::string constant(const Value& value);

}  // namespace qor::predicate_format
