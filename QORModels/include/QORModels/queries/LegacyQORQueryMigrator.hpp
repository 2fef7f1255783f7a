#pragma once
// Turning platform predicates (legacy saved queries, predicate-language texts) into
// display-filter trees.

#include <cstddef>
#include <span>
#include <string_view>

#include "QORModels/filters/FilterNode.hpp"
#include "QORModels/queries/LegacyMigrationError.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {

/// Converts predicates into `FilterNode` trees. Stateless; every operation is thread-safe.
namespace LegacyQORQueryMigrator {

/// The most filter nodes one conversion makes. Predicate trees may share sub-trees (an archive
/// may reference one subpredicate many times), so a small predicate can stand for a huge tree;
/// the conversion stops there. A filter a person edits holds a few dozen conditions.
inline constexpr std::size_t kMaxConvertedNodes = 10000;

/// Unarchives a predicate from a keyed archive (`NSKeyedUnarchiver`, allowing exactly
/// `NSPredicate`, `NSCompoundPredicate`, `NSComparisonPredicate` and `NSExpression` with their
/// subclasses) and converts it. Throws the unarchiver's `NSKeyedUnarchiverError` unchanged,
/// `LegacyMigrationError::unarchiveFailed` when the root is nil or not a predicate, and what
/// `convert(predicate)` throws.
FilterNode convert(std::span<const std::byte> archiveData);

/// Converts a predicate tree:
/// - a compound becomes a group (NOT → `not`, OR → `or`, AND → `and`) of its converted
///   subpredicates, in order, with a new id and no saved-query name;
/// - a comparison whose left side is a key path and right side a constant becomes a row with a
///   new id: comparison by operator code (0 `lessThan`, 1 `lessThanOrEqual`, 2 `greaterThan`,
///   3 `greaterThanOrEqual`, 4 `equalTo`, 5 `notEqualTo`, 8 `beginsWith`, 9 `endsWith`, 99
///   `contains`; any other code throws `unsupportedOperator`), `attributeID` the key path, "."
///   and the comparison's raw value, value from the constant (text → `string`, floating-point
///   number → `double`, other numbers and booleans → `int`, date → `date`, nil → empty
///   `string`, anything else → `string` of its description), `caseInsensitive` the `[c]` option;
///   the ANY/ALL modifier and the other options are dropped;
/// - every other predicate or operand throws `unsupportedExpression`.
/// The catalog is not consulted. A tree nested deeper than `kFilterMaxNodeDepth` throws
/// `unsupportedExpression` too (it could be saved but never read back), as does one of more
/// than `kMaxConvertedNodes` nodes.
FilterNode convert(const NSPredicate& predicate);

/// Reads a text of the predicate language (`packetProtocol == "DNS" AND packetLengthReal > 100`)
/// with the platform parser and converts the predicate. Throws `PredicateFormatError` (naming
/// the byte offset) for a text that does not parse, and what `convert(predicate)` throws.
FilterNode convertPredicateFormat(std::string_view format);

}  // namespace LegacyQORQueryMigrator

}  // namespace qor
