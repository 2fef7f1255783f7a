#pragma once
// The tokens of the predicate language, read one at a time.

#include <cstddef>
#include <string>
#include <string_view>

#include "PredicateFormatText.hpp"
#include "QORPlatform/Value.hpp"

namespace qor::predicate_format {

enum class TokenKind {
    end, name, keyword, variable, text, number, argument, options,
    leftParen, rightParen, leftBrace, rightBrace, comma, dot,
    equal, notEqual, less, lessEqual, greater, greaterEqual, andSign, orSign, notSign,
};

/// One token. `text` holds a name (as written, also for keywords), a variable's name, a
/// quoted text's contents with escapes resolved, an options group's letters, or an argument's
/// conversion (one of @ K d u f s); `number` holds a number's value.
struct Token {
    TokenKind kind = TokenKind::end;
    std::size_t position = 0;
    std::string text;
    Keyword keyword = Keyword::Reserved;
    Value number;
};

/// Splits a format text into tokens:
///
///     name       [A-Za-z_\x80-\xff][A-Za-z0-9_\x80-\xff]*   (a keyword unless written #name)
///     variable   $name
///     text       "..." or '...' with \n \t \r \" \' \\ \/ and \uXXXX (UTF-16 pairs combined)
///     number     -?(0x|0o|0b)digits | -?digits(.digits)?([eE][+-]?digits)?
///     argument   %@ %K %d %i %u %f %s, with l or ll before d, i, u and f
///     options    [letters]
///     operators  == = != <> < <= =< > >= => && || ! ( ) { } , .
///
/// Raises `PredicateFormatError` at the offending byte.
class PredicateTokenizer {
public:
    explicit PredicateTokenizer(std::string_view text) : text_(text) {}
    Token next();

private:
    [[noreturn]] void fail(std::string expected, std::size_t at) const;
    [[nodiscard]] char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }
    void readText(Token& token);
    void readNumber(Token& token);
    void readArgument(Token& token);
    std::string readName();

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace qor::predicate_format
