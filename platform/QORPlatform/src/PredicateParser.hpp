#pragma once
// Reads the predicate language into a predicate tree.

#include <span>
#include <string_view>

#include "QORPlatform/NSPredicate.hpp"

namespace qor {

/// Parses `format` (see `NSPredicate::predicateWithFormat`). Raises `PredicateFormatError`.
NSPredicate::Ref parsePredicateFormat(std::string_view format, std::span<const Value> arguments);

}  // namespace qor
