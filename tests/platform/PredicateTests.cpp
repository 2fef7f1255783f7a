// The predicate family: the format language read and printed back, evaluation over key-value
// access with the platform's value rules, substitution, format arguments, and hostile texts.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "PredicateFixtures.hpp"
#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSCompoundPredicate.hpp"
#include "QORPlatform/PredicateFormatError.hpp"

namespace qor {
namespace {

using Ref = NSPredicate::Ref;
using testing_predicates::Flow;

Ref parse(std::string_view format, std::vector<Value> arguments = {}) {
    return NSPredicate::predicateWithFormat(format, arguments);
}

template <class Row>
auto table(std::initializer_list<Row> rows) {
    return ::testing::ValuesIn(std::vector<Row>(rows));
}

// --- Reading and printing ------------------------------------------------------------------

struct RoundTripCase {
    const char* input;
    const char* printed;
};

class PredicateRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PredicateRoundTrip, PrintsCanonicallyAndReadsBackEqual) {
    const auto& c = GetParam();
    const Ref p = parse(c.input);
    EXPECT_EQ(p->predicateFormat(), c.printed);
    const Ref again = parse(p->predicateFormat());
    EXPECT_TRUE(*again == *p) << again->predicateFormat();
    EXPECT_EQ(again->predicateFormat(), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PredicateRoundTrip,
    table<RoundTripCase>({
        // The standard plug-in's column formats.
        {"packetId.description CONTAINS[c] $value", "packetId.description CONTAINS[c] $value"},
        // Operator spellings, keywords in any case, options in any order.
        {"a = 1", "a == 1"}, {"a <> 1", "a != 1"}, {"a =< 1", "a <= 1"}, {"a => 1", "a >= 1"}, {"a<1", "a < 1"},
        {"a EndsWith[cd] 'x'", "a ENDSWITH[cd] \"x\""}, {"a like[n] 'x*'", "a LIKE[n] \"x*\""},
        {"a MATCHES[dc] '.*'", "a MATCHES[cd] \".*\""}, {"a IN {1, 2}", "a IN {1, 2}"}, {"a BETWEEN {1,2}", "a BETWEEN {1, 2}"},
        {"a IN {{1, 2}, {}}", "a IN {{1, 2}, {}}"}, {"SOME tags == 'x'", "ANY tags == \"x\""},
        {"ALL ports > 0", "ALL ports > 0"}, {"NONE tags == 'x'", "NOT ANY tags == \"x\""},
        // NOT binds tighter than AND, AND tighter than OR; chains of one operator stay flat.
        {"a == 1 || b == 2 && c == 3", "a == 1 OR (b == 2 AND c == 3)"},
        {"(a == 1 or b == 2) and c == 3", "(a == 1 OR b == 2) AND c == 3"},
        {"!a == 1 AND NOT (b == 2 OR c == 3)", "NOT a == 1 AND NOT (b == 2 OR c == 3)"},
        {"(a == 1 OR b == 2) OR c == 3", "(a == 1 OR b == 2) OR c == 3"}, {"((a == 1))", "a == 1"},
        {"truepredicate OR a == 1", "TRUEPREDICATE OR a == 1"},
        // Numbers.
        {"a == 0x1F", "a == 31"}, {"a == 0o17", "a == 15"}, {"a == 0b101", "a == 5"}, {"a == -42", "a == -42"},
        {"a == -0x10", "a == -16"}, {"a == 18446744073709551615", "a == 18446744073709551615"},
        {"a == -9223372036854775808", "a == -9223372036854775808"}, {"a == 1e3", "a == 1000.0"}, {"a == -1.5E-3", "a == -0.0015"},
        // Other constants, SELF, variables, dates.
        {"a == yes AND b == No AND c == TRUE AND d == false", "a == YES AND b == NO AND c == YES AND d == NO"},
        {"a == nil OR b == NULL", "a == nil OR b == nil"}, {"SELF IN {'a', \"b\"}", "SELF IN {\"a\", \"b\"}"},
        {"seen < cast(-0.5, 'NSDate')", "seen < CAST(-0.5, \"NSDate\")"},
        // Texts: escapes are read, and printed back escaped.
        {R"(a == 'it\'s "q"')", R"(a == "it's \"q\"")"}, {R"(a == "tab\there\nback\\slash\/")", R"(a == "tab\there\nback\\slash/")"},
        {R"(a == "\u00e9\u0001\ud83d\ude00")", "a == \"\u00e9\\u0001\U0001F600\""},
        // Reserved words as keys need '#'; after a dot they are read either way.
        {"#in.#self == 1", "#in.#self == 1"}, {"a.SELF == 1", "a.#SELF == 1"}}));

TEST(PredicateEquality, ComparesStructure) {
    const Ref p = parse("a ==[c] 'x'");
    EXPECT_TRUE(*p == *parse("a =[c] \"x\""));
    for (const char* other : {"a == 'x'", "a ==[c] 'y'", "b ==[c] 'x'", "ANY a ==[c] 'x'", "a !=[c] 'x'",
                              "a ==[c] $x", "NOT a ==[c] 'x'", "TRUEPREDICATE"}) {
        EXPECT_FALSE(*p == *parse(other)) << other;
    }
    EXPECT_TRUE(*parse("a == 1") == *parse("a == 1.0"));  // numbers compare by value
}

TEST(PredicateBuilding, FactoriesMatchTheParsedTreeAndNormaliseCompounds) {
    using E = NSExpression;
    const Ref built = NSComparisonPredicate::predicateWithLeftExpression(
        E::expressionForKeyPath("packetInfoOverview"), E::expressionForConstantValue("dns"),
        NSComparisonPredicateModifier::direct, NSPredicateOperatorType::contains, NSCaseInsensitivePredicateOption);
    EXPECT_TRUE(*built == *parse("packetInfoOverview CONTAINS[c] 'dns'"));

    EXPECT_TRUE(*NSCompoundPredicate::andPredicateWithSubpredicates({}) == *NSPredicate::predicateWithValue(true));
    EXPECT_TRUE(*NSCompoundPredicate::orPredicateWithSubpredicates({}) == *NSPredicate::predicateWithValue(false));
    EXPECT_TRUE(*NSCompoundPredicate::orPredicateWithSubpredicates({built}) == *built);
    // A user-built nested OR keeps its shape through text.
    const Ref nested = NSCompoundPredicate::orPredicateWithSubpredicates(
        {NSCompoundPredicate::orPredicateWithSubpredicates({built, parse("a == 1")}), parse("b == 2")});
    EXPECT_TRUE(*parse(nested->predicateFormat()) == *nested);


    // A custom selector prints but refuses to evaluate.
    const Ref custom = NSComparisonPredicate::predicateWithLeftExpression(E::expressionForKeyPath("a"),
                                                                          E::expressionForConstantValue(1), "isFoo:");
    EXPECT_EQ(custom->predicateFormat(), "a isFoo: 1");
    EXPECT_THROW((void)custom->evaluateWithObject(Value(1)), NSException);
}

// --- Evaluation ------------------------------------------------------------------------------

struct EvaluationCase {
    const char* format;
    bool expected;
};

class PredicateEvaluation : public ::testing::TestWithParam<EvaluationCase> {};

TEST_P(PredicateEvaluation, OverKeyValueAccess) {
    const auto& c = GetParam();
    const auto flow = std::make_shared<Flow>();
    const Ref p = parse(c.format);
    EXPECT_EQ(p->evaluateWithObject(*flow), c.expected) << c.format;
    EXPECT_EQ(p->evaluateWithObject(Value(Value::ObjectRef(flow))), c.expected) << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    NumbersAndLogic, PredicateEvaluation,
    table<EvaluationCase>({{"srcPort == 443.0", true}, {"srcPort != 443", false}, {"srcPort <= 443", true},
                           {"srcPort > 443", false}, {"length > -1", true}, {"length < 18446744073709551615", true},
                           {"ratio == 0.25", true}, {"secure == YES", true}, {"secure == 2", false},
                           {"srcPort BETWEEN {400, 443}", true}, {"srcPort BETWEEN {444, 500}", false},
                           {"srcPort IN {80, 8080}", false}, {"srcPort == '443'", false},
                           {"srcPort.description CONTAINS[c] '44'", true},
                           // Logic; short circuit: a clashing right-hand side is never evaluated.
                           {"srcPort == 80 OR NOT secure == NO", true}, {"NOT (srcPort == 80 OR srcPort == 443)", false},
                           {"NOT FALSEPREDICATE AND !(srcPort < 0)", true},
                           {"srcPort == 80 AND info < 5", false}, {"srcPort == 443 OR info < 5", true}}));

INSTANTIATE_TEST_SUITE_P(
    Texts, PredicateEvaluation,
    table<EvaluationCase>({
        {"info == 'get /index.html http/1.1'", false}, {"info ==[c] 'get /index.html http/1.1'", true},
        {"info CONTAINS 'index'", false}, {"info CONTAINS[c] 'INDEX'", true}, {"info BEGINSWITH 'HTTP'", false},
        {"info ENDSWITH[c] 'http/1.1'", true}, {"info < 'HEAD'", true}, {"'index' IN[c] info", true},
        // Wildcards match the whole text; '?' is one character, also a two-byte one.
        {"info LIKE 'GET'", false}, {"info LIKE '?ET /*.html HTTP/1.?'", true}, {"info LIKE[c] 'get*'", true},
        {"info LIKE '*.htm'", false}, {"city LIKE 'Z?rich'", true}, {"city LIKE 'Z??rich'", false}, {"'' LIKE '*'", true},
        {R"('a*b' LIKE 'a\\*b')", true}, {R"('axb' LIKE 'a\\*b')", false}, {"'aXbXc' LIKE '*X*X*c'", true},
        // Regular expressions match the whole text, in UTF mode.
        {"info MATCHES 'GET'", false}, {"info MATCHES[c] 'get .*'", true}, {"city MATCHES 'Z.rich'", true},
        {"city MATCHES '\\\\w+'", true}, {"city MATCHES[d] 'Zurich'", true}, {"city MATCHES 'Zurich'", false},
        // Case and diacritic folding, on precomposed and decomposed texts.
        {"city == 'Zurich'", false}, {"city ==[c] 'Z\u00dcRICH'", true}, {"city ==[c] 'ZURICH'", false},
        {"city ==[cd] 'ZURICH'", true}, {"cafe ==[d] 'caf\u00e9'", true}, {"cafe == 'caf\u00e9'", false},
        {"'Stra\u00dfe' ==[c] 'STRASSE'", true},
        {"'\u0141\u00d3D\u0179' ==[cd] '\u0142odz'", true},  // Ł has no decomposition: it only folds case
        {"'\u0141odz' ==[d] 'Lodz'", false}, {"'\u0391\u0398\u0397\u039d\u0391' ==[c] '\u03b1\u03b8\u03b7\u03bd\u03b1'", true},
        {"'\u00c5ngstr\u00f6m' CONTAINS[cd] 'ANGSTROM'", true}}));

INSTANTIATE_TEST_SUITE_P(
    CollectionsPathsAndMissingValues, PredicateEvaluation,
    table<EvaluationCase>({{"tags CONTAINS 'http'", false}, {"tags CONTAINS[c] 'http'", true}, {"ports CONTAINS 443.0", true},
                           {"ALL ports == 443", false}, {"ALL ports > 10", true}, {"NONE ports > 1000", true},
                           {"ANY tags BEGINSWITH[c] 'ht'", true}, {"ALL empty == 1", true}, {"ANY empty == 1", false},
                           {"{1, 2} CONTAINS 2", true}, {"ports == {80, 443}", true}, {"tags ==[c] {'TCP', 'http'}", true},
                           {"peer.port == 8080", true}, {"peer.host.description == 'example.org'", true},
                           {"ANY peers.port == 8081", true}, {"ALL peers.port >= 8080", true},
                           {"ALL peers.port == 8080", false}, {"seen == CAST(721692800, 'NSDate')", true},
                           {"seen BETWEEN {CAST(0, 'NSDate'), CAST(800000000, 'NSDate')}", true}, {"SELF != nil", true},
                           // Missing values.
                           {"missing == nil", true}, {"srcPort == nil", false}, {"missing == 0", false},
                           {"missing != 0", true}, {"missing >= 5", false}, {"missing BEGINSWITH 'x'", false},
                           {"missing LIKE '*'", false}, {"missing MATCHES '.*'", false}, {"missing BETWEEN {1, 2}", false},
                           {"missing IN {1, 2}", false}, {"info CONTAINS nil", false}, {"srcPort IN nil", false},
                           {"missing.deeper == nil", true}, {"nil == nil", true}, {"ANY missing == 1", false},
                           {"peer.missing == nil", true}}));

struct ClashCase {
    const char* format;
    const char* reasonPart;
};

class PredicateTypeClash : public ::testing::TestWithParam<ClashCase> {};

TEST_P(PredicateTypeClash, RaisesThePlatformException) {
    const auto& c = GetParam();
    const auto flow = std::make_shared<Flow>();
    const Ref p = parse(c.format);  // each is well formed: the fault shows only on a value
    try {
        (void)p->evaluateWithObject(*flow);
        ADD_FAILURE() << c.format << " did not raise";
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), NSInvalidArgumentException);
        EXPECT_NE(e.reason().find(c.reasonPart), std::string::npos) << e.reason();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clashes, PredicateTypeClash,
    table<ClashCase>({{"srcPort CONTAINS '4'", "neither a text nor a list"}, {"info < 5", "Can't compare"},
                      {"payload < 'x'", "Can't compare"}, {"srcPort MATCHES '4.*'", "regex"},
                      {"srcPort LIKE '4*'", "isn't a text"}, {"info ENDSWITH 4", "isn't a text"}, {"5 IN info", "isn't a text"},
                      {"srcPort BETWEEN {1, 2, 3}", "two bounds"}, {"ANY srcPort == 1", "ALL or ANY"},
                      {"ALL info == 'x'", "ALL or ANY"}, {"info MATCHES '('", "missing closing parenthesis"},
                      {"info MATCHES '\\\\'", "\\ at end of pattern"}, {"info == $unbound", "Can't get value for 'unbound'"}}));

TEST(PredicateRegularExpression, BacktrackingIsBoundedAndAPatternIsCompiledOncePerPredicate) {
    // (a+)+$ before a character that is not an a backtracks exponentially; the limit stops it.
    const Ref p = parse("SELF MATCHES '(a+)+$'");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW((void)p->evaluateWithObject(Value(std::string(40, 'a') + "!")), NSException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(p->evaluateWithObject(Value(std::string(40, 'a'))));
    // A pattern from a key path is compiled per evaluation, with the same rules.
    EXPECT_TRUE(parse("'abc' MATCHES SELF")->evaluateWithObject(Value("a.c")));
    EXPECT_THROW((void)parse("'abc' MATCHES SELF")->evaluateWithObject(Value("[")), NSException);
    // Invalid UTF-8 in a subject is no error; no pattern matches across it.
    const Value broken(std::string("a\xff\xfe" "b"));
    EXPECT_FALSE(parse("SELF MATCHES 'a..b'")->evaluateWithObject(broken));
    EXPECT_FALSE(parse("SELF MATCHES '.*'")->evaluateWithObject(broken));
    EXPECT_TRUE(parse("SELF MATCHES 'a.*'")->evaluateWithObject(Value("a\u00e9\u00e9")));
}

// --- Substitution and format arguments ---------------------------------------------------------

TEST(PredicateSubstitution, ReplacesBoundVariablesAndLeavesTheOriginal) {
    const auto flow = std::make_shared<Flow>();
    const Ref p = parse("srcPort == $value AND info CONTAINS[c] $needle");
    const Ref q = p->predicateWithSubstitutionVariables({{"value", 443}, {"needle", "INDEX"}});
    EXPECT_EQ(q->predicateFormat(), "srcPort == 443 AND info CONTAINS[c] \"INDEX\"");
    EXPECT_TRUE(q->evaluateWithObject(*flow));
    EXPECT_EQ(p->predicateFormat(), "srcPort == $value AND info CONTAINS[c] $needle");
    EXPECT_THROW((void)p->evaluateWithObject(*flow), NSException);
    // Bindings at evaluation time do the same without a copy.
    EXPECT_TRUE(p->evaluateWithObject(Value(Value::ObjectRef(flow)), {{"value", 443}, {"needle", "html"}}));

    // A list becomes an aggregate; a pattern is compiled for the substituted predicate.
    const Ref in = parse("srcPort IN $ports")->predicateWithSubstitutionVariables({{"ports", Value::List{80, 443}}});
    EXPECT_EQ(in->predicateFormat(), "srcPort IN {80, 443}");
    EXPECT_TRUE(in->evaluateWithObject(*flow));
    const Ref re = parse("info MATCHES $re");
    EXPECT_TRUE(re->predicateWithSubstitutionVariables({{"re", "GET .*"}})->evaluateWithObject(*flow));
    EXPECT_THROW((void)re->predicateWithSubstitutionVariables({{"re", "("}})->evaluateWithObject(*flow), NSException);
    // nil is a value like any other.
    EXPECT_TRUE(parse("missing == $v")->predicateWithSubstitutionVariables({{"v", Value()}})->evaluateWithObject(*flow));
}

TEST(PredicateFormatArguments, FillConversionsInOrder) {
    const auto flow = std::make_shared<Flow>();
    struct Case {
        const char* format;
        std::vector<Value> arguments;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"%K CONTAINS[c] %s", {"info", "index"}, "info CONTAINS[c] \"index\""},
        {"length == %lu AND srcPort == %d", {std::uint64_t{1500}, 443}, "length == 1500 AND srcPort == 443"},
        {"srcPort == %i OR srcPort == %lld", {1, 443LL}, "srcPort == 1 OR srcPort == 443"},
        {"ratio < %f AND ratio > %lf", {0.5, 0}, "ratio < 0.5 AND ratio > 0.0"},
        {"'%@' != %@", {"%@"}, "\"%@\" != \"%@\""},  // quoted conversions are plain text
        // One argument, a list (braces alone would be taken for the argument list itself).
        {"srcPort IN %@", {Value(Value::List{80, 443})}, "srcPort IN {80, 443}"},
        {"%K.host == %@", {"peer"}, nullptr},  // the key path is the argument alone
        {"srcPort == %d", {443, "ignored", 5}, "srcPort == 443"},
        // Arguments of the wrong kind, or too few.
        {"a == %d", {"text"}, nullptr}, {"a == %d", {1.5}, nullptr}, {"%K == 1", {"not a key"}, nullptr}, {"%K == 1", {5}, nullptr},
        {"a == %f", {std::nan("")}, nullptr}, {"a == %s", {5}, nullptr}, {"a == %u", {-1}, nullptr}, {"a == %@ AND b == %@", {1}, nullptr},
    };
    for (const auto& c : cases) {
        if (!c.printed) {
            EXPECT_THROW(parse(c.format, c.arguments), PredicateFormatError) << c.format;
            continue;
        }
        const Ref p = parse(c.format, c.arguments);
        EXPECT_EQ(p->predicateFormat(), c.printed);
        EXPECT_TRUE(*parse(p->predicateFormat()) == *p) << c.format;
    }
    EXPECT_TRUE(parse("%K == %@", {"srcPort", 443})->evaluateWithObject(*flow));
    EXPECT_FALSE(parse("'%@' == %@", {"x"})->evaluateWithObject(*flow));
}

// --- Errors and hostile input ------------------------------------------------------------------

struct ErrorCase {
    const char* format;
    const char* reason;
};

class PredicateParseError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PredicateParseError, NamesWhatWasExpectedAndWhere) {
    const auto& c = GetParam();
    try {
        parse(c.format);
        ADD_FAILURE() << c.format << " parsed";
    } catch (const PredicateFormatError& e) {
        EXPECT_EQ(e.reason(), c.reason);
        EXPECT_EQ(e.name(), NSInvalidArgumentException);
        EXPECT_EQ(e.reason(), e.expected() + " at " + std::to_string(e.position()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PredicateParseError,
    table<ErrorCase>({{"", "expected a value at 0"}, {"srcPort 443", "expected a comparison operator at 8"},
                      {"(srcPort == 443", "expected ')' at 15"}, {"srcPort == 443)", "expected AND, OR or the end of the text at 14"},
                      {"a == 'abc", "expected a closing ' at 9"}, {"a == 12abc", "expected a delimiter after the number at 7"},
                      {"a == -9223372036854775809", "expected a number in range at 5"},
                      {"a == 1e999", "expected a number in range at 5"}, {"a == 0x", "expected digits at 7"},
                      {"a == 1 & b == 2", "expected '&&' at 7"}, {"a ==[x] 1", "expected options made of c, d and n at 4"},
                      {"a == [c", "expected ']' at 7"}, {"a == $", "expected a variable name at 6"},
                      {"a == %d", "expected an argument for %d at 5"}, {"a. == 1", "expected a key after '.' at 3"},
                      {"a == {1, 2", "expected ',' or '}' at 10"}, {"IN == 1", "expected a value at 0"},
                      {"a == SUBQUERY(x)", "expected a value at 5"}, {R"(a == '\ud800')", "expected a low surrogate at 12"},
                      {R"(a == '\udc00')", "expected a high surrogate first at 6"},
                      {R"(a == '\u12')", "expected four hex digits at 10"}, {"a == ~", "unexpected character at 5"},
                      {"a == #1", "expected a name after '#' at 6"}, {"a == CAST(1, 'NSString')", "expected \"NSDate\" at 13"},
                      {"a == CAST('x', 'NSDate')", "expected a number of seconds at 10"}, {"NOT", "expected a value at 3"},
                      {R"(a == "\q")", R"(expected a known escape (\n \t \r \" \' \\ \/ \uXXXX) at 6)"},
                      {"a == %x", "expected a format specifier (%@ %K %d %i %u %f %s) at 5"},
                      {"a == %lK", "expected a format specifier (%@ %K %d %i %u %f %s) at 5"}}));

TEST(PredicateHostileInput, NestingIsCappedWithoutExhaustingTheStack) {
    const auto repeat = [](std::string_view s, std::size_t n) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) out += s;
        return out;
    };
    for (const std::string& text : {repeat("(", 100000), repeat("NOT ", 50000) + "a == 1", repeat("!", 100000),
                                    "a IN " + repeat("{", 100000), repeat("(NOT ", 5000) + "a == 1"}) {
        try {
            parse(text);
            ADD_FAILURE() << "deep text parsed";
        } catch (const PredicateFormatError& e) {
            EXPECT_EQ(e.expected(), "expected at most 126 levels of nesting");
        }
    }
    // The deepest accepted nesting builds, prints and reads back.
    const Ref deepest = parse(repeat("NOT ", 126) + "a == 1");
    EXPECT_EQ(deepest->depth(), kMaxPredicateDepth);
    EXPECT_TRUE(*parse(deepest->predicateFormat()) == *deepest);
    EXPECT_NO_THROW(parse(repeat("(", 126) + "a == 1" + repeat(")", 126)));
    EXPECT_NO_THROW(parse("a IN " + repeat("{", 126) + repeat("}", 126)));

    // Built by hand, a tree stops at the same bound.
    Ref p = parse("a == 1");
    EXPECT_THROW(
        {
            for (int i = 0; i < 1000; ++i) p = NSCompoundPredicate::notPredicateWithSubpredicate(p);
        },
        NSException);
    EXPECT_EQ(p->depth(), kMaxPredicateDepth);

    // Long flat chains are no problem: they are one compound.
    const Ref chain = parse("a == 1" + repeat(" OR a == 1", 20000));
    EXPECT_TRUE(chain->evaluateWithObject(Value()) == false);
    EXPECT_TRUE(*parse(chain->predicateFormat()) == *chain);

    // Texts beyond the length cap are refused before reading.
    try {
        parse(std::string(kMaxPredicateFormatLength + 1, ' '));
        ADD_FAILURE() << "over-long text parsed";
    } catch (const PredicateFormatError& e) {
        EXPECT_EQ(e.position(), kMaxPredicateFormatLength);
    }
}

}  // namespace
}  // namespace qor
