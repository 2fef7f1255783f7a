#pragma once
// One TLS session's key and decryption status.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QORModels/tls/TLSDecryptionOutcome.hpp"

namespace qor {

/// The status of a session's key material, or of the decryption tried with it.
///
/// | case             | severity | isProblem |
/// |------------------|----------|-----------|
/// | `decrypted`      | 0        | no        |
/// | `keysComplete`   | 1        | no        |
/// | `keysIncomplete` | 2        | yes       |
/// | `failed`         | 3        | yes       |
/// | `noKeyMaterial`  | 4        | yes       |
class TLSSessionStatus {
public:
    enum class Case { decrypted, keysComplete, keysIncomplete, failed, noKeyMaterial };

    /// A probe decrypted the session's records.
    static TLSSessionStatus decrypted() { return TLSSessionStatus(Case::decrypted); }
    /// All the key material the session needs is present.
    static TLSSessionStatus keysComplete() { return TLSSessionStatus(Case::keysComplete); }
    /// Some material is present; `missingLabels` are the labels still needed.
    static TLSSessionStatus keysIncomplete(std::vector<std::string> missingLabels);
    /// A probe tried and failed.
    static TLSSessionStatus failed(TLSDecryptionFailure failure);
    /// No key material for the session's client random.
    static TLSSessionStatus noKeyMaterial() { return TLSSessionStatus(Case::noKeyMaterial); }

    [[nodiscard]] Case kind() const noexcept { return case_; }
    /// The missing labels of `keysIncomplete`; empty for every other case.
    [[nodiscard]] const std::vector<std::string>& missingLabels() const noexcept { return missingLabels_; }
    /// The failure of `failed`; nothing for every other case.
    [[nodiscard]] std::optional<TLSDecryptionFailure> failure() const noexcept { return failure_; }

    /// Orders statuses for display: 0 (`decrypted`) is the least severe, 4 (`noKeyMaterial`) the most.
    [[nodiscard]] std::int64_t severity() const noexcept { return static_cast<std::int64_t>(case_); }
    /// Every case but `decrypted` and `keysComplete`.
    [[nodiscard]] bool isProblem() const noexcept { return case_ != Case::decrypted && case_ != Case::keysComplete; }

    /// The status as a keys view shows it: "decrypted", "keys complete", "keys incomplete
    /// (missing CLIENT_TRAFFIC_SECRET_0, SERVER_TRAFFIC_SECRET_0)", "failed (keyMismatch)" (the
    /// failure's raw value) or "no key material".
    [[nodiscard]] std::string description() const;

    /// Equal cases; for `keysIncomplete` equal label lists, for `failed` equal failures.
    friend bool operator==(const TLSSessionStatus&, const TLSSessionStatus&) = default;

private:
    explicit TLSSessionStatus(Case c) : case_(c) {}
    Case case_;
    std::vector<std::string> missingLabels_;
    std::optional<TLSDecryptionFailure> failure_;
};

struct TLSSessionStatusHash {
    std::size_t operator()(const TLSSessionStatus& status) const noexcept;
};

}  // namespace qor
