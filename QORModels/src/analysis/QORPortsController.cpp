// The port-to-protocol map, published as immutable snapshots.

#include "QORModels/analysis/QORPortsController.hpp"

#include <charconv>

#include "QORDependencies/Enumerations.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {

constexpr std::int8_t kSourceTCP = static_cast<std::int8_t>(kQORSourceProtocols::tcp);
constexpr std::int8_t kSourceUDP = static_cast<std::int8_t>(kQORSourceProtocols::udp);
constexpr std::int64_t kMaxPort = 65535;

/// The decimal text of a port, the maps' key; short enough to need no allocation.
std::string portKey(std::uint16_t port) { return std::to_string(port); }

std::optional<std::uint16_t> parsePort(std::string_view text) {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || v < 0 || v > kMaxPort) return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

}  // namespace

std::shared_ptr<QORPortsController> QORPortsController::sharedController() {
    // Function-local statics are initialised once, thread-safely.
    static const std::shared_ptr<QORPortsController> shared =
        std::make_shared<QORPortsController>(ProtocolsStringsCache::sharedCache().portsServiceList());
    return shared;
}

std::shared_ptr<QORPortsControllerProtocol> QORPortsController::sharedPortsController() { return sharedController(); }

QORPortsController::QORPortsController(const std::map<std::string, std::string>& serviceList) {
    auto wellKnown = std::make_shared<PortMap>(serviceList.begin(), serviceList.end());
    auto maps = std::make_shared<Maps>();
    maps->tcp = wellKnown;
    maps->udp = std::make_shared<PortMap>(*wellKnown);
    maps->analyzerTcp = std::make_shared<PortMap>();
    maps->analyzerUdp = std::make_shared<PortMap>();
    maps->analyzerTcpByNumber = numberIndex(*maps->analyzerTcp);
    maps->analyzerUdpByNumber = numberIndex(*maps->analyzerUdp);
    maps_.store(std::move(maps));
}

template <class Edit>
void QORPortsController::write(bool tcp, bool udp, bool analyzer, Edit edit) {
    std::lock_guard lock(writer_);
    auto old = maps();
    auto next = std::make_shared<Maps>(*old);
    if (tcp) {
        auto& slot = analyzer ? next->analyzerTcp : next->tcp;
        auto copy = std::make_shared<PortMap>(*slot);
        edit(*copy);
        slot = std::move(copy);
        if (analyzer) next->analyzerTcpByNumber = numberIndex(*slot);
    }
    if (udp) {
        auto& slot = analyzer ? next->analyzerUdp : next->udp;
        auto copy = std::make_shared<PortMap>(*slot);
        edit(*copy);
        slot = std::move(copy);
        if (analyzer) next->analyzerUdpByNumber = numberIndex(*slot);
    }
    maps_.store(std::move(next));
}

std::shared_ptr<const QORPortsController::NumberIndex> QORPortsController::numberIndex(const PortMap& map) {
    auto index = std::make_shared<NumberIndex>();
    for (const auto& [key, name] : map) {
        if (auto port = parsePort(key); port && portKey(*port) == key) index->emplace(*port, InternedString(name));
    }
    return index;
}

InternedString QORPortsController::analyzerProtocolNameForPort(bool tcp, std::uint16_t port) const {
    const auto m = maps();
    const NumberIndex& index = tcp ? *m->analyzerTcpByNumber : *m->analyzerUdpByNumber;
    auto it = index.find(port);
    return it == index.end() ? InternedString() : it->second;
}

std::optional<std::string> QORPortsController::find(const PortMap& map, std::uint16_t port) {
    auto it = map.find(portKey(port));
    if (it == map.end()) return std::nullopt;
    return it->second;
}

void QORPortsController::addProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t source) {
    if (!name) return;
    bool tcp = source != kSourceUDP, udp = source != kSourceTCP;
    write(tcp, udp, false, [&](PortMap& m) { m.insert_or_assign(portKey(port), *name); });
}

bool QORPortsController::addAnalyzerProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t source) {
    if (!name) return false;
    bool tcp = source != kSourceUDP, udp = source != kSourceTCP;
    write(tcp, udp, true, [&](PortMap& m) { m.insert_or_assign(portKey(port), *name); });
    return true;
}

bool QORPortsController::removeAnalyzerProtocolForPort(std::uint16_t port, std::int8_t source) {
    bool tcp = source != kSourceUDP, udp = source != kSourceTCP;
    write(tcp, udp, true, [&](PortMap& m) { m.erase(portKey(port)); });
    return true;
}

bool QORPortsController::removeAnalyzerProtocolFrom(const QORPlugInNetworkProtocol& protocol) {
    if (protocol.protocolPorts.empty()) return false;
    auto source = static_cast<std::int8_t>(protocol.sourceProtocol);
    bool tcp = source != kSourceUDP, udp = source != kSourceTCP;
    write(tcp, udp, true, [&](PortMap& m) {
        for (std::int64_t port : protocol.protocolPorts) {
            if (port < 0 || port > kMaxPort) continue;  // not a port: a caller error, skipped
            m.erase(portKey(static_cast<std::uint16_t>(port)));
        }
    });
    return true;
}

std::optional<std::string> QORPortsController::analyzerProtocolForPort(std::uint16_t port, std::int8_t source) const {
    if (source == kSourceTCP) return analyzerTCPProtocolForPort(port);
    if (source == kSourceUDP) return analyzerUDPProtocolForPort(port);
    if (auto name = analyzerTCPProtocolForPort(port)) return name;
    return analyzerUDPProtocolForPort(port);
}

std::optional<std::string> QORPortsController::protocolForPort(std::uint16_t port, std::int8_t source) const {
    if (auto name = analyzerProtocolForPort(port, source)) return name;
    auto m = maps();
    if (source == kSourceTCP) return find(*m->tcp, port);
    if (source == kSourceUDP) return find(*m->udp, port);
    if (auto name = find(*m->tcp, port)) return name;
    return find(*m->udp, port);
}

std::optional<std::string> QORPortsController::tcpProtocolForPort(std::uint16_t port) const {
    auto m = maps();
    if (auto name = find(*m->analyzerTcp, port)) return name;
    return find(*m->tcp, port);
}

std::optional<std::string> QORPortsController::udpProtocolForPort(std::uint16_t port) const {
    auto m = maps();
    if (auto name = find(*m->analyzerUdp, port)) return name;
    return find(*m->udp, port);
}

std::optional<std::string> QORPortsController::analyzerTCPProtocolForPort(std::uint16_t port) const {
    return analyzerProtocolNameForPort(true, port).value();
}

std::optional<std::string> QORPortsController::analyzerUDPProtocolForPort(std::uint16_t port) const {
    return analyzerProtocolNameForPort(false, port).value();
}

bool QORPortsController::anyPortInUse(const std::string& ports, const std::string& sourceProtocol,
                                      const std::string& protocolName) const {
    auto source = sourceProtocolFromText(sourceProtocol);
    if (!source || (*source != kQORSourceProtocols::tcp && *source != kQORSourceProtocols::udp && *source != kQORSourceProtocols::all)) {
        return false;
    }
    auto m = maps();
    auto takenByOther = [&](const PortMap& map, std::uint16_t port) {
        auto name = find(map, port);
        return name && *name != protocolName;
    };
    std::string_view rest(ports);
    while (!rest.empty()) {
        auto comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (piece.empty()) continue;
        auto port = parsePort(piece);
        if (!port) continue;
        bool tcp = *source != kQORSourceProtocols::udp, udp = *source != kQORSourceProtocols::tcp;
        if ((tcp && takenByOther(*m->analyzerTcp, *port)) || (udp && takenByOther(*m->analyzerUdp, *port))) return true;
    }
    return false;
}

QORPortsController::PortMap QORPortsController::tcpPorts() const { return *maps()->tcp; }
QORPortsController::PortMap QORPortsController::udpPorts() const { return *maps()->udp; }
QORPortsController::PortMap QORPortsController::analyzerTcpPorts() const { return *maps()->analyzerTcp; }
QORPortsController::PortMap QORPortsController::analyzerUdpPorts() const { return *maps()->analyzerUdp; }

}  // namespace qor
