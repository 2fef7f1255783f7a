#include "QORModels/packets/APIError.hpp"

namespace qor {

std::string_view caseName(APIError e) {
    switch (e) {
        case APIError::unknown: return "unknown";
        case APIError::missingData: return "missingData";
        case APIError::serialization: return "serialization";
        case APIError::invalidData: return "invalidData";
        case APIError::auth: return "auth";
        case APIError::pcapOpenDead: return "pcapOpenDead";
        case APIError::pcapDumpOpen: return "pcapDumpOpen";
        case APIError::pcapDump: return "pcapDump";
        case APIError::user_cancelled: return "user_cancelled";
    }
    return "unknown";
}

APIErrorException::APIErrorException(APIError code, std::string detail)
    : std::runtime_error(detail.empty() ? "APIError." + std::string(caseName(code)) : detail), code_(code), detail_(std::move(detail)) {}

}  // namespace qor
