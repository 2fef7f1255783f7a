#pragma once
// The standard analyzer plug-in as the product loads it, and captures as the product reads them,
// for the analyzer tests.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/Records.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test {

/// The standard plug-in, loaded once per process by the shared plug-in controller from the
/// build tree's plug-in folder (`QORPlugInsController::activateAndPublish()`): its structures
/// are registered, its ports, ether types and link types are in the shared tables, and the
/// lookup table that packet analysis reads is published. Construction throws when the bundle is
/// missing or does not load, which fails the test that asked for it.
///
/// The first use must be on the thread the tests run on (the controller's main thread).
class AnalyzerHarness {
public:
    static AnalyzerHarness& shared();

    /// A fresh analyzer of the class registered under `className` ("EthernetAnalyzer"), or null
    /// when the class refuses the bytes.
    [[nodiscard]] AnalyzerRef make(std::string_view className, const Data& bytes, const PacketRef& packet = nullptr) const;
    /// The structures the standard plug-in registered with the controller.
    [[nodiscard]] std::vector<QORPlugInStructure> structures() const;

private:
    AnalyzerHarness();
    std::shared_ptr<QORPlugInsController> controller_;
};

/// A capture file read by the library's reading stream, as the application and qor read one:
/// the packets, and the data cache that holds their bytes.
struct Capture {
    std::shared_ptr<QORDataCache> cache;
    PacketList packets;
};
/// Reads a file of tests/fixtures/captures with `FileDataToPacketsAsyncStream`; a read that
/// fails throws.
Capture readCapture(std::string_view name);

/// The names of the capture files of tests/fixtures/captures (.pcap, .pcapng, .cap, .ntar).
std::vector<std::string> fixtureCaptures();

/// The protocol names of a packet's own analyzer chain (`cachedAnalyzers()`) joined by "-",
/// without the built-in packet analyzer that starts every chain.
std::string chainHistory(const QORPacket& packet);

/// `text` split at `separator`; a trailing separator gives a last empty piece.
std::vector<std::string> split(const std::string& text, char separator);
/// The tab-separated rows of tests/fixtures/expected/<name> (tshark's recorded output), without
/// blank and "#" lines, each padded to at least `columns` cells. A missing file fails the test.
std::vector<std::vector<std::string>> readExpectedRows(std::string_view name, std::size_t columns);
/// A parameterised test's name from a capture's file name: "_" for all but letters and digits.
std::string captureTestName(std::string_view capture);

/// A packet record with a link type and bytes (no file), for analyzers that look at their packet.
std::shared_ptr<QORPacket> packetWith(std::uint32_t linkType, const Data& bytes);

}  // namespace qor::test
