#pragma once
// Why a display filter could not be compiled or evaluated.

#include <stdexcept>
#include <string>

namespace qor {

/// A display-filter tree that does not compile into a predicate.
class FilterCompileError : public std::runtime_error {
public:
    enum class Kind {
        unknownAttribute,     ///< a row names no attribute of the catalog (`attributeID`)
        invalidPredicate,     ///< the predicate family refused to build it (`format`, `reason`)
        notRequiresOneChild,  ///< a `not` group does not have exactly one child
    };

    static FilterCompileError unknownAttribute(std::string attributeID) {
        return FilterCompileError(Kind::unknownAttribute, std::move(attributeID), {}, {});
    }
    static FilterCompileError invalidPredicate(std::string format, std::string reason) {
        return FilterCompileError(Kind::invalidPredicate, {}, std::move(format), std::move(reason));
    }
    static FilterCompileError notRequiresOneChild() { return FilterCompileError(Kind::notRequiresOneChild, {}, {}, {}); }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] const std::string& attributeID() const { return attributeID_; }
    [[nodiscard]] const std::string& format() const { return format_; }
    [[nodiscard]] const std::string& reason() const { return reason_; }
    friend bool operator==(const FilterCompileError& a, const FilterCompileError& b) {
        return a.kind_ == b.kind_ && a.attributeID_ == b.attributeID_ && a.format_ == b.format_ && a.reason_ == b.reason_;
    }

private:
    FilterCompileError(Kind kind, std::string attributeID, std::string format, std::string reason);
    Kind kind_;
    std::string attributeID_, format_, reason_;
};

/// A predicate that could not be evaluated over a packet list.
class FilterEvaluationError : public std::runtime_error {
public:
    enum class Kind {
        evaluationFailed,  ///< evaluating a packet raised a platform exception (`reason`)
        cancelled,         ///< the evaluating task was cancelled between two packets
    };

    static FilterEvaluationError evaluationFailed(std::string reason) {
        return FilterEvaluationError(Kind::evaluationFailed, std::move(reason));
    }
    static FilterEvaluationError cancelled() { return FilterEvaluationError(Kind::cancelled, {}); }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] const std::string& reason() const { return reason_; }
    friend bool operator==(const FilterEvaluationError& a, const FilterEvaluationError& b) {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_;
    }

private:
    FilterEvaluationError(Kind kind, std::string reason);
    Kind kind_;
    std::string reason_;
};

}  // namespace qor
