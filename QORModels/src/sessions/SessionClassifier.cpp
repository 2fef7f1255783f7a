#include "QORModels/sessions/SessionClassifier.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

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
std::vector<ChainLayer> layersOf(const CompactAnalyzerChain& links, InternedString history, const Data& bytes,
                                 const PacketRef& packet) {
    std::vector<ChainLayer> layers;
    std::size_t offset = links.empty() ? 0 : links[0].protocolSize;
    std::vector<std::string_view> parts;
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

/// Visits the rows of `nodes` that an event keeps, depth first, at most `kMaxDetailDepth` deep and
/// `kMaxDetailRows` rows (`count` counts them), until `visit(depth, node)` says to stop; a null
/// node ends its list of siblings. Whether `visit` stopped.
template <class Visit>
bool visitRows(const NodeList& nodes, int depth, std::size_t& count, const Visit& visit) {
    for (const auto& node : nodes) {
        if (!node || count >= SessionClassifier::kMaxDetailRows) return false;
        ++count;
        if (visit(depth, *node)) return true;
        if (depth + 1 < SessionClassifier::kMaxDetailDepth && visitRows(node->children(), depth + 1, count, visit))
            return true;
    }
    return false;
}

template <class Visit>
void visitRows(const NodeList& nodes, const Visit& visit) {
    std::size_t count = 0;
    visitRows(nodes, 0, count, visit);
}

/// The rows of `nodes`, as `visitRows` meets them.
std::vector<SessionDetailRow> flatten(const NodeList& nodes) {
    std::vector<SessionDetailRow> rows;
    visitRows(nodes, [&](int depth, const QORNodeProtocol& node) {
        rows.push_back({depth, node.nodeName(), node.nodeValue()});
        return false;
    });
    return rows;
}

/// The value of the first top-level row named `name`.
std::optional<std::string> topLevelValue(const NodeList& nodes, std::string_view name) {
    std::optional<std::string> value;
    visitRows(nodes, [&](int depth, const QORNodeProtocol& node) {
        if (depth != 0 || node.nodeName() != name) return false;
        value = node.nodeValue();
        return true;
    });
    return value;
}

/// The number that the first top-level row named `name` shows, when it is at most `max`.
std::optional<std::uint64_t> topLevelNumber(const NodeList& nodes, std::string_view name, std::uint64_t max) {
    auto value = topLevelValue(nodes, name);
    auto number = value ? codeNumber(*value) : std::nullopt;
    if (!number || *number > max) return std::nullopt;
    return number;
}

/// Whether the top-level row at `index` has a child row "Hidden" saying "yes".
bool isHidden(const std::vector<SessionDetailRow>& rows, std::size_t index) {
    for (std::size_t i = index + 1; i < rows.size() && rows[i].depth > 0; ++i)
        if (rows[i].depth == 1 && rows[i].name == "Hidden" && rows[i].value == "yes") return true;
    return false;
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

/// The leading run of decimal digits as an unsigned 16-bit number.
std::optional<std::uint16_t> leadingNumber(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && std::isdigit(static_cast<unsigned char>(text[n]))) ++n;
    if (n == 0) return std::nullopt;
    std::uint16_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + n, value);
    if (ec != std::errc() || end != text.data() + n) return std::nullopt;
    return value;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

/// The event label: the summary trimmed, or `fallback` when it is empty or "NA".
std::string labelFrom(const std::optional<std::string>& info, std::string_view fallback) {
    std::string label = info ? trimmed(*info) : std::string();
    if (label.empty() || label == "NA") return std::string(fallback);
    return label;
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

std::optional<RawSessionEvent> SessionClassifier::classify(const SessionPacket& input) {
    if (input.bytes.empty()) return std::nullopt;
    QORPacket& packet = *scratch_;
    packet.setPacketId(input.packetId);
    packet.setDateReceived(input.dateReceived);
    packet.setCaptureLength(input.captureLength);
    packet.setRealLength(input.realLength);
    packet.setLinkType(input.linkType);
    const PacketRef packetRef = std::static_pointer_cast<QORPacketProtocol>(scratch_);

    CacheAnalyzer::Options options;
    options.packetLengthUnified = std::min<std::uint32_t>({input.captureLength, input.realLength,
                                                            static_cast<std::uint32_t>(input.bytes.size())});
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
    std::optional<CacheAnalyzer> analysis;
    try {
        analysis.emplace(packetRef, std::nullopt, AnalyzerChain{}, input.bytes,
                         static_cast<std::uint16_t>(std::min(input.bytes.size(), kMaxAnalysedBytes)), std::move(options));
    } catch (const std::exception&) {
        return std::nullopt;  // a packet the walk cannot start on is no event
    }
    const CacheAnalyzer& walk = *analysis;
    const CompactAnalyzerChain& links = walk.links();
    if (links.size() < 2) return std::nullopt;
    const InternedString history = walk.packetProtocolHistoryInterned();
    // Most packets of a trace are not access signalling: look for the names before anything else.
    if (history.hasValue() && links.size() == 1 + static_cast<std::size_t>(std::count(history.view().begin(), history.view().end(), '-')) + 1) {
        const auto h = history.view();
        if (!contains(h, "PPPoE") && !contains(h, "L2TP") && !contains(h, "RADIUS")) return std::nullopt;
    }
    const auto layers = layersOf(links, history, input.bytes, packetRef);

    std::size_t access = layers.size();
    for (std::size_t i = 0; i < layers.size() && access == layers.size(); ++i) {
        const auto name = layers[i].name;
        if (name == "PPPoED" || name == "PPPoES" || name == "L2TP" || name == "RADIUS") access = i;
    }
    if (access == layers.size()) return std::nullopt;
    const ChainLayer& outer = layers[access];
    const ChainLayer& last = layers.back();

    RawSessionEvent event;
    event.packetId = input.packetId;
    event.timestamp = input.dateReceived;
    event.byteCount = input.realLength;
    // The MAC addresses from the link layer.
    // Reads one layer through one analyzer made for it: `read(analyzer, slice)`.
    auto inspect = [&](const ChainLayer& layer, const auto& read) {
        const Data slice = CompactAnalyzerChain::bytesOf(*layer.link, input.bytes);
        CompactAnalyzerChain::inspect(*layer.link, input.bytes, packetRef,
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

    // A layer's summary line, and its detail nodes only when a value is read from them or the
    // event keeps its rows: building them is most of the cost of a signalling packet.
    struct Description {
        std::optional<std::string> info;
        NodeList nodes;
    };
    auto describe = [&](const ChainLayer& layer, bool nodes) {
        Description d;
        inspect(layer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            d.info = analyzer.protocolInfo(slice);
            if (nodes) d.nodes = analyzer.protocolNodes(slice);
        });
        return d;
    };
    auto attribute = [&](const ChainLayer& layer, std::string_view key) {
        Value value;
        inspect(layer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) { value = analyzer.value(key, slice); });
        return value;
    };
    auto keepRows = [&](const Description& d) {
        if (keepDetail_) event.detail = flatten(d.nodes);
    };

    const bool l2tpControl = outer.name == "L2TP" && access + 1 == layers.size();
    const bool pppCarried = outer.name == "PPPoES" || (outer.name == "L2TP" && !l2tpControl);

    if (outer.name == "PPPoED") {
        event.transport = SessionTransport::pppoe;
        event.protocolName = "PPPoED";
        std::uint8_t code = 0;
        inspect(outer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            code = static_cast<std::uint8_t>(analyzer.value("pppoedCode", slice).asUInt().value_or(0));
            event.sessionID = static_cast<std::uint16_t>(analyzer.value("pppoedSessionId", slice).asUInt().value_or(0));
        });
        const std::string_view name = pppoeDiscoveryName(code);
        event.phase = name == "PADT" ? SessionPhase::teardown : SessionPhase::discovery;
        const auto d = describe(outer, true);
        keepRows(d);
        event.label = labelFrom(d.info, name);
        event.acName = nonEmpty(topLevelValue(d.nodes, "AC-Name"));
        event.serviceName = nonEmpty(topLevelValue(d.nodes, "Service-Name"));
        if (name == "PADS") event.annotation = fmt::format("ses 0x{:04x}", event.sessionID);
        return event;
    }

    if (outer.name == "RADIUS") {
        event.protocolName = "RADIUS";
        event.phase = SessionPhase::auth;
        const auto d = describe(outer, true);  // Acct-Status-Type and NAS-IP-Address are rows only
        keepRows(d);
        event.label = labelFrom(d.info, "RADIUS");
        if (auto code = topLevelNumber(d.nodes, "Code", 0xFF)) event.radiusCode = static_cast<std::uint8_t>(*code);
        if (auto n = topLevelNumber(d.nodes, "Packet Identifier", 0xFF)) event.radiusIdentifier = static_cast<std::uint8_t>(*n);
        event.radiusUserName = nonEmpty(topLevelValue(d.nodes, "User-Name"));
        event.acctSessionID = nonEmpty(topLevelValue(d.nodes, "Acct-Session-Id"));
        if (auto status = topLevelValue(d.nodes, "Acct-Status-Type")) {
            auto number = codeNumber(*status);
            if (number == 1) event.acctStatus = AcctStatus::start;
            if (number == 2) event.acctStatus = AcctStatus::stop;
        }
        const std::uint8_t code = event.radiusCode.value_or(0);
        if (code == 2) event.authResult = AuthResult::success;
        if (code == 3) event.authResult = AuthResult::failure;
        if (code == 4 || code == 5) event.phase = SessionPhase::network;
        if (event.acctStatus == AcctStatus::stop || code == 40 || code == 41 || code == 42) event.phase = SessionPhase::teardown;
        const bool fromNAS = sentByNAS(code);
        event.direction = fromNAS ? SessionDirection::clientToAC : SessionDirection::acToClient;
        const auto [source, destination] = walk.ipAddresses();
        if (!source.empty() && !destination.empty())
            event.ipPair = std::min(source, destination) + "|" + std::max(source, destination);
        event.aaaPeer = nonEmpty(fromNAS ? destination : source);
        event.nasIP = nonEmpty(topLevelValue(d.nodes, "NAS-IP-Address"));
        if (!event.nasIP) event.nasIP = nonEmpty(fromNAS ? source : destination);
        if (event.aaaPeer) event.annotation = "AAA " + *event.aaaPeer;
        return event;
    }

    // L2TP packets (control messages and PPP carried in data messages) need their addresses.
    if (outer.name == "L2TP") {
        event.transport = SessionTransport::l2tp;
        const auto [source, destination] = walk.ipAddresses();
        if (source.empty() || destination.empty()) return std::nullopt;
        event.ipPair = std::min(source, destination) + "|" + std::max(source, destination);
        auto id = [](const Value& value) -> std::optional<std::uint16_t> {
            auto n = value.asUInt();
            if (!n || *n > 0xFFFF) return std::nullopt;
            return static_cast<std::uint16_t>(*n);
        };
        inspect(outer, [&](const QORPluginAnalyzerProtocol& analyzer, const Data& slice) {
            event.l2tpTunnelID = id(analyzer.value("l2tpTunnelId", slice));
            event.l2tpSessionID = id(analyzer.value("l2tpSessionId", slice));
        });
        event.sessionID = event.l2tpSessionID.value_or(0);
    }
    if (l2tpControl) {
        // The AVP values are rows only (a data message has none).
        const auto d = describe(outer, true);
        auto l2tpRows = flatten(d.nodes);
        for (std::size_t i = 0; i < l2tpRows.size(); ++i) {
            const auto& row = l2tpRows[i];
            if (row.depth != 0 || isHidden(l2tpRows, i)) continue;
            if (row.name == "Assigned Session ID" && !event.l2tpAssignedSessionID) {
                if (auto n = codeNumber(row.value); n && *n <= 0xFFFF) event.l2tpAssignedSessionID = static_cast<std::uint16_t>(*n);
            } else if (row.name == "Assigned Tunnel ID" && !event.l2tpAssignedTunnelID) {
                if (auto n = codeNumber(row.value); n && *n <= 0xFFFF) event.l2tpAssignedTunnelID = static_cast<std::uint16_t>(*n);
            } else if (row.name == "Host Name" && !event.hostName) {
                event.hostName = nonEmpty(row.value);
            } else if (row.name == "Message Type" && !event.l2tpMsgType) {
                if (auto n = codeNumber(row.value); n && *n <= 0xFFFF) event.l2tpMsgType = static_cast<std::uint16_t>(*n);
            } else if (row.name == "Result Code" && !event.l2tpMsgCode) {
                if (auto n = codeNumber(row.value); n && *n <= 0xFFFF) event.l2tpMsgCode = static_cast<std::uint16_t>(*n);
            }
        }
        if (keepDetail_) event.detail = std::move(l2tpRows);
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
        event.label = labelFrom(d.info, name);
        return event;
    }

    if (!pppCarried) return std::nullopt;
    if (outer.name == "PPPoES") {
        event.transport = SessionTransport::pppoe;
        event.sessionID = static_cast<std::uint16_t>(attribute(outer, "pppoesSessionId").asUInt().value_or(0));
    }
    event.protocolName = std::string(last.name);
    event.phase = pppPhase(last.name);
    const bool auth = last.name == "PAP" || last.name == "CHAP";
    // Only Configure packets (codes 1 to 4) carry options, and so an MRU.
    bool mru = false;
    if (outer.name == "PPPoES" && last.name == "LCP") {
        const auto code = attribute(last, "lcpCode").asUInt();
        mru = code && *code >= 1 && *code <= 4;
    }
    const auto d = describe(last, event.phase != SessionPhase::data && (keepDetail_ || auth || mru || last.name == "IPCP"));
    if (event.phase != SessionPhase::data) keepRows(d);
    event.label = labelFrom(d.info, last.name);
    if (auth) {
        visitRows(d.nodes, [&](int, const QORNodeProtocol& row) {
            const std::string name = lowercased(row.nodeName());
            if ((contains(name, "peer") || contains(name, "user") || (contains(name, "name") && !contains(name, "ac-name"))) &&
                !row.nodeValue().empty()) {
                event.username = row.nodeValue();
                return true;
            }
            return false;
        });
        const std::string label = lowercased(event.label);
        if (contains(label, "ack") || contains(label, "success")) event.authResult = AuthResult::success;
        else if (contains(label, "nak") || contains(label, "failure") || contains(label, "reject")) event.authResult = AuthResult::failure;
    }
    if (last.name == "IPCP") {
        visitRows(d.nodes, [&](int, const QORNodeProtocol& row) {
            if (row.nodeValue() == "0.0.0.0" || !isDottedQuad(row.nodeValue())) return false;
            event.assignedIP = row.nodeValue();
            return true;
        });
    }
    if (mru) {
        visitRows(d.nodes, [&](int, const QORNodeProtocol& row) {
            const std::string name = lowercased(row.nodeName());
            if (!contains(name, "mru") && !contains(name, "receive-unit") && !contains(name, "maximum")) return false;
            event.mru = leadingNumber(row.nodeValue());
            return true;
        });
    }
    return event;
}

}  // namespace qor
