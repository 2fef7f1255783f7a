#include "QORModels/sessions/SubscriberSession.hpp"

#include <fmt/format.h>

namespace qor {
namespace {

template <class Enum, std::size_t N>
std::optional<Enum> fromRawValue(std::string_view text, const std::array<Enum, N>& cases) {
    for (auto value : cases)
        if (rawValue(value) == text) return value;
    return std::nullopt;
}

}  // namespace

std::string_view rawValue(SessionPhase value) {
    switch (value) {
    case SessionPhase::discovery: return "discovery";
    case SessionPhase::link: return "link";
    case SessionPhase::auth: return "auth";
    case SessionPhase::network: return "network";
    case SessionPhase::data: return "data";
    case SessionPhase::teardown: return "teardown";
    }
    return "data";
}

std::string_view rawValue(SessionDirection value) {
    return value == SessionDirection::clientToAC ? "clientToAC" : "acToClient";
}

std::string_view rawValue(AuthResult value) {
    switch (value) {
    case AuthResult::success: return "success";
    case AuthResult::failure: return "failure";
    case AuthResult::unknown: return "unknown";
    }
    return "unknown";
}

std::string_view rawValue(SessionTransport value) { return value == SessionTransport::pppoe ? "pppoe" : "l2tp"; }

std::string_view rawValue(AcctStatus value) { return value == AcctStatus::start ? "start" : "stop"; }

std::optional<SessionPhase> sessionPhaseFromRawValue(std::string_view text) { return fromRawValue(text, kAllSessionPhases); }

std::optional<AuthResult> authResultFromRawValue(std::string_view text) {
    return fromRawValue(text, std::array{AuthResult::success, AuthResult::failure, AuthResult::unknown});
}

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
