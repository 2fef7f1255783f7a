// Grouping raw session events into PPPoE and L2TP sessions, and merging RADIUS exchanges in.

#include <algorithm>
#include <cctype>
#include <functional>
#include <iterator>
#include <span>
#include <unordered_map>

#include "QORModels/sessions/SubscriberSessionBuilder.hpp"
#include "QORModels/support/ObservedParallelFor.hpp"
#include "SessionEventStore.hpp"
#include "SessionIdentifierUnion.hpp"
#include "SessionText.hpp"

namespace qor {
namespace {

/// The events of a group (their indices in the store), the run of the store it packs them in,
/// and the earliest of their times.
struct GroupMembers : std::vector<std::size_t> {
    SessionEventStore::Run run;
    double earliest = 0;  ///< the earliest time of the events added to the group (`join`)

    /// Adds `event` to the group, packed in `store`.
    void join(const RawSessionEvent& event, SessionEventStore& store) {
        earliest = empty() ? event.timestamp : std::min(earliest, event.timestamp);
        push_back(store.append(event, run));
    }
};

/// Groups of `Members` that keep the order in which their keys were first met. A group is found
/// by any view of its key that `Hash` and `Equal` take, and the key is made only for a group's
/// first member.
template <class Key, class Members, class Hash = std::hash<Key>, class Equal = std::equal_to<>>
class OrderedGroups {
public:
    Members& operator[](const Key& key) { return find(key, [&] { return key; }); }
    /// The group of `view`, begun with the key `makeKey()` makes when there is none yet.
    template <class View, class MakeKey>
    Members& find(const View& view, const MakeKey& makeKey) {
        auto it = index_.find(view);
        if (it == index_.end()) {
            it = index_.emplace(makeKey(), groups_.size()).first;
            groups_.emplace_back(it->first, Members{});
        }
        return groups_[it->second].second;
    }
    std::vector<std::pair<Key, Members>>& groups() { return groups_; }

private:
    std::unordered_map<Key, std::size_t, Hash, Equal> index_;
    std::vector<std::pair<Key, Members>> groups_;
};

/// A MAC pair as two views, lesser text first like `SubscriberSessionKey`.
struct MACPairView {
    std::string_view a, b;
    MACPairView(std::string_view first, std::string_view second)
        : a(std::min(first, second)), b(std::max(first, second)) {}
    bool operator==(const MACPairView&) const = default;
};

MACPairView viewOf(const SubscriberSessionKey& key) { return {key.macA, key.macB}; }
MACPairView viewOf(const MACPairView& view) { return view; }

/// Hashes and compares session keys and MAC pair views alike.
struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(const auto& key) const {
        const MACPairView view = viewOf(key);
        return std::hash<std::string_view>()(view.a) * 31 + std::hash<std::string_view>()(view.b);
    }
};

struct KeyEqual {
    using is_transparent = void;
    bool operator()(const auto& x, const auto& y) const { return viewOf(x) == viewOf(y); }
};

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

double timeOf(const PackedSessionEvent* e) { return e->timestamp; }

/// Puts `events` in time order, keeping packet order among equal times. A trace's packets are
/// nearly always in time order already, and a sorted list is only checked.
template <class Event>
void stableSortByTime(std::vector<Event>& events) {
    const auto earlier = [](const Event& a, const Event& b) { return timeOf(a) < timeOf(b); };
    if (!std::is_sorted(events.begin(), events.end(), earlier)) std::stable_sort(events.begin(), events.end(), earlier);
}

/// Appends to `ladder` the event of `e`, going `direction`, with copies of the texts it shows.
void appendEvent(std::vector<SessionEvent>& ladder, const PackedSessionEvent& e, SessionDirection direction) {
    SessionEvent& event = ladder.emplace_back();
    event.direction = direction;
    event.phase = e.phase;
    event.label = e.label;
    if (auto annotation = e.annotation()) event.annotation.emplace(*annotation);
    event.timestamp = e.timestamp;
    event.detail = e.detail();
    event.id = e.packetId;
}

/// `text` as the optional text a summary keeps.
std::optional<std::string> copied(std::optional<std::string_view> text) {
    return text ? std::optional<std::string>(std::in_place, *text) : std::nullopt;
}

}  // namespace

/// One rung of a session's ladder before it is built: the place of its event in the store, its
/// time and its direction.
struct SessionRung {
    std::size_t index = 0;
    double timestamp = 0;
    SessionDirection direction = SessionDirection::clientToAC;
};

/// A session with its key and summary, and its ladder as rungs in ladder order.
struct SessionOutline {
    SubscriberSession session;  ///< without events
    std::vector<SessionRung> rungs;
};

namespace {

SessionRung rungOf(const PackedSessionEvent& e, SessionDirection direction) { return {e.index, e.timestamp, direction}; }

/// Calls `visit(event, k)` for the event at `indexOf(items[k])` of `store`, for each item in
/// order, asking for events a few items ahead: a ladder's events come from several runs (its
/// group's, the RADIUS run, a tunnel's messages) and a session's lie among its group's others.
template <class Items, class IndexOf, class Visit>
void readInOrder(const SessionEventStore& store, const Items& items, const IndexOf& indexOf, const Visit& visit) {
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k + kAhead < items.size()) store.prefetch(indexOf(items[k + kAhead]));
        visit(store.event(indexOf(items[k])), k);
    }
}

/// The session of `events` (in time order) whose client is `clientMAC`: its rungs and the
/// summary fields that PPPoE and L2TP sessions share.
SessionOutline assemble(const std::vector<const PackedSessionEvent*>& events, const std::string& clientMAC,
                        const std::string& acMAC) {
    SessionOutline outline;
    SubscriberSession& session = outline.session;
    session.key = SubscriberSessionKey(clientMAC, acMAC);
    SessionSummary& s = session.summary;
    s.clientMAC = clientMAC;
    s.acMAC = acMAC;
    s.transport = events.empty() ? SessionTransport::pppoe : events.front()->transport;
    std::optional<std::string_view> anyUser;
    outline.rungs.reserve(events.size());
    for (const PackedSessionEvent* raw : events) {
        const bool fromClient = raw->srcMAC == clientMAC;
        outline.rungs.push_back(rungOf(*raw, fromClient ? SessionDirection::clientToAC : SessionDirection::acToClient));
        if (raw->sessionID != 0) s.sessionID = raw->sessionID;
        if (!s.acName) s.acName = copied(raw->acName());
        if (!s.serviceName) s.serviceName = copied(raw->serviceName());
        if (auto user = raw->username()) {
            if (fromClient && !s.username) s.username.emplace(*user);
            if (!anyUser) anyUser = user;
        }
        if (raw->phase == SessionPhase::auth && !s.authProtocol) s.authProtocol.emplace(raw->protocolName);
        if (raw->authResult) s.authResult = *raw->authResult;
        if (auto address = raw->assignedIP()) s.assignedIP.emplace(*address);
        if (!s.mru && raw->mru) s.mru = raw->mru;
        if (raw->phase == SessionPhase::data) {
            ++s.dataPacketCount;
            s.dataByteCount += raw->byteCount;
        }
    }
    if (!s.username) s.username = copied(anyUser);
    if (!events.empty()) {
        s.startTime = events.front()->timestamp;
        s.endTime = events.back()->timestamp;
    }
    return outline;
}

SessionOutline assemblePPPoE(const SubscriberSessionKey& key, std::vector<const PackedSessionEvent*> events) {
    stableSortByTime(events);
    std::string client = key.macA, ac = key.macB;
    if (!events.empty() && events.front()->srcMAC != key.macA) std::swap(client, ac);
    return assemble(events, client, ac);
}

/// What sorting an L2TP group's events into sessions reads of each: its numbers, without its
/// texts. A group holds the events of a whole LAC and LNS pair, tens of megabytes once read;
/// its events are read once for these, and each session's are read again when it is
/// assembled, into a list of its own that stays in cache while the session is put together.
struct L2TPFacts {
    std::size_t index = 0;  ///< the event's place in the store
    double timestamp = 0;
    std::uint16_t tunnelID = 0, sessionID = 0, assignedSessionID = 0, assignedTunnelID = 0;  ///< 0: none
    std::uint16_t messageType = 0;  ///< of a control message; 0 for anything else

    explicit L2TPFacts(const PackedSessionEvent& e)
        : index(e.index), timestamp(e.timestamp), tunnelID(e.l2tpTunnelID.value_or(0)),
          sessionID(e.l2tpSessionID.value_or(0)), assignedSessionID(e.l2tpAssignedSessionID.value_or(0)),
          assignedTunnelID(e.l2tpAssignedTunnelID.value_or(0)),
          messageType(e.protocolName == "L2TP" ? e.l2tpMsgType.value_or(0) : 0) {}

    [[nodiscard]] bool isMessage(std::uint16_t type) const { return messageType == type; }
    /// The session identifier the event belongs by: its own, or for a message on the tunnel
    /// (session id 0) the one it assigns; 0 for the tunnel's own messages.
    [[nodiscard]] std::uint16_t sessionIdentifier() const {
        if (sessionID != 0) return sessionID;
        return isMessage(10) ? assignedSessionID : 0;
    }
};

double timeOf(const L2TPFacts& e) { return e.timestamp; }

/// The events at `indexOf(items[k])` (each item its own index by default), read in place in
/// that order.
template <class Items, class IndexOf = std::identity>
std::vector<PackedSessionEvent> readEvents(const SessionEventStore& store, const Items& items, const IndexOf& indexOf = {}) {
    std::vector<PackedSessionEvent> events;
    events.reserve(items.size());
    readInOrder(store, items, indexOf, [&](const PackedSessionEvent& e, std::size_t) { events.push_back(e); });
    return events;
}

std::vector<const PackedSessionEvent*> pointers(const std::vector<PackedSessionEvent>& events) {
    std::vector<const PackedSessionEvent*> out;
    out.reserve(events.size());
    for (const auto& e : events) out.push_back(&e);
    return out;
}

/// The sessions of one L2TP group (the events of one IP pair, at `indices` in `store`).
void assembleL2TPGroup(const SessionEventStore& store, const std::vector<std::size_t>& indices,
                       std::vector<SessionOutline>& out) {
    std::vector<L2TPFacts> events;
    events.reserve(indices.size());
    readInOrder(store, indices, std::identity(), [&](const PackedSessionEvent& e, std::size_t) { events.emplace_back(e); });
    stableSortByTime(events);
    SessionIdentifierUnion sessionSets, tunnelSets;
    for (const L2TPFacts& e : events) {
        if (e.isMessage(11) && e.sessionID != 0 && e.assignedSessionID != 0) sessionSets.join(e.sessionID, e.assignedSessionID);
        if (e.isMessage(2) && e.tunnelID != 0 && e.assignedTunnelID != 0) tunnelSets.join(e.tunnelID, e.assignedTunnelID);
    }
    // The tunnel of an event: the set of its tunnel id or, on a message that has none yet (an
    // SCCRQ), of the id it assigns; 0 when neither is known.
    auto tunnelOf = [&](const L2TPFacts& e) -> std::uint16_t {
        const std::uint16_t id = e.tunnelID != 0 ? e.tunnelID : e.assignedTunnelID;
        return id == 0 ? 0 : tunnelSets.find(id);
    };
    // The LAC: the SCCRQ's sender, else the first ICRQ's, else the first event's.
    const L2TPFacts* lacEvent = nullptr;
    for (std::uint16_t type : {1, 10}) {
        for (const L2TPFacts& e : events)
            if (!lacEvent && e.isMessage(type)) {
                lacEvent = &e;
                break;
            }
    }
    if (!lacEvent && !events.empty()) lacEvent = &events.front();
    std::string clientMAC, acMAC;
    if (lacEvent) {
        const PackedSessionEvent lac = store.event(lacEvent->index);
        clientMAC = lac.srcMAC;
        acMAC = lac.dstMAC;
    }

    /// A session's own events, and the tunnel whose own messages its ladder shows too.
    struct Part {
        std::uint16_t set = 0;
        std::uint16_t tunnel = 0;
        std::vector<const L2TPFacts*> own;
    };
    std::vector<Part> parts;
    std::unordered_map<std::uint16_t, std::size_t> bySet;
    OrderedGroups<std::uint16_t, std::vector<std::size_t>> tunnels;  // positions of the tunnel's own messages
    for (std::size_t i = 0; i < events.size(); ++i) {
        const L2TPFacts& e = events[i];
        const std::uint16_t id = e.sessionIdentifier();
        if (id == 0) {
            tunnels[tunnelOf(e)].push_back(i);
            continue;
        }
        const std::uint16_t set = sessionSets.find(id);
        auto [it, inserted] = bySet.try_emplace(set, parts.size());
        if (inserted) parts.push_back(Part{set, 0, {}});
        Part& part = parts[it->second];
        if (part.tunnel == 0) part.tunnel = tunnelOf(e);
        part.own.push_back(&e);
    }
    std::unordered_map<std::uint16_t, std::size_t> uses;
    for (const auto& part : parts) ++uses[part.tunnel];
    // A tunnel without sessions is shown as one session with id 0.
    for (auto& [tunnel, positions] : tunnels.groups())
        if (!uses.contains(tunnel)) {
            parts.push_back(Part{0, tunnel, {}});
            ++uses[tunnel];
        }
    std::unordered_map<std::uint16_t, std::vector<const L2TPFacts*>> tunnelEvents;
    for (auto& [tunnel, positions] : tunnels.groups()) {
        auto& list = tunnelEvents[tunnel];
        for (auto i : positions) list.push_back(&events[i]);
    }

    // The sessions of a busy LAC and LNS pair are thousands: they are assembled on all cores,
    // each into its slot, and keep the order of their parts.
    const std::vector<const L2TPFacts*> noEvents;
    const std::size_t first = out.size();
    out.resize(first + parts.size());
    observedParallelForEach(parts.size(), [&](std::size_t index) {
        const Part& part = parts[index];
        const auto found = tunnelEvents.find(part.tunnel);
        const auto& shared = found == tunnelEvents.end() ? noEvents : found->second;
        // The session's own events and its tunnel's in time order, its own first among equal times.
        std::vector<const L2TPFacts*> merged;
        merged.reserve(part.own.size() + shared.size());
        std::merge(part.own.begin(), part.own.end(), shared.begin(), shared.end(), std::back_inserter(merged),
                   [](const L2TPFacts* a, const L2TPFacts* b) { return a->timestamp < b->timestamp; });
        const auto read = readEvents(store, merged, [](const L2TPFacts* e) { return e->index; });
        const auto all = pointers(read);
        SessionOutline outline = assemble(all, clientMAC, acMAC);
        SessionSummary& s = outline.session.summary;
        s.transport = SessionTransport::l2tp;
        s.sessionID = part.set;
        for (const L2TPFacts* e : part.own)
            if (e->isMessage(10) && e->assignedSessionID != 0) {
                s.sessionID = e->assignedSessionID;
                break;
            }
        if (!part.own.empty()) {
            s.startTime = part.own.front()->timestamp;
            s.endTime = part.own.back()->timestamp;
        } else if (!all.empty()) {
            s.startTime = all.front()->timestamp;
            s.endTime = all.back()->timestamp;
        }
        std::optional<std::uint16_t> lacTunnel, lnsTunnel;
        for (const PackedSessionEvent* e : all) {
            const bool fromLAC = e->srcMAC == clientMAC;
            auto& host = fromLAC ? s.lacHost : s.lnsHost;
            if (!host) host = copied(e->hostName());
            // A message is addressed with the receiver's tunnel id.
            if (e->l2tpTunnelID.value_or(0) != 0) {
                auto& tunnelID = fromLAC ? lnsTunnel : lacTunnel;
                if (!tunnelID) tunnelID = e->l2tpTunnelID;
            }
        }
        std::string ids;
        for (const auto& id : {lacTunnel, lnsTunnel}) {
            if (!id) continue;
            if (!ids.empty()) ids += ", ";
            ids += std::to_string(*id);
        }
        if (!ids.empty()) s.tunnelIDs = ids;
        out[first + index] = std::move(outline);
    });
}

/// The request code that a RADIUS reply code answers, or 0 for a request.
std::uint8_t requestCodeOf(std::uint8_t reply) {
    switch (reply) {
    case 2: case 3: case 11: return 1;  // Access-Accept, -Reject, -Challenge
    case 5: return 4;                   // Accounting-Response
    case 41: case 42: return 40;        // Disconnect-ACK, -NAK
    case 44: case 45: return 43;        // CoA-ACK, -NAK
    default: return 0;
    }
}

/// User names match without regard to case; most are lower case already and are looked up as
/// they are (`lowered` holds the lower-cased text of one that is not).
std::string_view userKey(std::string_view user, std::string& lowered) {
    if (std::none_of(user.begin(), user.end(), [](unsigned char c) { return std::isupper(c) != 0; })) return user;
    lowered = lowercased(user);
    return lowered;
}

/// RADIUS events by user name, lower-cased.
using RADIUSByUser = std::unordered_map<std::string, std::vector<const PackedSessionEvent*>, TextHash, std::equal_to<>>;

/// The RADIUS events of each user, in packet order. A reply that names no user is the user's
/// when the request it answers names one: the last request before it with the same identifier
/// between the same NAS and AAA server.
RADIUSByUser radiusByUser(const std::vector<PackedSessionEvent>& radius) {
    // One exchange: the NAS and server pair, the request's code and its identifier.
    struct Exchange {
        std::string_view ipPair;
        std::uint8_t requestCode = 0, identifier = 0;
        bool operator==(const Exchange&) const = default;
    };
    struct ExchangeHash {
        std::size_t operator()(const Exchange& x) const {
            return std::hash<std::string_view>()(x.ipPair) ^ ((std::size_t{x.requestCode} << 8 | x.identifier) * 0x9E3779B97F4A7C15ull);
        }
    };
    std::unordered_map<Exchange, std::string_view, ExchangeHash> requests;
    auto exchange = [](const PackedSessionEvent& e, std::uint8_t requestCode) {
        return Exchange{e.ipPair().value_or(std::string_view()), requestCode, *e.radiusIdentifier};
    };
    std::string lowered;
    RADIUSByUser byUser;
    for (const PackedSessionEvent& e : radius) {
        const std::uint8_t code = e.radiusCode.value_or(0);
        const std::uint8_t request = requestCodeOf(code);
        std::optional<std::string_view> user = e.radiusUserName();
        if (request == 0 && user && e.radiusIdentifier) requests[exchange(e, code)] = *user;
        if (!user && request != 0 && e.radiusIdentifier) {
            auto found = requests.find(exchange(e, request));
            if (found != requests.end()) user = found->second;
        }
        if (!user) continue;
        const auto key = userKey(*user, lowered);
        auto found = byUser.find(key);
        if (found == byUser.end()) found = byUser.emplace(std::string(key), std::vector<const PackedSessionEvent*>{}).first;
        found->second.push_back(&e);
    }
    return byUser;
}

/// Adds the RADIUS events of each session's user (`radiusByUser`) to it.
void mergeRADIUS(const std::vector<SessionOutline*>& outlines, const RADIUSByUser& byUser) {
    using Events = std::vector<const PackedSessionEvent*>;
    auto summaryOf = [&](std::size_t i) -> const SessionSummary& { return outlines[i]->session.summary; };
    // The RADIUS events of each session's user, looked up on all cores (the map is only read).
    std::vector<const Events*> userEvents(outlines.size(), nullptr);
    observedParallelForEach(outlines.size(), [&](std::size_t i) {
        const auto& user = summaryOf(i).username;
        if (!user || user->empty()) return;
        std::string lowered;
        if (auto found = byUser.find(userKey(*user, lowered)); found != byUser.end()) userEvents[i] = &found->second;
    });
    // Each RADIUS event goes to the session of its user that was in progress at its time: the
    // last to start at or before it, else the first one. A user with one session (most) gives it
    // all their events as they are; a user's several sessions are taken by start time (and in
    // their order among equal times), and their events split between them.
    std::unordered_map<const Events*, std::vector<std::pair<double, std::size_t>>> sessionsOf;  // (start, outline)
    for (std::size_t i = 0; i < outlines.size(); ++i)
        if (userEvents[i]) sessionsOf[userEvents[i]].emplace_back(summaryOf(i).startTime, i);
    std::vector<Events> split(outlines.size());
    std::vector<std::span<const PackedSessionEvent* const>> matchedOf(outlines.size());
    for (auto& [events, list] : sessionsOf) {
        if (list.size() == 1) {
            matchedOf[list.front().second] = *events;
            continue;
        }
        std::sort(list.begin(), list.end());
        for (const PackedSessionEvent* e : *events) {
            auto after = std::upper_bound(list.begin(), list.end(), e->timestamp,
                                          [](double t, const std::pair<double, std::size_t>& s) { return t < s.first; });
            split[after == list.begin() ? list.front().second : (after - 1)->second].push_back(e);
        }
        for (const auto& session : list) matchedOf[session.second] = split[session.second];
    }
    // Each RADIUS event went to one session: the sessions take theirs in on all cores.
    observedParallelForEach(outlines.size(), [&](std::size_t index) {
        SessionOutline& outline = *outlines[index];
        SessionSummary& s = outline.session.summary;
        const auto& matched = matchedOf[index];
        if (matched.empty()) return;
        std::optional<std::string_view> inSpan, first;
        std::optional<AuthResult> radiusResult;
        std::vector<SessionRung> added;
        added.reserve(matched.size());
        for (const PackedSessionEvent* e : matched) {
            added.push_back(rungOf(*e, e->direction));
            if (auto id = e->acctSessionID()) {
                if (!first) first = id;
                if (!inSpan && e->timestamp >= s.startTime && e->timestamp <= s.endTime) inSpan = id;
            }
            if (e->authResult) radiusResult = e->authResult;
        }
        s.acctSessionID = copied(inSpan ? inSpan : first);
        if (s.authResult == AuthResult::unknown && radiusResult) s.authResult = *radiusResult;
        // Merged in time order; the session's own events come first among equal times.
        std::vector<SessionRung> merged;
        merged.reserve(outline.rungs.size() + added.size());
        std::merge(outline.rungs.begin(), outline.rungs.end(), added.begin(), added.end(), std::back_inserter(merged),
                   [](const SessionRung& a, const SessionRung& b) { return a.timestamp < b.timestamp; });
        outline.rungs = std::move(merged);
    });
}

constexpr std::string_view kBroadcastMAC = "ff:ff:ff:ff:ff:ff";

/// Puts each PPPoE packet sent to the broadcast address (a PADI) into the session that its
/// sender goes on to set up: the first MAC pair of the sender whose first packet comes at or
/// after it, else the last one before it. A sender that never talks to a peer keeps its own
/// broadcast pair. `broadcast` holds the packets' indices in `events`.
void joinBroadcastDiscovery(const SessionEventStore& events, const std::vector<std::size_t>& broadcast,
                            OrderedGroups<SubscriberSessionKey, GroupMembers, KeyHash, KeyEqual>& pppoe) {
    if (broadcast.empty()) return;
    // The groups of each MAC, with the time of each group's first packet.
    std::unordered_map<std::string, std::vector<std::pair<double, std::size_t>>, TextHash, std::equal_to<>> byMAC;
    auto& groups = pppoe.groups();
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const double first = groups[g].second.earliest;
        byMAC[groups[g].first.macA].emplace_back(first, g);
        byMAC[groups[g].first.macB].emplace_back(first, g);
    }
    for (auto& [mac, list] : byMAC) std::sort(list.begin(), list.end());
    std::vector<std::pair<std::size_t, std::size_t>> joins;  // (group, event)
    for (const std::size_t index : broadcast) {
        const PackedSessionEvent e = events.event(index);
        auto found = byMAC.find(e.srcMAC);
        if (found == byMAC.end()) {
            pppoe.find(MACPairView(e.srcMAC, e.dstMAC), [&] {
                return SubscriberSessionKey(std::string(e.srcMAC), std::string(e.dstMAC));
            }).push_back(index);
            continue;
        }
        const auto& list = found->second;
        auto after = std::lower_bound(list.begin(), list.end(), std::make_pair(e.timestamp, std::size_t{0}));
        joins.emplace_back(after != list.end() ? after->second : list.back().second, index);
    }
    for (auto [g, i] : joins) groups[g].second.push_back(i);
}

}  // namespace

std::vector<SubscriberSession> SubscriberSessionBuilder::group(std::vector<RawSessionEvent> events) {
    Grouping grouping;
    grouping.add(events);
    std::vector<RawSessionEvent>().swap(events);  // packed now: freed before the sessions are built
    return grouping.finish();
}

std::vector<SubscriberSession> SubscriberSessionBuilder::group(std::vector<std::vector<RawSessionEvent>> parts) {
    Grouping grouping;
    for (auto& part : parts) {
        grouping.add(part);
        std::vector<RawSessionEvent>().swap(part);
    }
    return grouping.finish();
}

/// The events are packed as they come (`SessionEventStore`), each group's in a run of its own;
/// the groups hold their indices in the store, and each group's events are read in place when
/// it is assembled.
struct SubscriberSessionBuilder::Grouping::State {
    SessionEventStore events;
    GroupMembers radius;
    OrderedGroups<SubscriberSessionKey, GroupMembers, KeyHash, KeyEqual> pppoe;
    OrderedGroups<std::string, GroupMembers, TextHash> l2tp;
    GroupMembers broadcast;  ///< PPPoE packets sent to the broadcast address
    /// The sessions, once outlined; their events stay in the store until the ladders are built.
    std::vector<SessionOutline> outlines;                   ///< of the PPPoE groups, a slot each
    std::vector<std::vector<SessionOutline>> l2tpOutlines;  ///< of each L2TP group
    std::vector<SessionOutline*> order;                     ///< every outline, in the order of the sessions' start
    bool outlined = false;
};

namespace {

/// The ladder of `outline`, its events read from `store`.
std::vector<SessionEvent> ladderOf(const SessionOutline& outline, const SessionEventStore& store) {
    const auto& rungs = outline.rungs;
    std::vector<SessionEvent> ladder;
    ladder.reserve(rungs.size());
    readInOrder(store, rungs, [](const SessionRung& rung) { return rung.index; },
                [&](const PackedSessionEvent& e, std::size_t k) { appendEvent(ladder, e, rungs[k].direction); });
    return ladder;
}

}  // namespace

SubscriberSessionBuilder::Grouping::Grouping() : state_(std::make_unique<State>()) {}
SubscriberSessionBuilder::Grouping::~Grouping() = default;

void SubscriberSessionBuilder::Grouping::add(const std::vector<RawSessionEvent>& part) {
    for (const auto& event : part) add(event);
}

void SubscriberSessionBuilder::Grouping::add(const RawSessionEvent& e) {
    if (state_->outlined) state_ = std::make_unique<State>();  // the events of another trace
    State& g = *state_;
    auto join = [&](GroupMembers& group) { group.join(e, g.events); };
    if (e.protocolName == std::string_view("RADIUS")) {
        join(g.radius);
    } else if (e.transport == SessionTransport::pppoe) {
        if (e.dstMAC == kBroadcastMAC) join(g.broadcast);
        else join(g.pppoe.find(MACPairView(e.srcMAC, e.dstMAC), [&] { return SubscriberSessionKey(e.srcMAC, e.dstMAC); }));
    } else if (e.ipPair) {
        join(g.l2tp.find(std::string_view(*e.ipPair), [&] { return *e.ipPair; }));
    } else {
        const MACPairView macs(e.srcMAC, e.dstMAC);
        join(g.l2tp[std::string(macs.a) + "|" + std::string(macs.b)]);
    }
}

std::size_t SubscriberSessionBuilder::Grouping::outline() {
    State& g = *state_;
    if (g.outlined) return g.order.size();
    joinBroadcastDiscovery(g.events, g.broadcast, g.pppoe);
    // Every event belongs to one group, so the groups are read and outlined on all cores, each
    // into its own slot, and the sessions kept in the order of their groups. The RADIUS events,
    // which are merged in once every session is there, are read and sorted by user in one task
    // that starts at once beside the groups (the L2TP groups, the largest, first): started
    // last, it would be left running alone.
    const auto& pppoeGroups = g.pppoe.groups();
    const auto& l2tpGroups = g.l2tp.groups();
    std::vector<SessionOutline>& outlines = g.outlines;
    outlines.resize(pppoeGroups.size());
    std::vector<std::vector<SessionOutline>>& l2tpOutlines = g.l2tpOutlines;
    l2tpOutlines.resize(l2tpGroups.size());
    std::vector<PackedSessionEvent> radius;
    RADIUSByUser radiusOfUser;
    observedParallelForEach(2, [&](std::size_t part) {
        if (part == 0) {
            radius = readEvents(g.events, g.radius);
            radiusOfUser = radiusByUser(radius);
            return;
        }
        observedParallelForEach(l2tpGroups.size() + pppoeGroups.size(), [&](std::size_t index) {
            if (index < l2tpGroups.size()) {
                assembleL2TPGroup(g.events, l2tpGroups[index].second, l2tpOutlines[index]);
            } else {
                index -= l2tpGroups.size();
                const auto events = readEvents(g.events, pppoeGroups[index].second);
                outlines[index] = assemblePPPoE(pppoeGroups[index].first, pointers(events));
            }
        });
    });
    // The outlines stay where they were made (an outline is large): the sessions are found
    // through `order`, their places in the order of the groups, then sorted by start.
    std::vector<SessionOutline*>& order = g.order;
    std::size_t count = outlines.size();
    for (const auto& list : l2tpOutlines) count += list.size();
    order.reserve(count);
    for (auto& outline : outlines) order.push_back(&outline);
    for (auto& list : l2tpOutlines)
        for (auto& outline : list) order.push_back(&outline);
    if (!radiusOfUser.empty()) mergeRADIUS(order, radiusOfUser);
    std::stable_sort(order.begin(), order.end(), [](const SessionOutline* a, const SessionOutline* b) {
        return a->session.summary.startTime < b->session.summary.startTime;
    });
    // The groups' member lists stay until the grouping is done with, as the store does: freeing
    // a million entries here would hold up the first session.
    g.outlined = true;
    return order.size();
}

SubscriberSession SubscriberSessionBuilder::Grouping::session(std::size_t index) const {
    const SessionOutline& outline = *state_->order.at(index);
    SubscriberSession session = outline.session;
    session.events = ladderOf(outline, state_->events);
    return session;
}

std::vector<SubscriberSession> SubscriberSessionBuilder::Grouping::finish() {
    const std::size_t count = outline();
    std::vector<SubscriberSession> sessions(count);
    const std::vector<SessionOutline*>& order = state_->order;
    observedParallelForEach(count, [&](std::size_t index) {
        SessionOutline& outline = *order[index];
        sessions[index] = std::move(outline.session);
        sessions[index].events = ladderOf(outline, state_->events);
    });
    state_ = std::make_unique<State>();
    return sessions;
}

}  // namespace qor
