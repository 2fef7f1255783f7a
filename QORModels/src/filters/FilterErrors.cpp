#include "QORModels/filters/FilterErrors.hpp"

namespace qor {
namespace {

std::string compileMessage(FilterCompileError::Kind kind, const std::string& attributeID, const std::string& format,
                           const std::string& reason) {
    switch (kind) {
        case FilterCompileError::Kind::unknownAttribute: return "unknown filter attribute \"" + attributeID + "\"";
        case FilterCompileError::Kind::invalidPredicate: return "invalid filter \"" + format + "\": " + reason;
        case FilterCompileError::Kind::notRequiresOneChild: return "a NOT group needs exactly one condition";
    }
    return "invalid filter";
}

}  // namespace

FilterCompileError::FilterCompileError(Kind kind, std::string attributeID, std::string format, std::string reason)
    : std::runtime_error(compileMessage(kind, attributeID, format, reason)),
      kind_(kind),
      attributeID_(std::move(attributeID)),
      format_(std::move(format)),
      reason_(std::move(reason)) {}

FilterEvaluationError::FilterEvaluationError(Kind kind, std::string reason)
    : std::runtime_error(kind == Kind::cancelled ? std::string("filtering was cancelled") : "filter evaluation failed: " + reason),
      kind_(kind),
      reason_(std::move(reason)) {}

}  // namespace qor
