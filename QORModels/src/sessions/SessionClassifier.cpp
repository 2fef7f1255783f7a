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

/// One analyzer of the chain: its link, its protocol name and where its header starts.
struct ChainLayer {
    const ChainLink* link = nullptr;
    std::string_view name;
    std::size_t offset = 0;
};

/// The chain's layers after the built-in packet analyzer, named from the protocol history
/// (layer i of the history is link i + 1) or, when the two do not line up, by asking each
/// analyzer.
///
/// The list is the calling thread's own, refilled by its next call: a classifier classifies one
/// packet at a time, and the lists keep their capacity from packet to packet.
const std::vector<ChainLayer>& layersOf(const CompactAnalyzerChain& links, InternedString history, const Data& bytes,
                                        const PacketRef& packet) {
    thread_local std::vector<ChainLayer> layers;
    thread_local std::vector<std::string_view> parts;
    layers.clear();
    parts.clear();
    std::size_t offset = links.empty() ? 0 : links[0].protocolSize;
    if (history.hasValue()) {
        std::string_view rest = history.view();
        while (!rest.empty()) {
            auto dash = rest.find('-');
            parts.push_back(rest.substr(0, dash));
            if (dash == std::string_view::npos) break;
            rest.remove_prefix(dash + 1);
        }
    }
    const bool aligned = parts.size() + 1 == links.size();
    for (std::size_t i = 1; i < links.size(); ++i) {
        ChainLayer layer{&links[i], {}, offset};
        if (aligned) {
            layer.name = parts[i - 1];
        } else {
            InternedString name;
            CompactAnalyzerChain::inspect(links[i], bytes, packet, [&](const QORPluginAnalyzerProtocol& analyzer) {
                name = analyzer.protocolNameInterned();
            });
            if (name.hasValue()) layer.name = name.view();  // interned text lives as long as the process
        }
        layers.push_back(layer);
        offset += links[i].protocolSize;
    }
    return layers;
}

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

}  // namespace

SessionClassifier::SessionClassifier(bool keepDetail) : scratch_(QORPacket::create()), keepDetail_(keepDetail) {}
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
    const PacketRef packetRef = std::static_pointer_cast<QORPacketProtocol>(scratch_);

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
    std::optional<CacheAnalyzer> analysis;
    try {
        analysis.emplace(packetRef, std::nullopt, AnalyzerChain{}, bytes,
                         static_cast<std::uint16_t>(std::min(bytes.size(), kMaxAnalysedBytes)), std::move(options));
    } catch (const std::exception&) {
        return;  // a packet the walk cannot start on is no event
    }
    const CacheAnalyzer& walk = *analysis;
    const CompactAnalyzerChain& links = walk.links();
    if (links.size() < 2) return;
    const InternedString history = walk.packetProtocolHistoryInterned();
    // Most packets of a trace are not access signalling: look for the names before anything else.
    if (history.hasValue() && links.size() == 1 + static_cast<std::size_t>(std::count(history.view().begin(), history.view().end(), '-')) + 1) {
        const auto h = history.view();
        if (!contains(h, "PPPoE") && !contains(h, "L2TP") && !contains(h, "RADIUS")) return;
    }
    const auto& layers = layersOf(links, history, bytes, packetRef);

    std::size_t access = layers.size();
    for (std::size_t i = 0; i < layers.size() && access == layers.size(); ++i) {
        const auto name = layers[i].name;
        if (name == "PPPoED" || name == "PPPoES" || name == "L2TP" || name == "RADIUS") access = i;
    }
    if (access == layers.size()) return;
    const ChainLayer& outer = layers[access];
    const ChainLayer& last = layers.back();

    RawSessionEvent& event = into.emplace();
    event.packetId = input.packetId;
    event.timestamp = input.dateReceived;
    event.byteCount = input.realLength;
    // The MAC addresses from the link layer.
    // Reads one layer through one analyzer made for it: `read(analyzer, slice)`.
    auto inspect = [&](const ChainLayer& layer, const auto& read) {
        const Data slice = CompactAnalyzerChain::bytesOf(*layer.link, bytes);
        CompactAnalyzerChain::inspect(*layer.link, bytes, packetRef,
                                      [&](const QORPluginAnalyzerProtocol& analyzer) { read(analyzer, slice); });
    };
    for (const auto& layer : layers) {
        if (layer.name != "ETH" && layer.name != "SLL" && layer.name != "SLL2") continue;
        inspect(layer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            const bool eth = layer.name == "ETH";
            event.srcMAC = analyzer.value(eth ? "etherSrc" : (layer.name == "SLL" ? "sllSrc" : "sll2Src"), slice).asString().value_or("");
            if (eth) event.dstMAC = analyzer.value("etherDst", slice).asString().value_or("");
        });
        break;
    }

    // A layer read through one analyzer made for it: the keyed fields that `fields(field)` asks
    // for (`field(key)` gives the analyzer's value of `key`), and as much of its description as
    // `describe` says (the detail rows only if the event keeps them). The fields are read from
    // the bytes without building rows, which is most of what describing a signalling packet
    // would cost.
    enum class Describe { fieldsOnly, summary, summaryAndRows };
    auto read = [&](const ChainLayer& layer, Describe describe, const auto& fields) {
        std::optional<std::string> info;
        inspect(layer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            if (describe != Describe::fieldsOnly) info = analyzer.protocolInfo(slice);
            if (describe == Describe::summaryAndRows && keepDetail_) event.detail = flatten(analyzer.protocolNodes(slice));
            fields([&](std::string_view key) { return analyzer.value(key, slice); });
        });
        return info;
    };
    auto number = [](const Value& value, std::uint64_t max) -> std::optional<std::uint64_t> {
        auto n = value.asUInt();
        if (!n || *n > max) return std::nullopt;
        return n;
    };
    auto id16 = [&](const Value& value) -> std::optional<std::uint16_t> {
        if (auto n = number(value, 0xFFFF)) return static_cast<std::uint16_t>(*n);
        return std::nullopt;
    };
    auto text = [](Value value) { return nonEmpty(std::move(value).asString()); };

    const bool l2tpControl = outer.name == "L2TP" && access + 1 == layers.size();
    const bool pppCarried = outer.name == "PPPoES" || (outer.name == "L2TP" && !l2tpControl);

    if (outer.name == "PPPoED") {
        event.transport = SessionTransport::pppoe;
        event.protocolName = "PPPoED";
        std::uint8_t code = 0;
        auto info = read(outer, Describe::summaryAndRows, [&](const auto& field) {
            code = static_cast<std::uint8_t>(number(field("pppoedCode"), 0xFF).value_or(0));
            event.sessionID = id16(field("pppoedSessionId")).value_or(0);
            event.acName = text(field("pppoedACName"));
            event.serviceName = text(field("pppoedServiceName"));
        });
        const std::string_view name = pppoeDiscoveryName(code);
        event.phase = name == "PADT" ? SessionPhase::teardown : SessionPhase::discovery;
        event.label = labelFrom(std::move(info), name);
        if (name == "PADS") event.annotation = fmt::format("ses 0x{:04x}", event.sessionID);
        return;
    }

    if (outer.name == "RADIUS") {
        event.protocolName = "RADIUS";
        event.phase = SessionPhase::auth;
        auto info = read(outer, Describe::summaryAndRows, [&](const auto& field) {
            if (auto code = number(field("radiusCode"), 0xFF)) event.radiusCode = static_cast<std::uint8_t>(*code);
            if (auto n = number(field("radiusIdentifier"), 0xFF)) event.radiusIdentifier = static_cast<std::uint8_t>(*n);
            event.radiusUserName = text(field("radiusUserName"));
            event.acctSessionID = text(field("radiusAcctSessionId"));
            const auto status = field("radiusAcctStatusType").asUInt();
            if (status == 1u) event.acctStatus = AcctStatus::start;
            if (status == 2u) event.acctStatus = AcctStatus::stop;
            event.nasIP = text(field("radiusNASIPAddress"));
        });
        event.label = labelFrom(std::move(info), "RADIUS");
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

    // L2TP packets (control messages and PPP carried in data messages) need their addresses.
    if (outer.name == "L2TP") {
        event.transport = SessionTransport::l2tp;
        const auto [source, destination] = walk.ipAddresses();
        if (source.empty() || destination.empty()) {
            into.reset();
            return;
        }
        event.ipPair = addressPair(source, destination);
        // A control message's own fields are its AVPs'; a hidden AVP names nothing (the
        // analyzer does not read one). A data message is described by the PPP packet it carries.
        auto info = read(outer, l2tpControl ? Describe::summaryAndRows : Describe::fieldsOnly, [&](const auto& field) {
            event.l2tpTunnelID = id16(field("l2tpTunnelId"));
            event.l2tpSessionID = id16(field("l2tpSessionId"));
            if (!l2tpControl) return;
            event.l2tpMsgType = id16(field("l2tpMessageType"));
            event.l2tpMsgCode = id16(field("l2tpResultCode"));
            event.l2tpAssignedSessionID = id16(field("l2tpAssignedSessionId"));
            event.l2tpAssignedTunnelID = id16(field("l2tpAssignedTunnelId"));
            event.hostName = text(field("l2tpHostName"));
        });
        event.sessionID = event.l2tpSessionID.value_or(0);
        if (l2tpControl) {
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
            event.label = labelFrom(std::move(info), name);
            return;
        }
    }

    if (!pppCarried) {
        into.reset();
        return;
    }
    if (outer.name == "PPPoES") {
        event.transport = SessionTransport::pppoe;
        inspect(outer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            event.sessionID = id16(analyzer.value("pppoesSessionId", slice)).value_or(0);
        });
    }
    event.protocolName = std::string(last.name);
    event.phase = pppPhase(last.name);
    auto info = read(last, event.phase == SessionPhase::data ? Describe::summary : Describe::summaryAndRows, [&](const auto& field) {
        if (last.name == "PAP") event.username = text(field("papPeerID"));
        if (last.name == "CHAP") event.username = text(field("chapName"));
        if (last.name == "IPCP") {
            // The address a Configure packet names; 0.0.0.0 asks for one.
            auto address = text(field("ipcpAddress"));
            if (address && *address != "0.0.0.0" && isDottedQuad(*address)) event.assignedIP = std::move(address);
        }
        // Only Configure packets carry options, and so an MRU.
        if (last.name == "LCP" && outer.name == "PPPoES") {
            if (auto mru = id16(field("lcpMRU"))) event.mru = mru;
        }
    });
    event.label = labelFrom(std::move(info), last.name);
    if (last.name == "PAP" || last.name == "CHAP") {
        const std::string label = lowercased(event.label);
        if (contains(label, "ack") || contains(label, "success")) event.authResult = AuthResult::success;
        else if (contains(label, "nak") || contains(label, "failure") || contains(label, "reject")) event.authResult = AuthResult::failure;
    }
}

}  // namespace qor
