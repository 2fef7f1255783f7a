#pragma once
// Packets read and analysed the way the application does it: the library's capture reader, the
// plug-ins loaded by the plug-in controller, and each packet's own analysis.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORPlatform/Data.hpp"

namespace qor::test {

/// Loads the plug-ins once per process, as the analyzer harness does (`AnalyzerHarness::shared()`,
/// which throws, failing the test, when the standard plug-in is missing).
void activatePlugInsOnce();

/// The packets of a capture file, read by the library's reader (classic pcap or pcapng).
PacketList readPackets(const std::filesystem::path& path);
/// The packets of a capture built in memory, written to a temporary file and read back.
PacketList readPackets(const Data& capture);

/// The one packet of a capture of `linkType` built around `frame` (captured whole; the wire had
/// `originalLength` bytes when given), analysed through the loaded plug-ins; null, failing the
/// test, when the capture does not read back as one packet.
std::shared_ptr<QORPacket> analysedFrame(std::uint32_t linkType, const Data& frame, std::int64_t originalLength = -1);
/// That packet's protocol history ("ETH-IP-UDP-DNS"), or empty text.
std::string frameHistory(std::uint32_t linkType, const Data& frame, std::int64_t originalLength = -1);

/// A packet's protocol history ("ETH-IP-UDP-DNS") split at "-", analysing the packet first.
std::vector<std::string> layersOf(const QORPacket& packet);

/// An Ethernet frame: fixed addresses, `etherType`, then `payload`.
Data ethernetFrame(std::uint16_t etherType, const Data& payload);
/// An IPv4 header (20 bytes, no options) before `payload`; `totalLength` overrides the length.
Data ipv4Packet(std::uint8_t protocol, const Data& payload, std::uint8_t lastSourceByte = 1, int totalLength = -1);
/// An IPv6 header (40 bytes) before `payload`.
Data ipv6Packet(std::uint8_t nextHeader, const Data& payload);
/// A UDP header before `payload` (length from the payload, checksum 0).
Data udpDatagram(std::uint16_t sourcePort, std::uint16_t destinationPort, const Data& payload);
/// A TCP header (20 bytes, PSH ACK) before `payload`.
Data tcpSegment(std::uint16_t sourcePort, std::uint16_t destinationPort, const Data& payload);
/// A DNS query for "a." type A, id 0x1234.
Data dnsQuery();
/// That query in UDP from port 40000 to port 53, in IPv4.
Data dnsDatagram();

}  // namespace qor::test
