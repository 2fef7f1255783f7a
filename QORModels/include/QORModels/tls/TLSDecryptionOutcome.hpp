#pragma once
// What came of trying to decrypt a TLS session's records.

#include <cstddef>
#include <optional>

namespace qor {

/// Why a session's records were not decrypted.
enum class TLSDecryptionFailure { noHandshake, unsupportedVersion, noKeyMaterial, keyMismatch, recordDecryptionFailed };

/// "noHandshake", "unsupportedVersion", "noKeyMaterial", "keyMismatch", "recordDecryptionFailed".
const char* rawValue(TLSDecryptionFailure failure);

/// `decrypted`, or `notDecrypted(failure)`.
class TLSDecryptionOutcome {
public:
    static TLSDecryptionOutcome decrypted() { return TLSDecryptionOutcome(std::nullopt); }
    static TLSDecryptionOutcome notDecrypted(TLSDecryptionFailure failure) { return TLSDecryptionOutcome(failure); }

    [[nodiscard]] bool isDecrypted() const noexcept { return !failure_; }
    /// The failure of a `notDecrypted` outcome; nothing for `decrypted`.
    [[nodiscard]] std::optional<TLSDecryptionFailure> failure() const noexcept { return failure_; }
    /// "decrypted", or the failure's raw value.
    [[nodiscard]] const char* description() const noexcept { return failure_ ? rawValue(*failure_) : "decrypted"; }

    friend bool operator==(const TLSDecryptionOutcome&, const TLSDecryptionOutcome&) = default;

private:
    explicit TLSDecryptionOutcome(std::optional<TLSDecryptionFailure> failure) : failure_(failure) {}
    std::optional<TLSDecryptionFailure> failure_;
};

struct TLSDecryptionOutcomeHash {
    std::size_t operator()(const TLSDecryptionOutcome& outcome) const noexcept {
        return outcome.failure() ? static_cast<std::size_t>(*outcome.failure()) + 1 : 0;
    }
};

}  // namespace qor
