#pragma once
// Turning a session's row into one status.

#include "QORModels/tls/TLSSessionKeyRow.hpp"
#include "QORModels/tls/TLSSessionStatus.hpp"

namespace qor {

/// Gives a row its status. Implementations are immutable and may be used from any thread.
class TLSSessionStatusResolving {
public:
    virtual ~TLSSessionStatusResolving() = default;
    [[nodiscard]] virtual TLSSessionStatus status(const TLSSessionKeyRow& row) const = 0;
};

/// Judges the key material alone: no match gives `noKeyMaterial`; otherwise the labels the
/// row's matches lack (`TLSKeyCompleteness::missingLabels`) give `keysComplete` when there are
/// none and `keysIncomplete(those labels)` otherwise.
class KeyCompletenessStatusResolver final : public TLSSessionStatusResolving {
public:
    [[nodiscard]] TLSSessionStatus status(const TLSSessionKeyRow& row) const override;
};

/// Judges the decryption outcome first: none gives the `fallback`'s status; `decrypted` gives
/// `decrypted`; `notDecrypted(noKeyMaterial)` gives `noKeyMaterial`; any other failure `failed`.
class DecryptionOutcomeStatusResolver final : public TLSSessionStatusResolving {
public:
    KeyCompletenessStatusResolver fallback;
    [[nodiscard]] TLSSessionStatus status(const TLSSessionKeyRow& row) const override;
};

/// The resolver rows and summaries use unless given another.
class TLSSessionStatusResolution {
public:
    TLSSessionStatusResolution() = delete;
    /// A `DecryptionOutcomeStatusResolver`, made once on first use (thread-safe) and kept for the
    /// life of the process.
    static const DecryptionOutcomeStatusResolver& canonical();
};

}  // namespace qor
