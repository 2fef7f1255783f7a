#pragma once
// The value semantics of the comparison operators.

#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/Value.hpp"

namespace qor::predicate_operators {

/// `left OP right` for one pair of values (the modifier has been applied by the caller).
/// `pattern` is the compiled right-hand pattern of MATCHES when it is a constant, else null.
/// Raises `NSInvalidArgumentException` on a type clash, as `NSComparisonPredicate` documents.
bool apply(NSPredicateOperatorType type, unsigned options, const Value& left, const Value& right,
           const PredicateRegularExpression* pattern);

/// Whole-text wildcard match: `?` is one character, `*` any run, `\` quotes the next character.
bool like(std::string_view text, std::string_view pattern);

/// Raises the platform exception for a predicate that cannot be evaluated.
[[noreturn]] void raise(std::string reason);

}  // namespace qor::predicate_operators
