#pragma once
// The port-to-protocol map interface.

#include <cstdint>
#include <optional>
#include <string>

#include "QORDependencies/Records.hpp"
#include "QORPlatform/InternedString.hpp"

namespace qor {

/// Ports to protocol names, per transport. Writers run on the main thread; the lookups are safe
/// from any thread (analysis asks them while walking a packet).
class QORPortsControllerProtocol {
public:
    virtual ~QORPortsControllerProtocol() = default;
    virtual void addProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t sourceProtocol) = 0;
    virtual bool addAnalyzerProtocol(const std::optional<std::string>& name, std::uint16_t port, std::int8_t sourceProtocol) = 0;
    virtual bool removeAnalyzerProtocolForPort(std::uint16_t port, std::int8_t sourceProtocol) = 0;
    virtual bool removeAnalyzerProtocolFrom(const QORPlugInNetworkProtocol& protocol) = 0;
    [[nodiscard]] virtual std::optional<std::string> protocolForPort(std::uint16_t port, std::int8_t sourceProtocol) const = 0;
    [[nodiscard]] virtual std::optional<std::string> tcpProtocolForPort(std::uint16_t port) const = 0;
    [[nodiscard]] virtual std::optional<std::string> udpProtocolForPort(std::uint16_t port) const = 0;
    [[nodiscard]] virtual std::optional<std::string> analyzerProtocolForPort(std::uint16_t port, std::int8_t sourceProtocol) const = 0;
    [[nodiscard]] virtual std::optional<std::string> analyzerTCPProtocolForPort(std::uint16_t port) const = 0;
    [[nodiscard]] virtual std::optional<std::string> analyzerUDPProtocolForPort(std::uint16_t port) const = 0;
    /// The analyzer protocol of a TCP (`tcp`) or UDP port as interned text; a null handle for
    /// none. Analysis asks this for every TCP and UDP packet, so a controller that can answer
    /// without building texts overrides it.
    [[nodiscard]] virtual InternedString analyzerProtocolNameForPort(bool tcp, std::uint16_t port) const {
        return InternedString::from(tcp ? analyzerTCPProtocolForPort(port) : analyzerUDPProtocolForPort(port));
    }
    [[nodiscard]] virtual bool anyPortInUse(const std::string& ports, const std::string& sourceProtocol,
                                            const std::string& protocolName) const = 0;
};

}  // namespace qor
