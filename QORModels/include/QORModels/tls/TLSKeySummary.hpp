#pragma once
// Counts of a document's TLS sessions by status.

#include <cstddef>
#include <cstdint>
#include <span>

#include "QORModels/tls/TLSSessionKeyRow.hpp"
#include "QORModels/tls/TLSSessionStatusResolving.hpp"

namespace qor {

/// Rows counted by status: `decrypted` and `keysComplete` are keyed and complete,
/// `keysIncomplete` and `failed` keyed and incomplete, `noKeyMaterial` without key. So
/// `keyed == complete + incomplete` and `total == keyed + noKey`.
struct TLSKeySummary {
    std::int64_t total = 0;
    std::int64_t keyed = 0;
    std::int64_t complete = 0;
    std::int64_t incomplete = 0;
    std::int64_t noKey = 0;

    /// All zero.
    TLSKeySummary() = default;
    /// The rows counted with the canonical resolver.
    explicit TLSKeySummary(std::span<const TLSSessionKeyRow> rows);
    TLSKeySummary(std::span<const TLSSessionKeyRow> rows, const TLSSessionStatusResolving& resolver);

    friend bool operator==(const TLSKeySummary&, const TLSKeySummary&) = default;
};

struct TLSKeySummaryHash {
    std::size_t operator()(const TLSKeySummary& summary) const noexcept;
};

}  // namespace qor
