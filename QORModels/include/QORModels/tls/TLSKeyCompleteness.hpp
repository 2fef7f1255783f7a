#pragma once
// Which key-log labels a session still needs.

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

/// The key material a session needs: a TLS 1.2 session its master secret (one CLIENT_RANDOM
/// line), a TLS 1.3 session its four traffic secrets.
namespace TLSKeyCompleteness {

inline constexpr std::string_view clientRandomLabel = "CLIENT_RANDOM";
inline constexpr std::array<std::string_view, 4> tls13RequiredLabels = {
    "CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0",
    "SERVER_TRAFFIC_SECRET_0"};

/// Nothing when `labels` hold "CLIENT_RANDOM"; otherwise every label of `tls13RequiredLabels`
/// that `labels` lack, in that list's order (all four for no labels at all).
std::vector<std::string> missingLabels(std::span<const std::string> labels);

}  // namespace TLSKeyCompleteness

}  // namespace qor
