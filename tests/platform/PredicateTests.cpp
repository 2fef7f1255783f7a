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

std::string caseName(std::size_t index) { return "case" + std::to_string(index); }

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
    ::testing::Values(
        // The standard plug-in's column formats.
        RoundTripCase{"packetId.description CONTAINS[c] $value", "packetId.description CONTAINS[c] $value"},
        // Operator spellings, keywords in any case, options in any order.
        RoundTripCase{"a = 1", "a == 1"}, RoundTripCase{"a <> 1", "a != 1"}, RoundTripCase{"a =< 1", "a <= 1"},
        RoundTripCase{"a => 1", "a >= 1"}, RoundTripCase{"a<1", "a < 1"},
        RoundTripCase{"a EndsWith[cd] 'x'", "a ENDSWITH[cd] \"x\""}, RoundTripCase{"a like[n] 'x*'", "a LIKE[n] \"x*\""},
        RoundTripCase{"a MATCHES[dc] '.*'", "a MATCHES[cd] \".*\""}, RoundTripCase{"a IN {1, 2}", "a IN {1, 2}"},
        RoundTripCase{"a BETWEEN {1,2}", "a BETWEEN {1, 2}"}, RoundTripCase{"a IN {{1, 2}, {}}", "a IN {{1, 2}, {}}"},
        RoundTripCase{"SOME tags == 'x'", "ANY tags == \"x\""}, RoundTripCase{"ALL ports > 0", "ALL ports > 0"},
        RoundTripCase{"NONE tags == 'x'", "NOT ANY tags == \"x\""},
        // NOT binds tighter than AND, AND tighter than OR; chains of one operator stay flat.
        RoundTripCase{"a == 1 || b == 2 && c == 3", "a == 1 OR (b == 2 AND c == 3)"},
        RoundTripCase{"(a == 1 or b == 2) and c == 3", "(a == 1 OR b == 2) AND c == 3"},
        RoundTripCase{"!a == 1 AND NOT (b == 2 OR c == 3)", "NOT a == 1 AND NOT (b == 2 OR c == 3)"},
        RoundTripCase{"(a == 1 OR b == 2) OR c == 3", "(a == 1 OR b == 2) OR c == 3"}, RoundTripCase{"((a == 1))", "a == 1"},
        RoundTripCase{"truepredicate OR a == 1", "TRUEPREDICATE OR a == 1"},
        // Numbers.
        RoundTripCase{"a == 0x1F", "a == 31"}, RoundTripCase{"a == 0o17", "a == 15"}, RoundTripCase{"a == 0b101", "a == 5"},
        RoundTripCase{"a == -42", "a == -42"}, RoundTripCase{"a == -0x10", "a == -16"},
        RoundTripCase{"a == 18446744073709551615", "a == 18446744073709551615"},
        RoundTripCase{"a == -9223372036854775808", "a == -9223372036854775808"},
        RoundTripCase{"a == 1e3", "a == 1000.0"}, RoundTripCase{"a == -1.5E-3", "a == -0.0015"},
        // Other constants, SELF, variables, dates.
        RoundTripCase{"a == yes AND b == No AND c == TRUE AND d == false", "a == YES AND b == NO AND c == YES AND d == NO"},
        RoundTripCase{"a == nil OR b == NULL", "a == nil OR b == nil"},
        RoundTripCase{"SELF IN {'a', \"b\"}", "SELF IN {\"a\", \"b\"}"},
        RoundTripCase{"seen < cast(-0.5, 'NSDate')", "seen < CAST(-0.5, \"NSDate\")"},
        // Texts: escapes are read, and printed back escaped.
        RoundTripCase{R"(a == 'it\'s "q"')", R"(a == "it's \"q\"")"},
        RoundTripCase{R"(a == "tab\there\nback\\slash\/")", R"(a == "tab\there\nback\\slash/")"},
        RoundTripCase{R"(a == "\u00e9\u0001\ud83d\ude00")", "a == \"\u00e9\\u0001\U0001F600\""},
        // Reserved words as keys need '#'; after a dot they are read either way.
        RoundTripCase{"#in.#self == 1", "#in.#self == 1"}, RoundTripCase{"a.SELF == 1", "a.#SELF == 1"}),
    [](const auto& info) { return caseName(info.index); });

TEST(PredicateEquality, ComparesStructure) {
    const Ref p = parse("a ==[c] 'x'");
    EXPECT_TRUE(*p == *parse("a =[c] \"x\""));
    for (const char* other : {"a == 'x'", "a ==[c] 'y'", "b ==[c] 'x'", "ANY a ==[c] 'x'", "a !=[c] 'x'",
                              "a ==[c] $x", "NOT a ==[c] 'x'", "TRUEPREDICATE"}) {
        EXPECT_FALSE(*p == *parse(other)) << other;
    }
    EXPECT_TRUE(p->isEqual(*parse("a ==[c] 'x'")));
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

    EXPECT_THROW(E::expressionForKeyPath("a..b"), NSException);
    EXPECT_THROW(E::expressionForKeyPath("1a"), NSException);
    EXPECT_THROW(E::expressionForVariable("has space"), NSException);
    EXPECT_THROW(NSComparisonPredicate::predicateWithLeftExpression(E::expressionForKeyPath("a"), nullptr,
                                                                    NSComparisonPredicateModifier::direct,
                                                                    NSPredicateOperatorType::equalTo),
                 NSException);
    EXPECT_THROW(NSComparisonPredicate::predicateWithLeftExpression(
                     E::expressionForKeyPath("a"), E::expressionForConstantValue(1), NSComparisonPredicateModifier::direct,
                     NSPredicateOperatorType::equalTo, 8),
                 NSException);

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
    Numbers, PredicateEvaluation,
    ::testing::Values(EvaluationCase{"srcPort == 443.0", true}, EvaluationCase{"srcPort != 443", false},
                      EvaluationCase{"srcPort <= 443", true}, EvaluationCase{"srcPort > 443", false},
                      EvaluationCase{"length > -1", true}, EvaluationCase{"length < 18446744073709551615", true},
                      EvaluationCase{"ratio == 0.25", true}, EvaluationCase{"secure == YES", true},
                      EvaluationCase{"secure == 2", false}, EvaluationCase{"srcPort BETWEEN {400, 443}", true},
                      EvaluationCase{"srcPort BETWEEN {444, 500}", false}, EvaluationCase{"srcPort IN {80, 8080}", false},
                      EvaluationCase{"srcPort == '443'", false}, EvaluationCase{"srcPort.description CONTAINS[c] '44'", true}),
    [](const auto& info) { return caseName(info.index); });

INSTANTIATE_TEST_SUITE_P(
    Texts, PredicateEvaluation,
    ::testing::Values(
        EvaluationCase{"info == 'get /index.html http/1.1'", false}, EvaluationCase{"info ==[c] 'get /index.html http/1.1'", true},
        EvaluationCase{"info CONTAINS 'index'", false}, EvaluationCase{"info CONTAINS[c] 'INDEX'", true},
        EvaluationCase{"info BEGINSWITH 'HTTP'", false}, EvaluationCase{"info ENDSWITH[c] 'http/1.1'", true},
        EvaluationCase{"info < 'HEAD'", true}, EvaluationCase{"'index' IN[c] info", true},
        // Wildcards match the whole text; '?' is one character, also a two-byte one.
        EvaluationCase{"info LIKE 'GET'", false}, EvaluationCase{"info LIKE '?ET /*.html HTTP/1.?'", true},
        EvaluationCase{"info LIKE[c] 'get*'", true}, EvaluationCase{"info LIKE '*.htm'", false}, EvaluationCase{"city LIKE 'Z?rich'", true},
        EvaluationCase{"city LIKE 'Z??rich'", false}, EvaluationCase{"'' LIKE '*'", true},
        EvaluationCase{R"('a*b' LIKE 'a\\*b')", true}, EvaluationCase{R"('axb' LIKE 'a\\*b')", false},
        EvaluationCase{"'aXbXc' LIKE '*X*X*c'", true}, EvaluationCase{"'aXbXc' LIKE '*X*X*X*'", false},
        // Regular expressions match the whole text, in UTF mode.
        EvaluationCase{"info MATCHES 'GET'", false}, EvaluationCase{"info MATCHES[c] 'get .*'", true},
        EvaluationCase{"city MATCHES 'Z.rich'", true}, EvaluationCase{"city MATCHES '\\\\w+'", true},
        EvaluationCase{"city MATCHES[d] 'Zurich'", true}, EvaluationCase{"city MATCHES 'Zurich'", false},
        // Case and diacritic folding, on precomposed and decomposed texts.
        EvaluationCase{"city == 'Zurich'", false}, EvaluationCase{"city ==[c] 'Z\u00dcRICH'", true},
        EvaluationCase{"city ==[c] 'ZURICH'", false}, EvaluationCase{"city ==[cd] 'ZURICH'", true},
        EvaluationCase{"cafe ==[d] 'caf\u00e9'", true}, EvaluationCase{"cafe == 'caf\u00e9'", false},
        EvaluationCase{"'Stra\u00dfe' ==[c] 'STRASSE'", true},
        EvaluationCase{"'\u0141\u00d3D\u0179' ==[cd] '\u0142odz'", true},  // Ł has no decomposition: it only folds case
        EvaluationCase{"'\u0141odz' ==[d] 'Lodz'", false}, EvaluationCase{"'\u0391\u0398\u0397\u039d\u0391' ==[c] '\u03b1\u03b8\u03b7\u03bd\u03b1'", true},
        EvaluationCase{"'\u00c5ngstr\u00f6m' CONTAINS[cd] 'ANGSTROM'", true}),
    [](const auto& info) { return caseName(info.index); });

INSTANTIATE_TEST_SUITE_P(
    MissingValues, PredicateEvaluation,
    ::testing::Values(EvaluationCase{"missing == nil", true}, EvaluationCase{"srcPort == nil", false},
                      EvaluationCase{"missing == 0", false}, EvaluationCase{"missing != 0", true},
                      EvaluationCase{"missing >= 5", false}, EvaluationCase{"missing BEGINSWITH 'x'", false},
                      EvaluationCase{"missing LIKE '*'", false}, EvaluationCase{"missing MATCHES '.*'", false},
                      EvaluationCase{"missing BETWEEN {1, 2}", false}, EvaluationCase{"missing IN {1, 2}", false},
                      EvaluationCase{"info CONTAINS nil", false}, EvaluationCase{"srcPort IN nil", false},
                      EvaluationCase{"missing.deeper == nil", true}, EvaluationCase{"nil == nil", true},
                      EvaluationCase{"ANY missing == 1", false}, EvaluationCase{"peer.missing == nil", true}),
    [](const auto& info) { return caseName(info.index); });

INSTANTIATE_TEST_SUITE_P(
    CollectionsAndPaths, PredicateEvaluation,
    ::testing::Values(EvaluationCase{"tags CONTAINS 'http'", false}, EvaluationCase{"tags CONTAINS[c] 'http'", true},
                      EvaluationCase{"ports CONTAINS 443.0", true}, EvaluationCase{"ALL ports == 443", false},
                      EvaluationCase{"ALL ports > 10", true}, EvaluationCase{"NONE ports > 1000", true},
                      EvaluationCase{"ANY tags BEGINSWITH[c] 'ht'", true}, EvaluationCase{"ALL empty == 1", true},
                      EvaluationCase{"ANY empty == 1", false}, EvaluationCase{"{1, 2} CONTAINS 2", true},
                      EvaluationCase{"ports == {80, 443}", true}, EvaluationCase{"tags ==[c] {'TCP', 'http'}", true},
                      EvaluationCase{"peer.port == 8080", true}, EvaluationCase{"peer.host.description == 'example.org'", true},
                      EvaluationCase{"ANY peers.port == 8081", true}, EvaluationCase{"ALL peers.port >= 8080", true},
                      EvaluationCase{"ALL peers.port == 8080", false}, EvaluationCase{"seen == CAST(721692800, 'NSDate')", true},
                      EvaluationCase{"seen BETWEEN {CAST(0, 'NSDate'), CAST(800000000, 'NSDate')}", true},
                      EvaluationCase{"SELF != nil", true}),
    [](const auto& info) { return caseName(info.index); });

INSTANTIATE_TEST_SUITE_P(
    Logic, PredicateEvaluation,
    ::testing::Values(EvaluationCase{"srcPort == 80 OR NOT secure == NO", true},
                      EvaluationCase{"NOT (srcPort == 80 OR srcPort == 443)", false},
                      EvaluationCase{"srcPort == 80 OR srcPort == 8080 OR srcPort == 443", true},
                      EvaluationCase{"NOT FALSEPREDICATE AND !(srcPort < 0)", true},
                      // Short circuit: the clashing right-hand side is never evaluated.
                      EvaluationCase{"srcPort == 80 AND info < 5", false},
                      EvaluationCase{"srcPort == 443 OR info < 5", true}),
    [](const auto& info) { return caseName(info.index); });

TEST(PredicateEvaluation, SelfIsTheEvaluatedValue) {
    EXPECT_TRUE(parse("SELF == 'abc'")->evaluateWithObject(Value("abc")));
    EXPECT_TRUE(parse("SELF IN {1, 2}")->evaluateWithObject(Value(2.0)));
    EXPECT_TRUE(parse("description == '7'")->evaluateWithObject(Value(7)));
    EXPECT_TRUE(parse("SELF == nil")->evaluateWithObject(Value()));
    EXPECT_TRUE(parse("ANY SELF == 'b'")->evaluateWithObject(Value(Value::List{"a", "b"})));
}

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
    ::testing::Values(ClashCase{"srcPort CONTAINS '4'", "neither a text nor a list"},
                      ClashCase{"info < 5", "Can't compare"}, ClashCase{"payload < 'x'", "Can't compare"},
                      ClashCase{"srcPort MATCHES '4.*'", "regex"}, ClashCase{"srcPort LIKE '4*'", "isn't a text"},
                      ClashCase{"info ENDSWITH 4", "isn't a text"}, ClashCase{"5 IN info", "isn't a text"},
                      ClashCase{"srcPort BETWEEN {1, 2, 3}", "two bounds"},
                      ClashCase{"ANY srcPort == 1", "ALL or ANY"}, ClashCase{"ALL info == 'x'", "ALL or ANY"},
                      ClashCase{"info MATCHES '('", "missing closing parenthesis"},
                      ClashCase{"info MATCHES '\\\\'", "\\ at end of pattern"},
                      ClashCase{"info == $unbound", "Can't get value for 'unbound'"}),
    [](const auto& info) { return caseName(info.index); });

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
        {"srcPort IN %@", {Value::List{80, 443}}, "srcPort IN {80, 443}"},
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
    ::testing::Values(ErrorCase{"", "expected a value at 0"}, ErrorCase{"srcPort 443", "expected a comparison operator at 8"},
                      ErrorCase{"(srcPort == 443", "expected ')' at 15"},
                      ErrorCase{"srcPort == 443)", "expected AND, OR or the end of the text at 14"},
                      ErrorCase{"a == 'abc", "expected a closing ' at 9"},
                      ErrorCase{"a == 12abc", "expected a delimiter after the number at 7"},
                      ErrorCase{"a == -9223372036854775809", "expected a number in range at 5"},
                      ErrorCase{"a == 1e999", "expected a number in range at 5"},
                      ErrorCase{"a == 0x", "expected digits at 7"},
                      ErrorCase{"a == 1 & b == 2", "expected '&&' at 7"},
                      ErrorCase{"a ==[x] 1", "expected options made of c, d and n at 4"},
                      ErrorCase{"a == [c", "expected ']' at 7"}, ErrorCase{"a == $", "expected a variable name at 6"},
                      ErrorCase{"a == %d", "expected an argument for %d at 5"},
                      ErrorCase{"a. == 1", "expected a key after '.' at 3"},
                      ErrorCase{"a == {1, 2", "expected ',' or '}' at 10"},
                      ErrorCase{"IN == 1", "expected a value at 0"}, ErrorCase{"a == SUBQUERY(x)", "expected a value at 5"},
                      ErrorCase{R"(a == '\ud800')", "expected a low surrogate at 12"},
                      ErrorCase{R"(a == '\udc00')", "expected a high surrogate first at 6"},
                      ErrorCase{R"(a == '\u12')", "expected four hex digits at 10"},
                      ErrorCase{"a == ~", "unexpected character at 5"}, ErrorCase{"a == #1", "expected a name after '#' at 6"},
                      ErrorCase{"a == CAST(1, 'NSString')", "expected \"NSDate\" at 13"},
                      ErrorCase{"a == CAST('x', 'NSDate')", "expected a number of seconds at 10"}, ErrorCase{"NOT", "expected a value at 3"}),
    [](const auto& info) { return caseName(info.index); });

TEST(PredicateParseError, UnknownEscapesAndConversionsNameTheirPosition) {
    for (const auto& [format, position] : std::vector<std::pair<const char*, std::size_t>>{
             {R"(a == "\q")", 6}, {"a == %x", 5}, {"a == %lK", 5}}) {
        try {
            parse(format);
            ADD_FAILURE() << format;
        } catch (const PredicateFormatError& e) {
            EXPECT_EQ(e.position(), position) << format;
        }
    }
}

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
