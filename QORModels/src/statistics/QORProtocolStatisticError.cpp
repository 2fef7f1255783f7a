#include "QORModels/statistics/QORProtocolStatisticError.hpp"

#include <string>

namespace qor {

std::string_view caseName(QORProtocolStatisticError::Kind kind) {
    switch (kind) {
        case QORProtocolStatisticError::Kind::alreadyAnalyzing: return "alreadyAnalyzing";
        case QORProtocolStatisticError::Kind::undefined: return "undefined";
    }
    return "undefined";
}

QORProtocolStatisticError::QORProtocolStatisticError(Kind kind)
    : std::runtime_error("QORProtocolStatisticError." + std::string(caseName(kind))), kind_(kind) {}

}  // namespace qor
