// The status resolvers and the canonical one.

#include "QORModels/tls/TLSSessionStatusResolving.hpp"

#include "QORModels/tls/TLSKeyCompleteness.hpp"

namespace qor {

TLSSessionStatus KeyCompletenessStatusResolver::status(const TLSSessionKeyRow& row) const {
    if (!row.hasKey()) return TLSSessionStatus::noKeyMaterial();
    auto missing = TLSKeyCompleteness::missingLabels(row.allLabels());
    if (missing.empty()) return TLSSessionStatus::keysComplete();
    return TLSSessionStatus::keysIncomplete(std::move(missing));
}

TLSSessionStatus DecryptionOutcomeStatusResolver::status(const TLSSessionKeyRow& row) const {
    if (!row.decryptionOutcome) return fallback.status(row);
    const auto failure = row.decryptionOutcome->failure();
    if (!failure) return TLSSessionStatus::decrypted();
    if (*failure == TLSDecryptionFailure::noKeyMaterial) return TLSSessionStatus::noKeyMaterial();
    return TLSSessionStatus::failed(*failure);
}

const DecryptionOutcomeStatusResolver& TLSSessionStatusResolution::canonical() {
    static const DecryptionOutcomeStatusResolver resolver;  // initialised once, thread-safely
    return resolver;
}

}  // namespace qor
