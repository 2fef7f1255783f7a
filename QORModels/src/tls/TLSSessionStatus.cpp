// Session statuses, their display text and hash.

#include "QORModels/tls/TLSSessionStatus.hpp"

#include <functional>

namespace qor {

TLSSessionStatus TLSSessionStatus::keysIncomplete(std::vector<std::string> missingLabels) {
    TLSSessionStatus status(Case::keysIncomplete);
    status.missingLabels_ = std::move(missingLabels);
    return status;
}

TLSSessionStatus TLSSessionStatus::failed(TLSDecryptionFailure failure) {
    TLSSessionStatus status(Case::failed);
    status.failure_ = failure;
    return status;
}

std::string TLSSessionStatus::description() const {
    switch (case_) {
        case Case::decrypted: return "decrypted";
        case Case::keysComplete: return "keys complete";
        case Case::keysIncomplete: {
            std::string text = "keys incomplete";
            for (std::size_t i = 0; i < missingLabels_.size(); ++i) text += (i ? ", " : " (missing ") + missingLabels_[i];
            return missingLabels_.empty() ? text : text + ")";
        }
        case Case::failed: return std::string("failed (") + rawValue(*failure_) + ")";
        case Case::noKeyMaterial: return "no key material";
    }
    return {};
}

std::size_t TLSSessionStatusHash::operator()(const TLSSessionStatus& status) const noexcept {
    std::size_t seed = static_cast<std::size_t>(status.kind());
    for (const auto& label : status.missingLabels()) seed = seed * 31 + std::hash<std::string>{}(label);
    if (status.failure()) seed = seed * 31 + static_cast<std::size_t>(*status.failure()) + 1;
    return seed;
}

}  // namespace qor
