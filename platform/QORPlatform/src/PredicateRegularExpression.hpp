#pragma once
// The compiled pattern of a MATCHES comparison.

#include <memory>
#include <string>
#include <string_view>

namespace qor {

/// A PCRE2 pattern compiled once for whole-text matching (anchored at both ends, UTF mode with
/// Unicode properties), shared by every evaluation. Invalid UTF-8 in a subject is no error, but
/// nothing matches across it, so such a subject never matches as a whole.
///
/// A pattern that does not compile is kept with the compiler's message, and `matches` raises
/// `NSInvalidArgumentException` with it. Matching is bounded (match, depth and heap limits), and
/// a subject that exceeds them raises instead of running without bound. `matches` is const and
/// thread-safe: the compiled code is only read, and each thread keeps its own match data.
class PredicateRegularExpression {
public:
    /// `options` are the comparison's options: case-insensitive makes the pattern caseless.
    PredicateRegularExpression(std::string_view pattern, unsigned options);
    ~PredicateRegularExpression();
    PredicateRegularExpression(const PredicateRegularExpression&) = delete;
    PredicateRegularExpression& operator=(const PredicateRegularExpression&) = delete;

    [[nodiscard]] bool matches(std::string_view subject) const;

private:
    struct Code;
    std::unique_ptr<Code> code_;
    std::string error_;  // why the pattern did not compile
};

}  // namespace qor
