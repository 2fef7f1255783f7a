#pragma once
// Classifying one packet as an event of a subscriber session.

#include <cstdint>
#include <memory>
#include <optional>

#include "QORModels/sessions/SubscriberSession.hpp"
#include "QORPlatform/Data.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor {

class QORPacket;
class QORPacketProtocol;

/// The values of one packet that classification reads: its capture header and its bytes.
struct SessionPacket {
    std::int64_t packetId = 0;
    double dateReceived = 0;
    std::uint32_t captureLength = 0;
    std::uint32_t realLength = 0;
    std::uint32_t linkType = 0;
    /// The link type's name; the null handle to have the classifier look it up.
    InternedString linkTypeString;
    Data bytes;
};

/// Runs one packet through the analyzer chain (as the packet's own analysis does, with a fresh
/// packet record) and reads, by name, what the PPPoE, PPP, L2TP and RADIUS analyzers expose: the
/// header fields an analyzer gives as attributes (PPPoE and LCP codes, PPPoE session ids, L2TP
/// tunnel and session ids) through their keys, the others from its detail rows.
///
/// Decisions beyond the plain rules:
/// - The outermost access header decides what a packet is: a packet inside a PPPoE session is
///   that session's traffic whatever it carries (an L2TP tunnel or a RADIUS exchange that the
///   subscriber runs is the subscriber's data), and a PPP frame in an L2TP data message is that
///   L2TP session's traffic.
/// - Detail rows: the top-level detail nodes of the analyzer the event stands for at depth 0 and
///   their children one deeper, depth first, at most `kMaxDetailDepth` deep and
///   `kMaxDetailRows` rows. A `data` event keeps no rows: it stands for a packet whose own
///   detail tree is the packet view's, and a session keeps nothing per data packet beyond its
///   ladder line.
/// - RADIUS: requests that the NAS sends (Access-Request, Accounting-Request, and the answers to
///   dynamic authorization: Disconnect/CoA ACK and NAK) go `clientToAC`, as the subscriber's own
///   requests do; what the AAA server sends to the NAS goes `acToClient`. The AAA peer is the
///   address at the server's end; `nasIP` is the NAS-IP-Address attribute, else the address at
///   the NAS's end. Access-Accept gives `success`, Access-Reject `failure`. Phases: the access
///   exchange and change of authorization are `auth`; accounting is `network` (it starts once
///   the subscriber has an address), and an Accounting Stop or a Disconnect exchange `teardown`.
/// - An L2TP Host Name AVP sent hidden is not a host name.
/// - Values read from rows see the rows an event would keep (within the limits above). An MRU is
///   looked for only in LCP Configure packets (codes 1 to 4), the only ones whose rows carry
///   options.
///
/// One classifier per thread: it reuses one scratch packet record.
class SessionClassifier {
public:
    static constexpr int kMaxDetailDepth = 8;
    static constexpr std::size_t kMaxDetailRows = 256;

    /// `keepDetail`: whether events keep their detail rows. Without them no detail nodes are
    /// built: the values an event needs (PPPoE tags, L2TP AVPs, RADIUS attributes, PAP and CHAP
    /// names, IPCP addresses, the MRU of an LCP Configure packet) are the analyzers' keyed fields.
    explicit SessionClassifier(bool keepDetail = true);
    ~SessionClassifier();
    SessionClassifier(const SessionClassifier&) = delete;
    SessionClassifier& operator=(const SessionClassifier&) = delete;

    /// The event `packet` stands for, or nothing when its chain holds no PPPoE, L2TP or RADIUS
    /// analyzer (or an L2TP packet has no IP addresses).
    std::optional<RawSessionEvent> classify(const SessionPacket& packet);
    /// The same, made in `into` (emptied first) rather than returned: a caller that keeps events
    /// in slots makes each one where it stays instead of moving it there.
    void classify(const SessionPacket& packet, std::optional<RawSessionEvent>& into);

private:
    struct LayerReader;

    std::shared_ptr<QORPacket> scratch_;
    std::shared_ptr<QORPacketProtocol> scratchRef_;  ///< the scratch record as the walk takes it
    bool keepDetail_ = true;
    std::unique_ptr<LayerReader> reader_;
    /// The name of the link type last looked up.
    InternedString linkName_;
    std::uint32_t linkNameType_ = 0;
    bool linkNameKnown_ = false;
};

}  // namespace qor
