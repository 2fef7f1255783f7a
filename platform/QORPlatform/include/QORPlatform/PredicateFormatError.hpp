#pragma once
// The failure to read a predicate format text.

#include <cstddef>
#include <string>

#include "QORPlatform/NSError.hpp"

namespace qor {

/// Raised by `NSPredicate::predicateWithFormat` when the text does not parse: an
/// `NSInvalidArgumentException` whose reason is what was expected and where, for example
/// "expected a value at 12". The position is a byte offset from the start of the text (0 is the
/// first byte), so a caller can point at it. Being an `NSException`, it is caught by the
/// exception catcher like every other predicate failure.
class PredicateFormatError : public NSException {
public:
    PredicateFormatError(std::string expected, std::size_t position)
        : NSException(NSInvalidArgumentException, expected + " at " + std::to_string(position)),
          expected_(std::move(expected)),
          position_(position) {}
    /// What the parser wanted there ("expected a value").
    [[nodiscard]] const std::string& expected() const noexcept { return expected_; }
    [[nodiscard]] std::size_t position() const noexcept { return position_; }

private:
    std::string expected_;
    std::size_t position_;
};

}  // namespace qor
