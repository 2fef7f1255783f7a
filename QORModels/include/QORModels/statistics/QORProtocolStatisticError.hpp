#pragma once
// Why the protocol statistics of a document could not be started.

#include <stdexcept>
#include <string_view>

namespace qor {

/// Raised by `QORProtocolStatisticProcessManagement::startAnalyzing` before any packet is read
/// (failures of the analysis itself are `APIError`s).
class QORProtocolStatisticError : public std::runtime_error {
public:
    enum class Kind {
        alreadyAnalyzing,  ///< a run of the same statistics process has not ended yet
        undefined,         ///< no packets provider, no progress state, or a file node of another file
    };
    static QORProtocolStatisticError alreadyAnalyzing() { return QORProtocolStatisticError(Kind::alreadyAnalyzing); }
    static QORProtocolStatisticError undefined() { return QORProtocolStatisticError(Kind::undefined); }

    [[nodiscard]] Kind kind() const { return kind_; }
    friend bool operator==(const QORProtocolStatisticError& a, const QORProtocolStatisticError& b) { return a.kind_ == b.kind_; }

private:
    explicit QORProtocolStatisticError(Kind kind);
    Kind kind_;
};

/// "alreadyAnalyzing" or "undefined".
std::string_view caseName(QORProtocolStatisticError::Kind kind);

}  // namespace qor
