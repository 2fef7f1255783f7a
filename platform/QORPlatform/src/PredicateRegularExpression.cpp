#include "PredicateRegularExpression.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "QORPlatform/NSComparisonPredicate.hpp"
#include "QORPlatform/NSError.hpp"

namespace qor {
namespace {

/// Backtracking bounds: far above what a filter over packet texts needs, far below what would
/// stall an evaluation on a pathological pattern such as `(a+)+$`.
constexpr std::uint32_t kMatchLimit = 1'000'000;
constexpr std::uint32_t kDepthLimit = 10'000;
constexpr std::uint32_t kHeapLimitKiB = 8 * 1024;

std::string errorMessage(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    return n < 0 ? "unknown error " + std::to_string(code) : std::string(reinterpret_cast<const char*>(buffer), n);
}

/// The match limits, made once and only read afterwards (PCRE2 takes them non-const).
pcre2_match_context* matchContext() {
    static pcre2_match_context* const context = [] {
        pcre2_match_context* c = pcre2_match_context_create(nullptr);
        pcre2_set_match_limit(c, kMatchLimit);
        pcre2_set_depth_limit(c, kDepthLimit);
        pcre2_set_heap_limit(c, kHeapLimitKiB);
        return c;
    }();
    return context;
}

/// Each thread's match data: a whole-text match needs only the overall match's offsets.
pcre2_match_data* threadMatchData() {
    struct Holder {
        pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
        ~Holder() { pcre2_match_data_free(data); }
    };
    thread_local Holder holder;
    return holder.data;
}

}  // namespace

struct PredicateRegularExpression::Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

PredicateRegularExpression::PredicateRegularExpression(std::string_view pattern, unsigned options) {
    std::uint32_t flags = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF | PCRE2_ANCHORED | PCRE2_ENDANCHORED;
    if (options & NSCaseInsensitivePredicateOption) flags |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, &error,
                                     &offset, nullptr);
    if (!code) {
        error_ = "Can't do regex matching, reason: " + errorMessage(error) + " at pattern offset " +
                 std::to_string(offset);
        return;
    }
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // an interpreter match when JIT is unavailable
    code_ = std::make_unique<Code>();
    code_->code = code;
}

PredicateRegularExpression::~PredicateRegularExpression() = default;

bool PredicateRegularExpression::matches(std::string_view subject) const {
    if (!code_) throw NSException(NSInvalidArgumentException, error_);
    if (subject.empty()) subject = "";  // never hand PCRE2 a null subject
    const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                               threadMatchData(), matchContext());
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    throw NSException(NSInvalidArgumentException, "Can't do regex matching, reason: " + errorMessage(rc));
}

}  // namespace qor
