// Counting rows by status.

#include "QORModels/tls/TLSKeySummary.hpp"

namespace qor {

TLSKeySummary::TLSKeySummary(std::span<const TLSSessionKeyRow> rows)
    : TLSKeySummary(rows, TLSSessionStatusResolution::canonical()) {}

TLSKeySummary::TLSKeySummary(std::span<const TLSSessionKeyRow> rows, const TLSSessionStatusResolving& resolver) {
    total = static_cast<std::int64_t>(rows.size());
    for (const auto& row : rows) {
        switch (resolver.status(row).kind()) {
            case TLSSessionStatus::Case::decrypted:
            case TLSSessionStatus::Case::keysComplete: ++keyed, ++complete; break;
            case TLSSessionStatus::Case::keysIncomplete:
            case TLSSessionStatus::Case::failed: ++keyed, ++incomplete; break;
            case TLSSessionStatus::Case::noKeyMaterial: ++noKey; break;
        }
    }
}

std::size_t TLSKeySummaryHash::operator()(const TLSKeySummary& s) const noexcept {
    std::size_t seed = 0;
    for (auto value : {s.total, s.keyed, s.complete, s.incomplete, s.noKey})
        seed = seed * 1000003 + static_cast<std::size_t>(value);
    return seed;
}

}  // namespace qor
