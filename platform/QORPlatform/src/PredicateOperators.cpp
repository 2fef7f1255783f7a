#include "PredicateOperators.hpp"

#include <cmath>

#include "PredicateRegularExpression.hpp"
#include "QORPlatform/NSError.hpp"
#include "TextFolding.hpp"

namespace qor::predicate_operators {
namespace {

using predicate_text::fold;

constexpr unsigned kFoldingOptions = NSCaseInsensitivePredicateOption | NSDiacriticInsensitivePredicateOption;

std::string_view kindName(const Value& v) {
    switch (v.storage().index()) {
        case 0: return "nil";
        case 1: case 2: case 3: case 4: return "number";
        case 5: return "text";
        case 6: return "bytes";
        case 7: return "date";
        case 8: return "list";
        default: return "object";
    }
}

std::string clash(std::string_view what, const Value& left, const Value& right) {
    return std::string(what) + " (left: " + std::string(kindName(left)) + ", right: " + std::string(kindName(right)) + ")";
}

/// Numbers compared by value across kinds: exactly between integers, in extended precision
/// (which holds every 64-bit integer) when a floating-point number is involved. Nothing when
/// unordered (NaN).
/// `v` as an exact integer when it holds one (signed or unsigned 64 bits).
bool exactInteger(const Value& v, __int128& out) {
    if (const auto* i = std::get_if<std::int64_t>(&v.storage())) {
        out = *i;
        return true;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&v.storage())) {
        out = *u;
        return true;
    }
    return false;
}

std::optional<int> compareNumbers(const Value& a, const Value& b) {
    if (__int128 x = 0, y = 0; exactInteger(a, x) && exactInteger(b, y)) return (x > y) - (x < y);  // the commonest pair
    const bool floating = std::holds_alternative<double>(a.storage()) || std::holds_alternative<double>(b.storage());
    if (floating) {
        const auto wide = [](const Value& v) -> long double {
            if (auto* d = std::get_if<double>(&v.storage())) return *d;
            if (auto* u = std::get_if<std::uint64_t>(&v.storage())) return static_cast<long double>(*u);
            return static_cast<long double>(*v.asInt());
        };
        const long double x = wide(a), y = wide(b);
        if (std::isnan(x) || std::isnan(y)) return std::nullopt;
        return (x > y) - (x < y);
    }
    const auto exact = [](const Value& v) -> __int128 {
        if (auto* u = std::get_if<std::uint64_t>(&v.storage())) return static_cast<__int128>(*u);
        return *v.asInt();
    };
    const __int128 x = exact(a), y = exact(b);
    return (x > y) - (x < y);
}

int compareTexts(std::string_view a, std::string_view b, unsigned options) {
    const int c = (options & kFoldingOptions) ? fold(a, options).compare(fold(b, options)) : a.compare(b);
    return (c > 0) - (c < 0);
}

bool equal(const Value& a, const Value& b, unsigned options) {
    const auto *ia = std::get_if<std::int64_t>(&a.storage()), *ib = std::get_if<std::int64_t>(&b.storage());
    if (ia && ib) return *ia == *ib;  // the commonest pair in packet filters
    if (a.isNone() || b.isNone()) return a.isNone() && b.isNone();
    if (a.isNumber() && b.isNumber()) return compareNumbers(a, b) == 0;
    const std::string *sa = a.stringPtr(), *sb = b.stringPtr();
    if (sa && sb) return compareTexts(*sa, *sb, options) == 0;
    const Value::List *la = a.asList(), *lb = b.asList();
    if (la && lb) {
        if (la->size() != lb->size()) return false;
        for (std::size_t i = 0; i < la->size(); ++i) {
            if (!equal((*la)[i], (*lb)[i], options)) return false;
        }
        return true;
    }
    return a == b;
}

/// The order of two values, nothing when either is missing or they are unordered numbers;
/// raises for kinds that have no order between them.
std::optional<int> order(const Value& a, const Value& b, unsigned options) {
    // Two integers, as a packet field and a constant in a filter commonly are.
    if (__int128 x = 0, y = 0; exactInteger(a, x) && exactInteger(b, y)) return (x > y) - (x < y);
    if (a.isNone() || b.isNone()) return std::nullopt;
    if (a.isNumber() && b.isNumber()) return compareNumbers(a, b);
    if (a.isString() && b.isString()) return compareTexts(*a.stringPtr(), *b.stringPtr(), options);
    const auto *da = std::get_if<Date>(&a.storage()), *db = std::get_if<Date>(&b.storage());
    if (da && db) return (*da > *db) - (*da < *db);
    raise(clash("Can't compare values of these kinds", a, b));
}

/// Both texts, folded as the options ask; nothing when either side is missing.
struct TextPair {
    std::string left, right;
};
std::optional<TextPair> texts(const Value& left, const Value& right, unsigned options, std::string_view operation) {
    if (left.isNone() || right.isNone()) return std::nullopt;
    if (!left.isString() || !right.isString()) {
        raise(clash("Can't do " + std::string(operation) + " with something that isn't a text", left, right));
    }
    if (options & kFoldingOptions) return TextPair{fold(*left.stringPtr(), options), fold(*right.stringPtr(), options)};
    return TextPair{*left.stringPtr(), *right.stringPtr()};
}

bool anyEqual(const Value::List& list, const Value& v, unsigned options) {
    for (const Value& e : list) {
        if (equal(e, v, options)) return true;
    }
    return false;
}

/// `needle` inside `haystack`: membership for a list, a substring for a text.
bool within(const Value& haystack, const Value& needle, unsigned options, std::string_view operation) {
    if (haystack.isNone()) return false;
    if (auto* list = haystack.asList()) return anyEqual(*list, needle, options);
    if (!haystack.isString()) raise(clash("Can't do " + std::string(operation) + " in something that is neither a text nor a list", needle, haystack));
    auto t = texts(haystack, needle, options, operation);
    return t && t->left.find(t->right) != std::string::npos;
}

bool regexMatch(const Value& left, const Value& right, unsigned options, const PredicateRegularExpression* pattern) {
    if (left.isNone() || right.isNone()) return false;
    if (!left.isString() || !right.isString()) raise(clash("Can't do regex matching on something that isn't a text", left, right));
    // Case is the pattern's business (caseless matching); diacritics are folded on both sides.
    const unsigned diacritics = options & NSDiacriticInsensitivePredicateOption;
    const std::string subject = diacritics ? fold(*left.stringPtr(), diacritics) : *left.stringPtr();
    if (pattern) return pattern->matches(subject);
    const std::string text = diacritics ? fold(*right.stringPtr(), diacritics) : *right.stringPtr();
    return PredicateRegularExpression(text, options).matches(subject);
}

}  // namespace

void raise(std::string reason) { throw NSException(NSInvalidArgumentException, std::move(reason)); }

bool like(std::string_view text, std::string_view pattern) {
    const auto width = [](std::string_view s, std::size_t at) { return predicate_text::decodeUTF8(s, at).length; };
    std::size_t t = 0, p = 0;
    std::size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size()) {
            const char c = pattern[p];
            if (c == '*') {
                starP = ++p;
                starT = t;
                continue;
            }
            if (c == '?') {
                t += width(text, t);
                ++p;
                continue;
            }
            const std::size_t at = (c == '\\' && p + 1 < pattern.size()) ? p + 1 : p;
            const std::size_t n = width(pattern, at);
            if (text.substr(t, n) == pattern.substr(at, n)) {
                t += n;
                p = at + n;
                continue;
            }
        }
        if (starP == std::string_view::npos) return false;
        p = starP;  // let the last star take one more character and retry
        starT += width(text, starT);
        t = starT;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool apply(NSPredicateOperatorType type, unsigned options, const Value& left, const Value& right,
           const PredicateRegularExpression* pattern) {
    using T = NSPredicateOperatorType;
    switch (type) {
        case T::lessThan: { auto o = order(left, right, options); return o && *o < 0; }
        case T::lessThanOrEqualTo: { auto o = order(left, right, options); return o && *o <= 0; }
        case T::greaterThan: { auto o = order(left, right, options); return o && *o > 0; }
        case T::greaterThanOrEqualTo: { auto o = order(left, right, options); return o && *o >= 0; }
        case T::equalTo: return equal(left, right, options);
        case T::notEqualTo: return !equal(left, right, options);
        case T::matches: return regexMatch(left, right, options, pattern);
        case T::like: {
            auto t = texts(left, right, options, "a wildcard match");
            return t && like(t->left, t->right);
        }
        case T::beginsWith: {
            auto t = texts(left, right, options, "a prefix comparison");
            return t && t->left.starts_with(t->right);
        }
        case T::endsWith: {
            auto t = texts(left, right, options, "a suffix comparison");
            return t && t->left.ends_with(t->right);
        }
        case T::in: return within(right, left, options, "IN");
        case T::contains: return within(left, right, options, "CONTAINS");
        case T::between: {
            const Value::List* bounds = right.asList();
            if (!bounds || bounds->size() != 2) raise(clash("BETWEEN needs a list of two bounds on its right", left, right));
            if (left.isNone()) return false;
            auto lower = order(left, (*bounds)[0], options);
            auto upper = order(left, (*bounds)[1], options);
            return lower && upper && *lower >= 0 && *upper <= 0;
        }
        case T::customSelector: break;
    }
    raise("Can't evaluate a comparison with a custom selector");
}

}  // namespace qor::predicate_operators
