#pragma once
// Building subscriber sessions from the packets of a trace.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "QORModels/sessions/SessionClassifier.hpp"
#include "QORModels/streams/PacketSnapshot.hpp"
#include "QORModels/sessions/SubscriberSession.hpp"

namespace qor {

/// Reconstructs the sessions of access-network subscribers: packets are classified into raw
/// events on all cores (`SessionClassifier`), then grouped into PPPoE sessions (by MAC pair) and
/// L2TP sessions (by IP pair, split by the session ids that ICRP messages join), and the RADIUS
/// exchanges of each session's user are merged in.
///
/// PPPoE events are grouped by MAC pair and nothing else: a subscriber who dials again from the
/// same CPE to the same access concentrator stays one session, whose ladder shows each discovery
/// in turn and whose summary carries the last session id.
///
/// Decisions beyond the plain rules:
/// - A PPPoE packet sent to the broadcast address (a PADI) has no peer to pair with: it goes to
///   the session that its sender sets up next (the sender's first MAC pair whose first packet
///   comes at or after it, else its last one before it), so that the session starts with its
///   PADI and its client is the subscriber that sent it, not the AC whose PADO comes first on
///   the unicast pair. A sender that never gets an answer keeps a session with the broadcast
///   address.
/// - Order: raw events are collected in packet order (whichever worker classified them), and
///   the sessions come out in the order of their start time (PPPoE before L2TP on equal
///   times, then first met), so that the result is the same on every run.
/// - L2TP: within one IP pair, the tunnel's own messages (session id 0 and no Assigned Session
///   ID: SCCRQ, SCCRP, SCCCN, HELLO, StopCCN, acknowledgements) belong to every session of their
///   tunnel, so that each session's ladder shows its tunnel's set-up and tear-down. A tunnel is
///   the set of tunnel ids that an SCCRP ties together (its tunnel id and its Assigned Tunnel
///   ID); an SCCRQ belongs to the tunnel of the id it assigns. An ICRQ (session id 0) belongs to
///   the session of its Assigned Session ID. A tunnel without sessions gives one session with
///   session id 0.
/// - An L2TP session: the LAC is the sender of the SCCRQ, else of the first ICRQ, else of the
///   first event; it is the session's client (`clientMAC`, `clientToAC` for what it sends). The
///   session id is the LAC's (the ICRQ's Assigned Session ID), else the smallest id of the set.
///   `lacHost` and `lnsHost` are the first Host Names that each side sends; `tunnelIDs` the
///   LAC's tunnel id (the one the LNS addresses it with), then the LNS's, joined by ", ".
///   `startTime` and `endTime` span the session's own events (its tunnel's when it has none);
///   user name, authentication, assigned address and data counts follow the PPPoE rules.
/// - RADIUS: a reply names no user; it is merged with the request it answers (the last request
///   before it with the same identifier between the same NAS and AAA server, its code the one
///   the reply answers), so that Access-Accept, Access-Reject and Accounting-Response show on the
///   ladder. A user who logs in more than once has several sessions: each RADIUS event goes to
///   the one of them that was in progress at its time (the last to start at or before it, else
///   the first), not to all of them, so that a ladder shows its own exchanges and merging stays
///   linear however often users log in. Merged events keep the time order of the ladder. A session's `acctSessionID` is
///   that of the first merged event within the session's time span that names one, else of the
///   first merged event that names one. A session whose PPP authentication gave no result takes
///   the last Access-Accept or Access-Reject merged into it. RADIUS events of users that no
///   session names are not shown.
class SubscriberSessionBuilder {
public:
    /// Gives the packet `index` (0 ..< count) to classify, or nothing to skip it. Called from
    /// worker threads, for each index once.
    using PacketSource = std::function<std::optional<SessionPacket>(std::size_t index)>;

    /// The sessions of the snapshots' packets (`TCPStreamReassembler::snapshot`, taken on the
    /// main thread): each snapshot's bytes are read through its data cache and classified on all
    /// cores, touching no packet object of the document; a snapshot without bytes is skipped.
    /// Gives an empty list when the calling task is cancelled.
    static std::vector<SubscriberSession> buildSessions(const std::vector<PacketSnapshot>& snapshots);

    /// Classifies `count` packets on all cores and groups their events into sessions. Gives an
    /// empty list when the calling task is cancelled.
    static std::vector<SubscriberSession> buildSessions(std::size_t count, const PacketSource& source);

    /// The grouping step alone: raw events (in packet order) into sessions.
    static std::vector<SubscriberSession> group(std::vector<RawSessionEvent> events);
    /// The same for events given in consecutive parts, each in packet order and each part's
    /// packets after the last one's (a caller that classifies a capture window by window need
    /// not join the windows' events into one list).
    static std::vector<SubscriberSession> group(std::vector<std::vector<RawSessionEvent>> parts);

    /// The grouping step taken event by event, for a caller that classifies a capture as it
    /// reads it: each event is packed (a copy of it, in a fraction of its size) and sorted into
    /// its group (MAC pair, IP pair, RADIUS) as it comes, so the caller can reuse the event at
    /// once, and `finish` assembles the sessions as `group` does, unpacking one group at a time
    /// on each core. Events come in packet order. Not thread-safe: one caller adds the events.
    class Grouping {
    public:
        Grouping();
        ~Grouping();
        Grouping(const Grouping&) = delete;
        Grouping& operator=(const Grouping&) = delete;

        void add(const RawSessionEvent& event);
        /// Adds each event of `part`, in order.
        void add(const std::vector<RawSessionEvent>& part);
        /// The sessions of every event added; the grouping is empty afterwards, ready for
        /// another trace.
        std::vector<SubscriberSession> finish();

        /// Groups every event added into sessions as `finish` does, in the same order, but
        /// leaves each session's ladder to be built when the session is asked for (`session`),
        /// so that a caller showing the sessions a batch at a time never holds every ladder at
        /// once: the grouping keeps the packed events and, per session, its summary and where
        /// its events lie. Gives the number of sessions; calling it again gives the same
        /// outline. The next `add` starts another trace.
        std::size_t outline();
        /// Session `index` (below what `outline` gave), ladder and all, built anew on each call.
        /// Calls may run on any threads at once, but not beside `add`, `outline` or `finish`.
        SubscriberSession session(std::size_t index) const;

    private:
        struct State;
        std::unique_ptr<State> state_;
    };
};

}  // namespace qor
