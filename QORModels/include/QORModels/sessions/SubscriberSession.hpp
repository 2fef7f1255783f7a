#pragma once
// Subscriber sessions: PPPoE, L2TP and RADIUS signalling as per-subscriber ladders of events.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

/// Where in the life of a subscriber session an event belongs. The raw value is the case name.
enum class SessionPhase { discovery, link, auth, network, data, teardown };
/// Every phase, in order.
inline constexpr std::array kAllSessionPhases = {SessionPhase::discovery, SessionPhase::link, SessionPhase::auth,
                                                 SessionPhase::network,   SessionPhase::data, SessionPhase::teardown};
enum class SessionDirection { clientToAC, acToClient };
enum class AuthResult { success, failure, unknown };
enum class SessionTransport { pppoe, l2tp };
enum class AcctStatus { start, stop };

/// The raw values (case names) of the enumerations, and back; nothing for an unknown text.
std::string_view rawValue(SessionPhase value);
std::string_view rawValue(SessionDirection value);
std::string_view rawValue(AuthResult value);
std::string_view rawValue(SessionTransport value);
std::string_view rawValue(AcctStatus value);
std::optional<SessionPhase> sessionPhaseFromRawValue(std::string_view text);
std::optional<AuthResult> authResultFromRawValue(std::string_view text);

/// One row of the detail tree shown under an event.
struct SessionDetailRow {
    int depth = 0;  ///< indentation level, 0 for the analyzer's top-level nodes
    std::string name;
    std::string value;
    friend bool operator==(const SessionDetailRow&, const SessionDetailRow&) = default;
};

/// What a rung of a ladder shows, as the classification of a packet gives it and as a session
/// keeps it.
struct SessionEventContent {
    SessionDirection direction = SessionDirection::clientToAC;
    SessionPhase phase = SessionPhase::data;
    std::string label;
    std::optional<std::string> annotation;
    double timestamp = 0;
    std::vector<SessionDetailRow> detail;
    friend bool operator==(const SessionEventContent&, const SessionEventContent&) = default;
};

/// One rung of a session's ladder.
struct SessionEvent : SessionEventContent {
    std::int64_t id = 0;  ///< the packet id
};

/// What classifying one packet yields.
struct RawSessionEvent : SessionEventContent {
    std::int64_t packetId = 0;
    std::string srcMAC, dstMAC;
    std::uint16_t sessionID = 0;
    /// "PPPoED", "L2TP", "RADIUS", or for a packet carried in a PPP session its innermost
    /// protocol ("LCP", "PAP", "IP", ...).
    std::string protocolName;
    std::int64_t byteCount = 0;
    std::optional<std::string> username;
    std::optional<AuthResult> authResult;
    std::optional<std::string> assignedIP, acName, serviceName;
    std::optional<std::uint16_t> mru;
    SessionTransport transport = SessionTransport::pppoe;
    std::optional<std::string> ipPair;
    /// `l2tpMsgCode` is the Result Code of a StopCCN or CDN; `l2tpAssignedTunnelID` the Assigned
    /// Tunnel ID of an SCCRQ or SCCRP, which ties the tunnel's two ids together.
    std::optional<std::uint16_t> l2tpTunnelID, l2tpSessionID, l2tpMsgType, l2tpMsgCode, l2tpAssignedSessionID,
        l2tpAssignedTunnelID;
    std::optional<std::string> hostName;
    std::optional<std::string> radiusUserName, aaaPeer, nasIP, acctSessionID;
    std::optional<AcctStatus> acctStatus;
    /// The RADIUS packet code (Access-Request 1, ...) and identifier, for RADIUS events.
    std::optional<std::uint8_t> radiusCode, radiusIdentifier;
    friend bool operator==(const RawSessionEvent&, const RawSessionEvent&) = default;
};

/// The two MAC addresses of a conversation, lesser text first, so that both directions give
/// the same key.
struct SubscriberSessionKey {
    std::string macA, macB;
    SubscriberSessionKey() = default;
    SubscriberSessionKey(std::string first, std::string second);
    friend bool operator==(const SubscriberSessionKey&, const SubscriberSessionKey&) = default;
};

struct SessionSummary {
    std::uint16_t sessionID = 0;
    std::string clientMAC, acMAC;
    std::optional<std::string> acName, serviceName, username, authProtocol;
    AuthResult authResult = AuthResult::unknown;
    std::optional<std::string> assignedIP;
    std::optional<std::uint16_t> mru;
    double startTime = 0, endTime = 0;
    std::int64_t dataPacketCount = 0, dataByteCount = 0;
    SessionTransport transport = SessionTransport::pppoe;
    /// L2TP sessions only: the host names of the LAC and the LNS, the tunnel ids (the LAC's,
    /// then the LNS's, in decimal, joined by ", "). Any session: the accounting session id of
    /// the RADIUS exchanges merged into it.
    std::optional<std::string> lacHost, lnsHost, tunnelIDs, acctSessionID;

    [[nodiscard]] double duration() const { return endTime - startTime; }
};

struct SubscriberSession {
    SubscriberSessionKey key;
    std::vector<SessionEvent> events;
    SessionSummary summary;

    /// clientMAC "-" acMAC "-" decimal session id.
    [[nodiscard]] std::string id() const;
    /// The user name (or the client MAC when there is none), " · " and the session id as 0x%04x.
    [[nodiscard]] std::string title() const;
};

/// The name of an L2TP control message type ("SCCRQ", ... "CDN"), or nothing for types the
/// session ladder does not name.
std::optional<std::string_view> l2tpMessageName(std::uint16_t type);

}  // namespace qor
