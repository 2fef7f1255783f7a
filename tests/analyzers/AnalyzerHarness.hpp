#pragma once
// Loads the standard analyzer plug-in and runs its analyzers by hand, for the analyzer tests.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/Records.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test {

/// The loaded plug-in: its structures as the principal class registers them, and the classes by
/// protocol name. Loading also registers the plug-in's ports with the shared port map, as the
/// plug-in controller would. Loaded once per process.
class AnalyzerHarness {
public:
    static AnalyzerHarness& shared();

    /// The class registered in the class registry under `className` ("EthernetAnalyzer").
    [[nodiscard]] const QORPluginAnalyzerClass* classNamed(std::string_view className) const;
    /// The class the plug-in registers for a protocol name ("ETH").
    [[nodiscard]] const QORPluginAnalyzerClass* classForProtocol(std::string_view protocol) const;
    /// A fresh analyzer of a class, or null when the class refuses the bytes.
    [[nodiscard]] AnalyzerRef make(std::string_view className, const Data& bytes, const PacketRef& packet = nullptr) const;
    [[nodiscard]] const std::vector<QORPlugInStructure>& structures() const { return structures_; }
    [[nodiscard]] std::optional<QORPlugInAnalyzerAttribute> attribute(std::string_view key) const;

    /// One analyzer of a chain walked by hand, with where its bytes start in the packet.
    struct Step {
        AnalyzerRef analyzer;
        std::size_t offset = 0;
        Data bytes;  ///< the analyzer's slice
    };
    /// Walks a packet's chain from a protocol name: each analyzer gets the bytes after the
    /// headers before it, cut to the payload size the previous one announced; the walk follows
    /// `nextProtocol()` while a class is registered for it (at most `kMaxSteps` steps).
    [[nodiscard]] std::vector<Step> walk(const std::string& firstProtocol, const Data& packetBytes,
                                         const PacketRef& packet = nullptr) const;
    static constexpr std::size_t kMaxSteps = 32;

private:
    AnalyzerHarness();
    std::vector<QORPlugInStructure> structures_;
    std::map<std::string, AnalyzerClassRef, std::less<>> byProtocol_;
};

/// The names of a walked chain joined by "-".
std::string history(const std::vector<AnalyzerHarness::Step>& steps);

/// A packet of a capture file, as the analyzer tests need it.
struct CapturedPacket {
    std::uint32_t linkType = 0;
    Data bytes;
};
/// The packets of a classic pcap or pcapng file (Enhanced and Simple Packet Blocks), in order.
std::vector<CapturedPacket> readCapture(const Data& file);

/// A packet record with a link type and bytes, for analyzers that look at their packet.
PacketRef packetWith(std::uint32_t linkType, const Data& bytes);

}  // namespace qor::test
