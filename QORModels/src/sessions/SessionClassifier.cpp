#include "QORModels/sessions/SessionClassifier.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/analysis/CacheAnalyzer.hpp"
#include "QORModels/analysis/CompactAnalyzerChain.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"
#include "SessionText.hpp"

namespace qor {
namespace {

constexpr std::size_t kMaxAnalysedBytes = UINT16_MAX;  // the walk counts bytes in 16 bits

/// Appends the rows of `nodes` that an event keeps, depth first, at most `kMaxDetailDepth` deep
/// and `kMaxDetailRows` rows in all; a null node ends its list of siblings.
void appendRows(const NodeList& nodes, int depth, std::vector<SessionDetailRow>& rows) {
    for (const auto& node : nodes) {
        if (!node || rows.size() >= SessionClassifier::kMaxDetailRows) return;
        rows.push_back({depth, node->nodeName(), node->nodeValue()});
        if (depth + 1 < SessionClassifier::kMaxDetailDepth) appendRows(node->children(), depth + 1, rows);
    }
}

/// The rows of `nodes` that an event keeps.
std::vector<SessionDetailRow> flatten(const NodeList& nodes) {
    std::vector<SessionDetailRow> rows;
    appendRows(nodes, 0, rows);
    return rows;
}

bool isDottedQuad(std::string_view text) {
    // ^(\d{1,3}\.){3}\d{1,3}$
    int groups = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t digits = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) ++i, ++digits;
        if (digits == 0 || digits > 3) return false;
        ++groups;
        if (i == text.size()) return groups == 4;
        if (text[i] != '.' || groups == 4) return false;
        ++i;
    }
}

/// The two address texts, lesser first, joined by "|", in one allocation (every L2TP and
/// RADIUS event has one).
std::string addressPair(const std::string& a, const std::string& b) {
    const std::string_view first = std::min<std::string_view>(a, b), second = std::max<std::string_view>(a, b);
    std::string pair;
    pair.reserve(first.size() + 1 + second.size());
    pair.append(first).append(1, '|').append(second);
    return pair;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

/// The event label: the summary trimmed, or `fallback` when it is empty or "NA".
std::string labelFrom(std::optional<std::string> info, std::string_view fallback) {
    if (!info) return std::string(fallback);
    const std::string_view label = trimmed(*info);
    if (label.empty() || label == "NA") return std::string(fallback);
    if (label.size() == info->size()) return std::move(*info);
    return std::string(label);
}

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

SessionPhase pppPhase(std::string_view protocol) {
    if (protocol == "LCP" || protocol == "PPP") return SessionPhase::link;
    if (protocol == "PAP" || protocol == "CHAP") return SessionPhase::auth;
    if (protocol == "IPCP" || protocol == "IPv6CP" || protocol == "CCP") return SessionPhase::network;
    return SessionPhase::data;
}

std::string_view pppoeDiscoveryName(std::uint8_t code) {
    switch (code) {
    case 0x09: return "PADI";
    case 0x07: return "PADO";
    case 0x19: return "PADR";
    case 0x65: return "PADS";
    case 0xA7: return "PADT";
    default: return "PPPoED";
    }
}

/// RADIUS codes that the NAS sends: Access-Request, Accounting-Request, and its answers to
/// dynamic authorization (Disconnect-ACK/NAK, CoA-ACK/NAK).
bool sentByNAS(std::uint8_t code) { return code == 1 || code == 4 || code == 41 || code == 42 || code == 44 || code == 45; }

/// The layer names classification looks for, interned once.
struct Names {
    InternedString eth{"ETH"}, sll{"SLL"}, sll2{"SLL2"};
    InternedString pppoed{"PPPoED"}, pppoes{"PPPoES"}, l2tp{"L2TP"}, radius{"RADIUS"};
    InternedString pap{"PAP"}, chap{"CHAP"}, ipcp{"IPCP"}, lcp{"LCP"};
};

const Names& names() {
    static const Names n;
    return n;
}

std::optional<std::uint64_t> number(const Value& value, std::uint64_t max) {
    auto n = value.asUInt();
    if (!n || *n > max) return std::nullopt;
    return n;
}

std::optional<std::uint16_t> id16(const Value& value) {
    if (auto n = number(value, 0xFFFF)) return static_cast<std::uint16_t>(*n);
    return std::nullopt;
}

std::optional<std::string> text(Value value) { return nonEmpty(std::move(value).asString()); }

}  // namespace

/// Reads the layers an event is made from while the walk holds their analyzers: the outermost
/// access layer, and the layer after it that ends the chain. The event is made only when an
/// access layer turns up, so a packet of other traffic costs the walk alone; the link layer,
/// which comes first, is only noted, and its MAC addresses are read once the packet is known
/// to be an event (at once when the frame carries PPPoE straight away). A layer the walk cannot
/// say is needed while it holds it (an L2TP header that turns out last though it named a
/// protocol after it, a last layer that names one) is read afterwards through an analyzer made
/// again for it, as the link layer is.
///
/// A layer is read for the keyed fields the event takes, and for as much of its description as
/// the event shows (`Describe`): its summary, and its detail rows only if the event keeps them
/// (an L2TP data header is read for its ids alone). The fields are read from the bytes without
/// building rows, which is most of what describing a signalling packet would cost.
struct SessionClassifier::LayerReader final : LayerObserver {
    enum class Describe { summary, summaryAndRows };

    explicit LayerReader(bool keepDetail) : keepDetail(keepDetail) {}

    /// Readies the reader for the walk of one packet, whose event (if any) is made in `into`.
    void start(std::optional<RawSessionEvent>& into) {
        slot = &into;
        event = nullptr;
        linkLayer = 0;
        linkLayerName = {};
        macsRead = false;
        access = 0;
        outer = {};
        outerInfo.reset();
        pppoedCode = 0;
        controlRead = false;
        last = 0;
        lastName = {};
        lastInfo.reset();
    }

    void layer(std::size_t link, InternedString name, const QORPluginAnalyzerProtocol& analyzer, const Data& bytes,
               InternedString next) override {
        const Names& n = names();
        if (linkLayer == 0 && (name == n.eth || name == n.sll || name == n.sll2)) {
            linkLayer = link;
            linkLayerName = name;
            // A frame that carries PPPoE straight away is an event: its MACs are read now.
            if (next == n.pppoed || next == n.pppoes) {
                event = &slot->emplace();
                readMACs(analyzer, bytes);
            }
            return;
        }
        if (access == 0) {
            if (name == n.pppoed || name == n.pppoes || name == n.l2tp || name == n.radius) {
                access = link;
                outer = name;
                if (!event) event = &slot->emplace();
                readOuter(analyzer, bytes, !next.hasValue());
            }
            return;
        }
        // A layer that names nothing after it ends the chain.
        if (!next.hasValue() && (outer == n.pppoes || outer == n.l2tp)) {
            last = link;
            lastName = name;
            lastInfo = readLast(name, analyzer, bytes);
        }
    }

    /// The MAC addresses of the link layer noted by the walk, read through `analyzer`.
    void readMACs(const QORPluginAnalyzerProtocol& analyzer, const Data& bytes) {
        const Names& n = names();
        const bool eth = linkLayerName == n.eth;
        event->srcMAC =
            analyzer.value(eth ? "etherSrc" : (linkLayerName == n.sll ? "sllSrc" : "sll2Src"), bytes).asString().value_or("");
        if (eth) event->dstMAC = analyzer.value("etherDst", bytes).asString().value_or("");
        macsRead = true;
    }

    /// The summary and, with `summaryAndRows`, the rows.
    std::optional<std::string> describe(const QORPluginAnalyzerProtocol& analyzer, const Data& bytes, Describe describe) {
        std::optional<std::string> info = analyzer.protocolInfo(bytes);
        if (describe == Describe::summaryAndRows && keepDetail) event->detail = flatten(analyzer.protocolNodes(bytes));
        return info;
    }

    /// The outermost access layer; `endsChain`: it names nothing after it.
    void readOuter(const QORPluginAnalyzerProtocol& analyzer, const Data& bytes, bool endsChain) {
        const Names& n = names();
        RawSessionEvent& e = *event;
        auto field = [&](std::string_view key) { return analyzer.value(key, bytes); };
        if (outer == n.pppoed) {
            outerInfo = describe(analyzer, bytes, Describe::summaryAndRows);
            pppoedCode = static_cast<std::uint8_t>(number(field("pppoedCode"), 0xFF).value_or(0));
            e.sessionID = id16(field("pppoedSessionId")).value_or(0);
            e.acName = text(field("pppoedACName"));
            e.serviceName = text(field("pppoedServiceName"));
        } else if (outer == n.radius) {
            outerInfo = describe(analyzer, bytes, Describe::summaryAndRows);
            if (auto code = number(field("radiusCode"), 0xFF)) e.radiusCode = static_cast<std::uint8_t>(*code);
            if (auto id = number(field("radiusIdentifier"), 0xFF)) e.radiusIdentifier = static_cast<std::uint8_t>(*id);
            e.radiusUserName = text(field("radiusUserName"));
            e.acctSessionID = text(field("radiusAcctSessionId"));
            const auto status = field("radiusAcctStatusType").asUInt();
            if (status == 1u) e.acctStatus = AcctStatus::start;
            if (status == 2u) e.acctStatus = AcctStatus::stop;
            e.nasIP = text(field("radiusNASIPAddress"));
        } else if (outer == n.l2tp) {
            e.l2tpTunnelID = id16(field("l2tpTunnelId"));
            e.l2tpSessionID = id16(field("l2tpSessionId"));
            if (endsChain) readControl(analyzer, bytes);
        } else if (outer == n.pppoes) {
            e.sessionID = id16(field("pppoesSessionId")).value_or(0);
        }
    }

    /// An L2TP control message: its summary, rows and AVPs. A hidden AVP names nothing (the
    /// analyzer does not read one).
    void readControl(const QORPluginAnalyzerProtocol& analyzer, const Data& bytes) {
        RawSessionEvent& e = *event;
        auto field = [&](std::string_view key) { return analyzer.value(key, bytes); };
        outerInfo = describe(analyzer, bytes, Describe::summaryAndRows);
        e.l2tpMsgType = id16(field("l2tpMessageType"));
        e.l2tpMsgCode = id16(field("l2tpResultCode"));
        e.l2tpAssignedSessionID = id16(field("l2tpAssignedSessionId"));
        e.l2tpAssignedTunnelID = id16(field("l2tpAssignedTunnelId"));
        e.hostName = text(field("l2tpHostName"));
        controlRead = true;
    }

    /// The last layer of a packet carried in a PPP session, named `name`: its summary.
    std::optional<std::string> readLast(InternedString name, const QORPluginAnalyzerProtocol& analyzer, const Data& bytes) {
        const Names& n = names();
        RawSessionEvent& e = *event;
        auto field = [&](std::string_view key) { return analyzer.value(key, bytes); };
        const SessionPhase phase = pppPhase(name.view());
        auto info = describe(analyzer, bytes, phase == SessionPhase::data ? Describe::summary : Describe::summaryAndRows);
        if (name == n.pap) e.username = text(field("papPeerID"));
        if (name == n.chap) e.username = text(field("chapName"));
        if (name == n.ipcp) {
            // The address a Configure packet names; 0.0.0.0 asks for one.
            auto address = text(field("ipcpAddress"));
            if (address && *address != "0.0.0.0" && isDottedQuad(*address)) e.assignedIP = std::move(address);
        }
        // Only Configure packets carry options, and so an MRU.
        if (name == n.lcp && outer == n.pppoes) {
            if (auto mru = id16(field("lcpMRU"))) e.mru = mru;
        }
        return info;
    }

    const bool keepDetail;
    std::optional<RawSessionEvent>* slot = nullptr;
    RawSessionEvent* event = nullptr;  ///< made in `slot` at the access layer
    std::size_t linkLayer = 0;         ///< the link of the first Ethernet or cooked header; 0: none
    InternedString linkLayerName;
    bool macsRead = false;
    std::size_t access = 0;  ///< the link of the outermost access layer; 0 before one is met
    InternedString outer;
    std::optional<std::string> outerInfo;
    std::uint8_t pppoedCode = 0;
    bool controlRead = false;  ///< an L2TP header was read as a control message
    std::size_t last = 0;      ///< the link of the layer after the access layer that ended the chain
    InternedString lastName;
    std::optional<std::string> lastInfo;
};

SessionClassifier::SessionClassifier(bool keepDetail)
    : scratch_(QORPacket::create()),
      scratchRef_(scratch_),
      keepDetail_(keepDetail),
      reader_(std::make_unique<LayerReader>(keepDetail)) {}
SessionClassifier::~SessionClassifier() = default;

std::optional<RawSessionEvent> SessionClassifier::classify(const SessionPacket& packet) {
    std::optional<RawSessionEvent> event;
    classify(packet, event);
    return event;
}

void SessionClassifier::classify(const SessionPacket& input, std::optional<RawSessionEvent>& into) {
    into.reset();
    if (input.bytes.empty()) return;
    // The walk and the analyzers only look at the bytes while this call runs.
    const Data bytes = input.bytes.unownedView();
    QORPacket& packet = *scratch_;
    packet.setPacketId(input.packetId);
    packet.setDateReceived(input.dateReceived);
    packet.setCaptureLength(input.captureLength);
    packet.setRealLength(input.realLength);
    packet.setLinkType(input.linkType);

    CacheAnalyzer::Options options;
    options.packetLengthUnified = std::min<std::uint32_t>({input.captureLength, input.realLength,
                                                            static_cast<std::uint32_t>(bytes.size())});
    InternedString linkName = input.linkTypeString;
    if (!linkName.hasValue()) {
        if (!linkNameKnown_ || linkNameType_ != input.linkType) {
            linkName_ = InternedString::from(ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(input.linkType)));
            linkNameType_ = input.linkType;
            linkNameKnown_ = true;
        }
        linkName = linkName_;
    }
    options.packetLinkTypeString = linkName.hasValue() ? linkName : InternedString::emptyText();
    options.sourceIPAddress = std::string();
    options.destinationIPAddress = std::string();
    options.packetIPVersion = 0;
    options.unanalysedPacket = true;  // the scratch record carries no analysis of its own
    LayerReader& reader = *reader_;
    options.layerObserver = &reader;
    reader.start(into);
    std::optional<CacheAnalyzer> analysis;
    try {
        analysis.emplace(scratchRef_, std::nullopt, AnalyzerChain{}, bytes,
                         static_cast<std::uint16_t>(std::min(bytes.size(), kMaxAnalysedBytes)), std::move(options));
    } catch (const std::exception&) {
        into.reset();  // a packet the walk cannot start on is no event
        return;
    }
    const CacheAnalyzer& walk = *analysis;
    const CompactAnalyzerChain& links = walk.links();
    // Most packets of a trace are not access signalling.
    if (links.size() < 2 || reader.access == 0 || reader.access >= links.size() || !into) {
        into.reset();
        return;
    }
    RawSessionEvent& event = *into;
    const Names& n = names();
    const InternedString outer = reader.outer;
    // Reads the layer at `link` through an analyzer made again for it: `read(analyzer, bytes)`.
    auto readAgain = [&](std::size_t link, const auto& read) {
        const Data slice = CompactAnalyzerChain::bytesOf(links[link], bytes);
        CompactAnalyzerChain::inspect(links[link], bytes, scratchRef_,
                                      [&](const QORPluginAnalyzerProtocol& analyzer) { read(analyzer, slice); });
    };
    if (reader.linkLayer != 0 && reader.linkLayer < links.size() && !reader.macsRead)
        readAgain(reader.linkLayer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            reader.readMACs(analyzer, slice);
        });

    event.packetId = input.packetId;
    event.timestamp = input.dateReceived;
    event.byteCount = input.realLength;

    if (outer == n.pppoed) {
        event.transport = SessionTransport::pppoe;
        event.protocolName = "PPPoED";
        const std::string_view name = pppoeDiscoveryName(reader.pppoedCode);
        event.phase = name == "PADT" ? SessionPhase::teardown : SessionPhase::discovery;
        event.label = labelFrom(std::move(reader.outerInfo), name);
        if (name == "PADS") event.annotation = fmt::format("ses 0x{:04x}", event.sessionID);
        return;
    }

    if (outer == n.radius) {
        event.protocolName = "RADIUS";
        event.phase = SessionPhase::auth;
        event.label = labelFrom(std::move(reader.outerInfo), "RADIUS");
        const std::uint8_t code = event.radiusCode.value_or(0);
        if (code == 2) event.authResult = AuthResult::success;
        if (code == 3) event.authResult = AuthResult::failure;
        if (code == 4 || code == 5) event.phase = SessionPhase::network;
        if (event.acctStatus == AcctStatus::stop || code == 40 || code == 41 || code == 42) event.phase = SessionPhase::teardown;
        const bool fromNAS = sentByNAS(code);
        event.direction = fromNAS ? SessionDirection::clientToAC : SessionDirection::acToClient;
        const auto [source, destination] = walk.ipAddresses();
        if (!source.empty() && !destination.empty())
            event.ipPair = addressPair(source, destination);
        event.aaaPeer = nonEmpty(fromNAS ? destination : source);
        if (!event.nasIP) event.nasIP = nonEmpty(fromNAS ? source : destination);
        if (event.aaaPeer) event.annotation = "AAA " + *event.aaaPeer;
        return;
    }

    const bool l2tpControl = outer == n.l2tp && reader.access + 1 == links.size();
    // L2TP packets (control messages and PPP carried in data messages) need their addresses.
    if (outer == n.l2tp) {
        event.transport = SessionTransport::l2tp;
        const auto [source, destination] = walk.ipAddresses();
        if (source.empty() || destination.empty()) {
            into.reset();
            return;
        }
        event.ipPair = addressPair(source, destination);
        event.sessionID = event.l2tpSessionID.value_or(0);
        if (l2tpControl) {
            // A header that named a protocol after it which the chain did not take.
            if (!reader.controlRead)
                readAgain(reader.access, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
                    reader.readControl(analyzer, slice);
                });
            event.protocolName = "L2TP";
            std::string name = "L2TP";
            if (event.l2tpMsgType) {
                auto known = l2tpMessageName(*event.l2tpMsgType);
                name = known ? std::string(*known) : "L2TP(" + std::to_string(*event.l2tpMsgType) + ")";
            }
            const auto type = event.l2tpMsgType.value_or(0);
            event.phase = type == 4 || type == 14 ? SessionPhase::teardown
                          : type == 6             ? SessionPhase::link
                                                  : SessionPhase::discovery;
            event.label = labelFrom(std::move(reader.outerInfo), name);
            return;
        }
    }

    const bool pppCarried = outer == n.pppoes || (outer == n.l2tp && !l2tpControl);
    if (!pppCarried) {
        into.reset();
        return;
    }
    if (outer == n.pppoes) event.transport = SessionTransport::pppoe;
    // The chain's last layer, unless the walk read it already.
    const std::size_t lastLink = links.size() - 1;
    if (reader.last != lastLink) {
        const std::string_view history = walk.packetProtocolHistoryInterned().view();
        const auto dash = history.rfind('-');
        reader.last = lastLink;
        reader.lastName = InternedString(dash == std::string_view::npos ? history : history.substr(dash + 1));
        readAgain(lastLink, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            reader.lastInfo = reader.readLast(reader.lastName, analyzer, slice);
        });
    }
    const std::string_view last = reader.lastName.view();
    event.protocolName = std::string(last);
    event.phase = pppPhase(last);
    event.label = labelFrom(std::move(reader.lastInfo), last);
    if (reader.lastName == n.pap || reader.lastName == n.chap) {
        const std::string label = lowercased(event.label);
        if (contains(label, "ack") || contains(label, "success")) event.authResult = AuthResult::success;
        else if (contains(label, "nak") || contains(label, "failure") || contains(label, "reject")) event.authResult = AuthResult::failure;
    }
}

}  // namespace qor
