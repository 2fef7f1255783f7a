#pragma once
// The port-to-protocol map: well-known service names and analyzer assignments per transport.

#include <atomic>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <unordered_map>

#include "QORDependencies/QORPortsControllerProtocol.hpp"
#include "QORModels/analysis/PluginLookupTable.hpp"
#include "QORModels/analysis/SharedSnapshot.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

/// Four maps from port text (the port's decimal text) to protocol name: the well-known TCP and
/// UDP service names, and the TCP and UDP ports that analyzers claim. The source protocol code
/// 1 selects TCP, 2 selects UDP, any other code both transports (lookups then prefer TCP).
///
/// Thread safety: writes are meant for the main thread (they are serialised by a writer mutex
/// all the same). Every write builds new maps and publishes them with one reference swap
/// (`SharedSnapshot`), so the lookups may be called from any thread without locking and always see a
/// complete state. Only the maps a write touches are copied; the large well-known maps are
/// shared between states.
class QORPortsController final : public NSObject, public QORPortsControllerProtocol {
public:
    using PortMap = TextKeyMap<std::string>;

    /// The shared instance, created (thread-safely) on first use from the protocol-strings
    /// cache's service list.
    static std::shared_ptr<QORPortsControllerProtocol> sharedPortsController();
    /// The same instance as the concrete class.
    static std::shared_ptr<QORPortsController> sharedController();

    /// A controller whose well-known maps both start as `serviceList` (port text to name).
    explicit QORPortsController(const std::map<std::string, std::string>& serviceList);

    void addProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t sourceProtocol) override;
    bool addAnalyzerProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t sourceProtocol) override;
    bool removeAnalyzerProtocolForPort(std::uint16_t port, std::int8_t sourceProtocol) override;
    bool removeAnalyzerProtocolFrom(const QORPlugInNetworkProtocol& protocol) override;
    [[nodiscard]] std::optional<std::string> protocolForPort(std::uint16_t port, std::int8_t sourceProtocol) const override;
    [[nodiscard]] std::optional<std::string> tcpProtocolForPort(std::uint16_t port) const override;
    [[nodiscard]] std::optional<std::string> udpProtocolForPort(std::uint16_t port) const override;
    [[nodiscard]] std::optional<std::string> analyzerProtocolForPort(std::uint16_t port, std::int8_t sourceProtocol) const override;
    [[nodiscard]] std::optional<std::string> analyzerTCPProtocolForPort(std::uint16_t port) const override;
    [[nodiscard]] std::optional<std::string> analyzerUDPProtocolForPort(std::uint16_t port) const override;
    /// `analyzerTCPProtocolForPort`/`analyzerUDPProtocolForPort` as interned text (a null handle
    /// for none), found by the port's number: analysis asks this for every TCP and UDP packet.
    [[nodiscard]] InternedString analyzerProtocolNameForPort(bool tcp, std::uint16_t port) const override;
    /// Whether a port of the comma-separated list (empty pieces dropped) is taken by an analyzer
    /// other than `protocolName`: with "TCP" or "UDP" in that transport's analyzer map, with
    /// "ALL" in either. Every port of the list counts, and a port no analyzer claims is free.
    /// Any other source text, an empty list or pieces that are not ports give false for them.
    [[nodiscard]] bool anyPortInUse(const std::string& ports, const std::string& sourceProtocol,
                                    const std::string& protocolName) const override;

    /// Copies of the four maps, for display and tests.
    [[nodiscard]] PortMap tcpPorts() const;
    [[nodiscard]] PortMap udpPorts() const;
    [[nodiscard]] PortMap analyzerTcpPorts() const;
    [[nodiscard]] PortMap analyzerUdpPorts() const;
    [[nodiscard]] std::string_view className() const override { return "QORPortsController"; }

private:
    using NumberIndex = std::unordered_map<std::uint16_t, InternedString>;
    struct Maps {
        std::shared_ptr<const PortMap> tcp, udp, analyzerTcp, analyzerUdp;
        /// The two analyzer maps again, by port number (rebuilt whenever they change): every
        /// analyzer-port lookup goes through these; the text-keyed maps are for display.
        std::shared_ptr<const NumberIndex> analyzerTcpByNumber, analyzerUdpByNumber;
    };
    static std::shared_ptr<const NumberIndex> numberIndex(const PortMap& map);
    enum class Which { tcp, udp, analyzerTcp, analyzerUdp };
    [[nodiscard]] std::shared_ptr<const Maps> maps() const { return maps_.load(); }
    /// Applies `edit` to copies of the selected maps and publishes the result.
    template <class Edit>
    void write(bool first, bool second, bool analyzer, Edit edit);
    static std::optional<std::string> find(const PortMap& map, std::uint16_t port);

    SharedSnapshot<Maps> maps_{nullptr};
    std::mutex writer_;
};

}  // namespace qor
