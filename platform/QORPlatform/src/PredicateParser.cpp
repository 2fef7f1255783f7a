#include "PredicateParser.hpp"

#include <cmath>

#include "PredicateTokenizer.hpp"
#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/PredicateFormatError.hpp"

namespace qor {
namespace {

using predicate_format::Keyword;
using predicate_format::Token;
using predicate_format::TokenKind;
using Ref = NSPredicate::Ref;
using ExprRef = NSExpression::Ref;

/// The parser's own nesting limit (parentheses, NOT, braces). A tree is at most two levels
/// deeper than the nesting that wrote it, so every text this limit lets through builds.
constexpr unsigned kMaxNesting = kMaxPredicateDepth - 2;

/// Recursive descent over the grammar
///
///     predicate   := and ( (OR | "||") and )*
///     and         := not ( (AND | "&&") not )*
///     not         := (NOT | "!") not | primary
///     primary     := "(" predicate ")" | TRUEPREDICATE | FALSEPREDICATE | comparison
///     comparison  := [ANY | SOME | ALL | NONE] expression operator ["[" c d n "]"] expression
///     operator    := == | = | != | <> | < | <= | =< | > | >= | =>
///                  | CONTAINS | BEGINSWITH | ENDSWITH | LIKE | MATCHES | IN | BETWEEN
///     expression  := text | number | YES | NO | TRUE | FALSE | NIL | NULL | SELF | $variable
///                  | keypath | "{" [expression ("," expression)*] "}" | %argument
///                  | CAST "(" number "," "NSDate" ")"
///     keypath     := name ("." name)*
///
/// with keywords in any case. Chains of one operator become one compound; NONE is NOT ANY.
class Parser {
public:
    Parser(std::string_view format, std::span<const Value> arguments) : lexer_(format), arguments_(arguments) {
        advance();
    }

    Ref parse() {
        Ref p = parseOr();
        if (current_.kind != TokenKind::end) fail("expected AND, OR or the end of the text");
        return p;
    }

private:
    /// Counts one level of nesting for as long as it lives.
    class Nesting {
    public:
        explicit Nesting(Parser& parser) : parser_(parser) {
            if (++parser_.depth_ > kMaxNesting) {
                parser_.fail("expected at most " + std::to_string(kMaxNesting) + " levels of nesting");
            }
        }
        ~Nesting() { --parser_.depth_; }
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        Parser& parser_;
    };

    [[noreturn]] void fail(std::string expected) const { throw PredicateFormatError(std::move(expected), current_.position); }
    void advance() { current_ = lexer_.next(); }
    bool isKeyword(Keyword k) const { return current_.kind == TokenKind::keyword && current_.keyword == k; }
    void expect(TokenKind kind, const char* what) {
        if (current_.kind != kind) fail(std::string("expected ") + what);
        advance();
    }

    Ref parseOr() {
        std::vector<Ref> items{parseAnd()};
        while (current_.kind == TokenKind::orSign || isKeyword(Keyword::Or)) {
            advance();
            items.push_back(parseAnd());
        }
        return NSCompoundPredicate::orPredicateWithSubpredicates(std::move(items));
    }

    Ref parseAnd() {
        std::vector<Ref> items{parseNot()};
        while (current_.kind == TokenKind::andSign || isKeyword(Keyword::And)) {
            advance();
            items.push_back(parseNot());
        }
        return NSCompoundPredicate::andPredicateWithSubpredicates(std::move(items));
    }

    Ref parseNot() {
        if (current_.kind == TokenKind::notSign || isKeyword(Keyword::Not)) {
            Nesting nesting(*this);
            advance();
            return NSCompoundPredicate::notPredicateWithSubpredicate(parseNot());
        }
        return parsePrimary();
    }

    Ref parsePrimary() {
        if (current_.kind == TokenKind::leftParen) {
            Nesting nesting(*this);
            advance();
            Ref inner = parseOr();
            expect(TokenKind::rightParen, "')'");
            return inner;
        }
        if (isKeyword(Keyword::TruePredicate) || isKeyword(Keyword::FalsePredicate)) {
            const bool value = isKeyword(Keyword::TruePredicate);
            advance();
            return NSPredicate::predicateWithValue(value);
        }
        return parseComparison();
    }

    Ref parseComparison() {
        auto modifier = NSComparisonPredicateModifier::direct;
        bool none = false;
        if (isKeyword(Keyword::Any) || isKeyword(Keyword::Some) || isKeyword(Keyword::None)) {
            none = isKeyword(Keyword::None);
            modifier = NSComparisonPredicateModifier::any;
            advance();
        } else if (isKeyword(Keyword::All)) {
            modifier = NSComparisonPredicateModifier::all;
            advance();
        }
        ExprRef left = parseExpression();
        const NSPredicateOperatorType type = parseOperator();
        const unsigned options = parseOptions();
        ExprRef right = parseExpression();
        Ref comparison = NSComparisonPredicate::predicateWithLeftExpression(std::move(left), std::move(right), modifier, type, options);
        return none ? NSCompoundPredicate::notPredicateWithSubpredicate(std::move(comparison)) : comparison;
    }

    NSPredicateOperatorType parseOperator() {
        using T = NSPredicateOperatorType;
        std::optional<T> type;
        switch (current_.kind) {
            case TokenKind::equal: type = T::equalTo; break;
            case TokenKind::notEqual: type = T::notEqualTo; break;
            case TokenKind::less: type = T::lessThan; break;
            case TokenKind::lessEqual: type = T::lessThanOrEqualTo; break;
            case TokenKind::greater: type = T::greaterThan; break;
            case TokenKind::greaterEqual: type = T::greaterThanOrEqualTo; break;
            case TokenKind::keyword:
                switch (current_.keyword) {
                    case Keyword::Contains: type = T::contains; break;
                    case Keyword::BeginsWith: type = T::beginsWith; break;
                    case Keyword::EndsWith: type = T::endsWith; break;
                    case Keyword::Like: type = T::like; break;
                    case Keyword::Matches: type = T::matches; break;
                    case Keyword::In: type = T::in; break;
                    case Keyword::Between: type = T::between; break;
                    default: break;
                }
                break;
            default: break;
        }
        if (!type) fail("expected a comparison operator");
        advance();
        return *type;
    }

    unsigned parseOptions() {
        if (current_.kind != TokenKind::options) return 0;
        unsigned options = 0;
        for (char c : current_.text) {
            switch (c) {
                case 'c': case 'C': options |= NSCaseInsensitivePredicateOption; break;
                case 'd': case 'D': options |= NSDiacriticInsensitivePredicateOption; break;
                case 'n': case 'N': options |= NSNormalizedPredicateOption; break;
                default: fail("expected options made of c, d and n");
            }
        }
        advance();
        return options;
    }

    ExprRef parseExpression() {
        switch (current_.kind) {
            case TokenKind::text: {
                ExprRef e = NSExpression::expressionForConstantValue(std::move(current_.text));
                advance();
                return e;
            }
            case TokenKind::number: {
                ExprRef e = NSExpression::expressionForConstantValue(current_.number);
                advance();
                return e;
            }
            case TokenKind::variable: {
                ExprRef e = NSExpression::expressionForVariable(current_.text);
                advance();
                return e;
            }
            case TokenKind::name: return parseKeyPath();
            case TokenKind::leftBrace: return parseAggregate();
            case TokenKind::argument: return parseArgument();
            case TokenKind::keyword: {
                std::optional<Value> constant;
                switch (current_.keyword) {
                    case Keyword::Yes: case Keyword::True: constant = Value(true); break;
                    case Keyword::No: case Keyword::False: constant = Value(false); break;
                    case Keyword::Nil: case Keyword::Null: constant = Value(); break;
                    case Keyword::Self: advance(); return NSExpression::expressionForEvaluatedObject();
                    case Keyword::Cast: return parseCast();
                    default: fail("expected a value");
                }
                advance();
                return NSExpression::expressionForConstantValue(std::move(*constant));
            }
            default: fail("expected a value");
        }
    }

    ExprRef parseKeyPath() {
        std::string path = current_.text;
        advance();
        while (current_.kind == TokenKind::dot) {
            advance();
            if (current_.kind != TokenKind::name && current_.kind != TokenKind::keyword) fail("expected a key after '.'");
            path += '.';
            path += current_.text;
            advance();
        }
        return NSExpression::expressionForKeyPath(path);
    }

    ExprRef parseAggregate() {
        Nesting nesting(*this);
        advance();
        std::vector<ExprRef> elements;
        if (current_.kind != TokenKind::rightBrace) {
            elements.push_back(parseExpression());
            while (current_.kind == TokenKind::comma) {
                advance();
                elements.push_back(parseExpression());
            }
        }
        expect(TokenKind::rightBrace, "',' or '}'");
        return NSExpression::expressionForAggregate(std::move(elements));
    }

    ExprRef parseCast() {
        advance();
        expect(TokenKind::leftParen, "'(' after CAST");
        if (current_.kind != TokenKind::number) fail("expected a number of seconds");
        const double seconds = *current_.number.asDouble();
        advance();
        expect(TokenKind::comma, "','");
        if (current_.kind != TokenKind::text || current_.text != "NSDate") fail("expected \"NSDate\"");
        advance();
        expect(TokenKind::rightParen, "')'");
        const double date = seconds + predicate_format::kReferenceDateOffset;
        if (!std::isfinite(date)) fail("expected a date in range");
        return NSExpression::expressionForConstantValue(Date{date});
    }

    ExprRef parseArgument() {
        const char conversion = current_.text[0];
        if (nextArgument_ >= arguments_.size()) fail(std::string("expected an argument for %") + conversion);
        const Value& v = arguments_[nextArgument_++];
        std::optional<Value> constant;
        switch (conversion) {
            case '@': constant = v; break;
            case 'K': {
                const std::string* path = v.stringPtr();
                if (!path || !predicate_format::isKeyPath(*path)) fail("expected a key path argument for %K");
                advance();
                return NSExpression::expressionForKeyPath(*path);
            }
            case 'd':
                if (!std::holds_alternative<double>(v.storage())) {
                    if (auto i = v.asInt()) constant = Value(*i);
                    else if (auto u = v.asUInt()) constant = Value(*u);
                }
                break;
            case 'u':
                if (!std::holds_alternative<double>(v.storage())) {
                    if (auto u = v.asUInt()) constant = Value(*u);
                }
                break;
            case 'f':
                if (v.isNumber() && std::isfinite(*v.asDouble())) constant = Value(*v.asDouble());
                break;
            case 's':
                if (v.isString()) constant = v;
                break;
            default: break;
        }
        if (!constant) fail(std::string("expected a matching argument for %") + conversion);
        advance();
        return NSExpression::expressionForConstantValue(std::move(*constant));
    }

    predicate_format::PredicateTokenizer lexer_;
    std::span<const Value> arguments_;
    std::size_t nextArgument_ = 0;
    Token current_;
    unsigned depth_ = 0;
};

}  // namespace

NSPredicate::Ref parsePredicateFormat(std::string_view format, std::span<const Value> arguments) {
    if (format.size() > kMaxPredicateFormatLength) {
        throw PredicateFormatError("expected at most " + std::to_string(kMaxPredicateFormatLength) + " bytes",
                                   kMaxPredicateFormatLength);
    }
    return Parser(format, arguments).parse();
}

}  // namespace qor
