#include "QORPlatform/NSError.hpp"

#include <fmt/format.h>

namespace qor {

std::string NSError::localizedDescription() const {
    if (auto it = userInfo.find(NSLocalizedDescriptionKey); it != userInfo.end()) {
        if (auto s = it->second.asString()) return *s;
    }
    return fmt::format("The operation couldn't be completed. ({} error {}.)", domain, code);
}

std::optional<std::string> NSError::localizedFailureReason() const {
    if (auto it = userInfo.find(NSLocalizedFailureReasonErrorKey); it != userInfo.end()) return it->second.asString();
    return std::nullopt;
}

}  // namespace qor
