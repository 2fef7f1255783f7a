#include "PredicateFormatText.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "QORPlatform/NSObject.hpp"

namespace qor::predicate_format {

std::optional<Keyword> keyword(std::string_view word) {
    static constexpr std::array<std::pair<std::string_view, Keyword>, 31> kWords{{
        {"AND", Keyword::And}, {"OR", Keyword::Or}, {"NOT", Keyword::Not}, {"ANY", Keyword::Any},
        {"SOME", Keyword::Some}, {"ALL", Keyword::All}, {"NONE", Keyword::None}, {"IN", Keyword::In},
        {"LIKE", Keyword::Like}, {"MATCHES", Keyword::Matches}, {"CONTAINS", Keyword::Contains},
        {"BEGINSWITH", Keyword::BeginsWith}, {"ENDSWITH", Keyword::EndsWith}, {"BETWEEN", Keyword::Between},
        {"NIL", Keyword::Nil}, {"NULL", Keyword::Null}, {"SELF", Keyword::Self}, {"TRUE", Keyword::True},
        {"FALSE", Keyword::False}, {"YES", Keyword::Yes}, {"NO", Keyword::No},
        {"TRUEPREDICATE", Keyword::TruePredicate}, {"FALSEPREDICATE", Keyword::FalsePredicate},
        {"CAST", Keyword::Cast}, {"FIRST", Keyword::Reserved}, {"LAST", Keyword::Reserved},
        {"SIZE", Keyword::Reserved}, {"SUBQUERY", Keyword::Reserved}, {"FUNCTION", Keyword::Reserved},
        {"ANYKEY", Keyword::Reserved}, {"FETCH", Keyword::Reserved},
    }};
    if (word.size() > 14) return std::nullopt;
    char upper[14];
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    const std::string_view key(upper, word.size());
    for (const auto& [text, kw] : kWords) {
        if (text == key) return kw;
    }
    return std::nullopt;
}

bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool isNameContinue(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }

bool isName(std::string_view text) {
    if (text.empty() || !isNameStart(text[0])) return false;
    for (char c : text) {
        if (!isNameContinue(c)) return false;
    }
    return true;
}

bool isKeyPath(std::string_view text) {
    for (std::size_t start = 0;;) {
        const std::size_t dot = text.find('.', start);
        if (!isName(text.substr(start, dot == std::string_view::npos ? dot : dot - start))) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    out += fmt::format("\\u{:04x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
                } else {
                    out.push_back(c);
                }
        }
    }
    return out + "\"";
}

std::string escapedName(std::string_view name) {
    return keyword(name) ? "#" + std::string(name) : std::string(name);
}

namespace {

/// The shortest text that reads back as exactly `d`, always with a point or an exponent.
std::string floating(double d) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string text(buffer, end);
    if (std::isfinite(d) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

/// Seconds since the reference date that give back `date` exactly when the offset is added
/// again (searched among the neighbours of the plain difference; exact for every date a
/// format text can produce).
double secondsSinceReferenceDate(double date) {
    double x = date - kReferenceDateOffset;
    if (x + kReferenceDateOffset == date) return x;
    double below = x, above = x;
    for (int i = 0; i < 8; ++i) {
        below = std::nextafter(below, -INFINITY);
        above = std::nextafter(above, INFINITY);
        if (below + kReferenceDateOffset == date) return below;
        if (above + kReferenceDateOffset == date) return above;
    }
    return x;
}

}  // namespace

std::string constant(const Value& value) {
    struct Printer {
        std::string operator()(std::monostate) const { return "nil"; }
        std::string operator()(bool b) const { return b ? "YES" : "NO"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(std::uint64_t u) const { return std::to_string(u); }
        std::string operator()(double d) const { return floating(d); }
        std::string operator()(const std::string& s) const { return quoted(s); }
        std::string operator()(const Data& d) const { return "<" + Value(d).description() + ">"; }
        std::string operator()(const Date& t) const {
            return "CAST(" + floating(secondsSinceReferenceDate(t.secondsSince1970)) + ", \"NSDate\")";
        }
        std::string operator()(const Value::List& l) const {
            std::string out = "{";
            for (std::size_t i = 0; i < l.size(); ++i) out += (i ? ", " : "") + constant(l[i]);
            return out + "}";
        }
        std::string operator()(const Value::ObjectRef& o) const { return o ? o->description() : "nil"; }
    };
    return std::visit(Printer{}, value.storage());
}

}  // namespace qor::predicate_format
