#include "QORModels/sessions/SubscriberSession.hpp"

#include <fmt/format.h>

namespace qor {
namespace {

/// The raw values of an enumeration's cases, in the order of their declaration.
template <std::size_t N>
using Names = std::array<std::string_view, N>;

constexpr Names<6> kPhaseNames = {"discovery", "link", "auth", "network", "data", "teardown"};
constexpr Names<2> kDirectionNames = {"clientToAC", "acToClient"};
constexpr Names<3> kAuthResultNames = {"success", "failure", "unknown"};
constexpr Names<2> kTransportNames = {"pppoe", "l2tp"};
constexpr Names<2> kAcctStatusNames = {"start", "stop"};

template <class Enum, std::size_t N>
std::string_view nameOf(Enum value, const Names<N>& names, Enum fallback) {
    const auto index = static_cast<std::size_t>(value);
    return names[index < N ? index : static_cast<std::size_t>(fallback)];
}

template <class Enum, std::size_t N>
std::optional<Enum> fromName(std::string_view text, const Names<N>& names) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == text) return static_cast<Enum>(i);
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(SessionPhase value) { return nameOf(value, kPhaseNames, SessionPhase::data); }
std::string_view rawValue(SessionDirection value) { return nameOf(value, kDirectionNames, SessionDirection::acToClient); }
std::string_view rawValue(AuthResult value) { return nameOf(value, kAuthResultNames, AuthResult::unknown); }
std::string_view rawValue(SessionTransport value) { return nameOf(value, kTransportNames, SessionTransport::l2tp); }
std::string_view rawValue(AcctStatus value) { return nameOf(value, kAcctStatusNames, AcctStatus::stop); }

std::optional<SessionPhase> sessionPhaseFromRawValue(std::string_view text) { return fromName<SessionPhase>(text, kPhaseNames); }
std::optional<AuthResult> authResultFromRawValue(std::string_view text) { return fromName<AuthResult>(text, kAuthResultNames); }

SubscriberSessionKey::SubscriberSessionKey(std::string first, std::string second) {
    if (second < first) std::swap(first, second);
    macA = std::move(first);
    macB = std::move(second);
}

std::string SubscriberSession::id() const {
    return summary.clientMAC + "-" + summary.acMAC + "-" + std::to_string(summary.sessionID);
}

std::string SubscriberSession::title() const {
    const std::string& who = summary.username ? *summary.username : summary.clientMAC;
    return fmt::format("{} \u00b7 0x{:04x}", who, summary.sessionID);
}

std::optional<std::string_view> l2tpMessageName(std::uint16_t type) {
    switch (type) {
    case 1: return "SCCRQ";
    case 2: return "SCCRP";
    case 3: return "SCCCN";
    case 4: return "StopCCN";
    case 6: return "HELLO";
    case 10: return "ICRQ";
    case 11: return "ICRP";
    case 12: return "ICCN";
    case 14: return "CDN";
    default: return std::nullopt;
    }
}

}  // namespace qor
