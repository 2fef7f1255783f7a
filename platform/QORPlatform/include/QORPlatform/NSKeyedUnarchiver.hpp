#pragma once
// Reading predicates back from keyed archives: binary property lists in the layout the
// platform's keyed archiver writes.

#include <cstddef>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>

#include "QORPlatform/NSError.hpp"
#include "QORPlatform/NSPredicate.hpp"

namespace qor {

/// A failure to unarchive: the error object (`NSCocoaErrorDomain`, `NSCoderReadCorruptError` or
/// `NSCoderValueNotFoundError`, the reason under `NSLocalizedDescriptionKey`) and its
/// description as `what()`.
class NSKeyedUnarchiverError : public NSCocoaError {
public:
    using NSCocoaError::NSCocoaError;
};

/// A secure keyed unarchiver for the predicate family.
///
/// The archive is a binary property list ("bplist00", read with libplist) whose top-level dictionary
/// holds `$archiver` ("NSKeyedArchiver"), `$top` (the root object's reference under "root") and
/// `$objects` (every archived object; references are UIDs, index 0 being `$null`). An archived
/// object is a dictionary whose `$class` references a class description holding `$classname`.
/// Texts, numbers, booleans, dates and data may also sit in `$objects` directly.
///
/// Classes understood, by `$classname` (the `$classes` chain written in the archive is not
/// trusted; each name has a fixed place in the platform's hierarchy):
/// - `NSCompoundPredicate`: `NSCompoundPredicateType` (0 not, 1 and, 2 or), `NSSubpredicates`.
/// - `NSComparisonPredicate`: `NSLeftExpression`, `NSRightExpression`, `NSPredicateOperator`.
/// - `NSTruePredicate`, `NSFalsePredicate`: the constant predicates.
/// - the operator object, `NSPredicateOperator` or one of its subclasses
///   (`NSComparisonPredicateOperator`, `NSEqualityPredicateOperator`, `NSLikePredicateOperator`,
///   `NSSubstringPredicateOperator`, `NSMatchingPredicateOperator`, `NSInPredicateOperator`,
///   `NSBetweenPredicateOperator`, `NSStringPredicateOperator`): `NSOperatorType`, `NSModifier`
///   and the comparison options under `NSFlags` (absent means none; bits other than case,
///   diacritic and normalised are dropped).
/// - expressions, `NSExpression` or a subclass (`NSConstantValueExpression`,
///   `NSSelfExpression`, `NSVariableExpression`, `NSKeyPathExpression`, `NSFunctionExpression`):
///   by `NSExpressionType`: 0 a constant under `NSConstantValue`; 1 the evaluated object; 2 a
///   variable named under `NSVariable`; 3 (or 4) a key path, either as text under `NSKeyPath` or
///   as the function form whose `NSSelectorName` is "valueForKey:", `NSOperand` the evaluated
///   object and `NSArguments` one constant holding the key.
/// - `NSArray`, `NSMutableArray` (`NS.objects`), `NSString`, `NSMutableString` (`NS.string`),
///   `NSDate` (`NS.time`, seconds since 2001), `NSNumber` written inline.
///
/// As with the platform's secure unarchiver, a class is accepted only when it is one of
/// `allowedClasses` or a subclass of one; the classes an allowed class reads for its own fields
/// (arrays and texts, the operator object, dates) need not be listed. Every other class name
/// fails with `NSCoderValueNotFoundError`.
///
/// Hostile archives fail cleanly: the data is capped at `kMaxKeyedArchiveBytes` and its
/// container nesting at `kMaxPropertyListNesting` before libplist parses it,
/// references are range-checked, a reference cycle fails, nesting is capped at
/// `kMaxKeyedArchiveDepth` objects, and decoded objects are shared by reference (an object
/// referenced many times is decoded once) with the total number of constant values capped at
/// `kMaxKeyedArchiveValues`, so a small archive cannot expand into a huge tree. Stateless and
/// thread-safe.
class NSKeyedUnarchiver {
public:
    /// The largest archive read. A saved predicate takes a few kilobytes.
    static constexpr std::size_t kMaxKeyedArchiveBytes = 1 << 20;
    /// How many archived objects may be nested inside one another: enough for the deepest
    /// predicate the family accepts (a compound level is a predicate and its array).
    static constexpr unsigned kMaxKeyedArchiveDepth = 4 * kMaxPredicateDepth + 16;
    /// How deeply the property list itself may nest containers. A keyed archive needs four
    /// levels (the top dictionary, `$objects`, an object, its array); the rest of an archive's
    /// nesting goes through references, which the reader follows with its own limits.
    static constexpr unsigned kMaxPropertyListNesting = 8;
    /// How many values (list elements included) the constants of one archive may hold together.
    static constexpr std::size_t kMaxKeyedArchiveValues = 1 << 16;

    /// The root object of `data` as a predicate: a predicate of the family, or nullptr when the
    /// root is nil or a value that is not a predicate (a text, a number, an expression). Throws
    /// `NSKeyedUnarchiverError`.
    static NSPredicate::Ref unarchivedPredicateOfClasses(const std::set<std::string, std::less<>>& allowedClasses,
                                                         std::span<const std::byte> data);
};

}  // namespace qor
