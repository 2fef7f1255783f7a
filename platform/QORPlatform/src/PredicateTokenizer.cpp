#include "PredicateTokenizer.hpp"

#include <charconv>
#include <cmath>

#include "QORPlatform/PredicateFormatError.hpp"
#include "TextFolding.hpp"

namespace qor::predicate_format {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

void PredicateTokenizer::fail(std::string expected, std::size_t at) const {
    throw PredicateFormatError(std::move(expected), at);
}

std::string PredicateTokenizer::readName() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && isNameContinue(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
}

Token PredicateTokenizer::next() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || (text_[pos_] >= '\t' && text_[pos_] <= '\r'))) ++pos_;
    Token token;
    token.position = pos_;
    if (pos_ >= text_.size()) return token;
    const char c = text_[pos_];
    const auto single = [&](TokenKind kind, std::size_t length) {
        token.kind = kind;
        pos_ += length;
        return token;
    };
    switch (c) {
        case '(': return single(TokenKind::leftParen, 1);
        case ')': return single(TokenKind::rightParen, 1);
        case '{': return single(TokenKind::leftBrace, 1);
        case '}': return single(TokenKind::rightBrace, 1);
        case ',': return single(TokenKind::comma, 1);
        case '.': return single(TokenKind::dot, 1);
        case '=':
            if (peek(1) == '=') return single(TokenKind::equal, 2);
            if (peek(1) == '<') return single(TokenKind::lessEqual, 2);
            if (peek(1) == '>') return single(TokenKind::greaterEqual, 2);
            return single(TokenKind::equal, 1);
        case '!': return peek(1) == '=' ? single(TokenKind::notEqual, 2) : single(TokenKind::notSign, 1);
        case '<':
            if (peek(1) == '=') return single(TokenKind::lessEqual, 2);
            if (peek(1) == '>') return single(TokenKind::notEqual, 2);
            return single(TokenKind::less, 1);
        case '>': return peek(1) == '=' ? single(TokenKind::greaterEqual, 2) : single(TokenKind::greater, 1);
        case '&':
            if (peek(1) != '&') fail("expected '&&'", pos_);
            return single(TokenKind::andSign, 2);
        case '|':
            if (peek(1) != '|') fail("expected '||'", pos_);
            return single(TokenKind::orSign, 2);
        case '"':
        case '\'': readText(token); return token;
        case '%': readArgument(token); return token;
        case '[': {
            const std::size_t close = text_.find(']', pos_);
            if (close == std::string_view::npos) fail("expected ']'", text_.size());
            token.kind = TokenKind::options;
            token.text = text_.substr(pos_ + 1, close - pos_ - 1);
            pos_ = close + 1;
            return token;
        }
        case '$':
            ++pos_;
            if (!isNameStart(peek())) fail("expected a variable name", pos_);
            token.kind = TokenKind::variable;
            token.text = readName();
            return token;
        case '#':
            ++pos_;
            if (!isNameStart(peek())) fail("expected a name after '#'", pos_);
            token.kind = TokenKind::name;
            token.text = readName();
            return token;
        default: break;
    }
    if (isDigit(c) || (c == '-' && isDigit(peek(1)))) {
        readNumber(token);
        return token;
    }
    if (isNameStart(c)) {
        token.text = readName();
        if (auto kw = keyword(token.text)) {
            token.kind = TokenKind::keyword;
            token.keyword = *kw;
        } else {
            token.kind = TokenKind::name;
        }
        return token;
    }
    fail("unexpected character", pos_);
}

void PredicateTokenizer::readText(Token& token) {
    const char quote = text_[pos_++];
    token.kind = TokenKind::text;
    std::string& out = token.text;
    const auto hex4 = [&](std::size_t at) -> char32_t {
        char32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int d = at + i < text_.size() ? digitValue(text_[at + i]) : 99;
            if (d > 15) fail("expected four hex digits", at + i);
            v = v * 16 + static_cast<char32_t>(d);
        }
        return v;
    };
    while (true) {
        if (pos_ >= text_.size()) fail(std::string("expected a closing ") + quote, pos_);
        const char c = text_[pos_];
        if (c == quote) {
            ++pos_;
            return;
        }
        if (c != '\\') {
            out.push_back(c);
            ++pos_;
            continue;
        }
        const std::size_t escape = pos_;
        switch (peek(1)) {
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'r': out.push_back('\r'); break;
            case '"': out.push_back('"'); break;
            case '\'': out.push_back('\''); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'u': {
                char32_t v = hex4(pos_ + 2);
                if (v >= 0xDC00 && v <= 0xDFFF) fail("expected a high surrogate first", escape);
                if (v >= 0xD800 && v <= 0xDBFF) {
                    if (peek(6) != '\\' || peek(7) != 'u') fail("expected a low surrogate", pos_ + 6);
                    const char32_t low = hex4(pos_ + 8);
                    if (low < 0xDC00 || low > 0xDFFF) fail("expected a low surrogate", pos_ + 6);
                    v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
                    pos_ += 6;
                }
                predicate_text::appendUTF8(out, v);
                pos_ += 6;
                continue;
            }
            default: fail("expected a known escape (\\n \\t \\r \\\" \\' \\\\ \\/ \\uXXXX)", escape);
        }
        pos_ += 2;
    }
}

void PredicateTokenizer::readNumber(Token& token) {
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    token.kind = TokenKind::number;
    int base = 10;
    if (peek() == '0') {
        const char b = peek(1);
        base = (b == 'x' || b == 'X') ? 16 : (b == 'o' || b == 'O') ? 8 : (b == 'b' || b == 'B') ? 2 : 10;
        if (base != 10) pos_ += 2;
    }
    const std::size_t digits = pos_;
    while (digitValue(peek()) < base) ++pos_;
    if (pos_ == digits) fail("expected digits", pos_);
    bool floating = false;
    if (base == 10 && peek() == '.' && isDigit(peek(1))) {
        floating = true;
        for (++pos_; isDigit(peek());) ++pos_;
    }
    if (base == 10 && (peek() == 'e' || peek() == 'E')) {
        const std::size_t sign = (peek(1) == '+' || peek(1) == '-') ? 1 : 0;
        if (isDigit(peek(1 + sign))) {
            floating = true;
            for (pos_ += 1 + sign; isDigit(peek());) ++pos_;
        }
    }
    if (isNameContinue(peek())) fail("expected a delimiter after the number", pos_);
    const char* first = text_.data() + digits;
    const char* last = text_.data() + pos_;
    if (floating) {
        double d = 0;
        auto [end, ec] = std::from_chars(text_.data() + start, last, d);
        if (ec != std::errc() || end != last || !std::isfinite(d)) fail("expected a number in range", start);
        token.number = d;
        return;
    }
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(first, last, magnitude, base);
    if (ec != std::errc() || end != last) fail("expected a number in range", start);
    if (negative) {
        if (magnitude > (std::uint64_t{1} << 63)) fail("expected a number in range", start);
        token.number = static_cast<std::int64_t>(0 - magnitude);
    } else if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
        token.number = static_cast<std::int64_t>(magnitude);
    } else {
        token.number = magnitude;
    }
}

void PredicateTokenizer::readArgument(Token& token) {
    std::size_t at = pos_ + 1;
    std::size_t longs = 0;
    while (longs < 2 && at < text_.size() && text_[at] == 'l') ++at, ++longs;
    const char conversion = at < text_.size() ? text_[at] : '\0';
    char kind = 0;
    switch (conversion) {
        case '@': case 'K': case 's': kind = longs ? 0 : conversion; break;
        case 'd': case 'i': kind = 'd'; break;
        case 'u': kind = 'u'; break;
        case 'f': kind = longs <= 1 ? 'f' : 0; break;
        default: break;
    }
    if (!kind) fail("expected a format specifier (%@ %K %d %i %u %f %s)", pos_);
    token.kind = TokenKind::argument;
    token.text = std::string(1, kind);
    pos_ = at + 1;
}

}  // namespace qor::predicate_format
