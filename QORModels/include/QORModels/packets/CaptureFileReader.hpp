#pragma once
// Reading a capture file of either container, packet by packet.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QORCommonTools/PCAPFileHeader.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/PacketSink.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

class PacketArena;

/// What reading a capture file gave, whichever its container.
struct CaptureReadResult {
    CaptureContainerFormat format = CaptureContainerFormat::pcap;
    /// The classic file's link type, or the link type of each pcapng interface in file order.
    std::vector<std::uint32_t> linkTypes;
    /// The classic file's global header (link type, resolution, snapshot length, byte order);
    /// nothing for pcapng.
    std::optional<PCAPFileHeader> classicHeader;
    /// What a pcapng file says about itself; nothing for classic pcap or when it says nothing.
    std::optional<PcapngMetadata> metadata;
    /// The text of each TLS key-log Decryption Secrets Block of a pcapng file, in file order.
    std::vector<std::string> secrets;
    std::optional<std::string> sectionComment;
    /// Packets handed to the sink.
    std::size_t packetCount = 0;
    /// Why reading stopped before the end of the file, or skipped records; nothing for a clean
    /// file and for a read its sink stopped.
    std::optional<std::string> issue;
};

/// Reads a capture file's bytes whatever their container: recognises it by its first bytes
/// (`detectCaptureContainerFormat`) and hands the bytes to the classic pcap or pcapng reader.
/// Like them it never reads past the data and sets no data cache or file source on the packets.
class CaptureFileReader {
public:
    /// Hands each packet to `sink` in file order (see `PacketSink`); `progress` hears the
    /// kilobytes consumed. Throws `APIErrorException(invalidData)` for bytes that are neither
    /// container ("Unknown libpcap type!" is logged) or a classic global header cut short; a
    /// damaged file is no error: the packets before the fault are delivered and `issue` says
    /// what is wrong. `arena`, when given, is where packets are carved from (for callers that
    /// keep every packet); otherwise each is freed when the sink lets it go. `access` is how the
    /// records of a mapped file are walked.
    static CaptureReadResult read(const Data& data, const PacketSink& sink, const ReadProgress& progress = {},
                                  PacketArena* arena = nullptr, RecordAccess access = RecordAccess::windowed);
    /// The same read handing each record to `sink` as it is, with no packet made for it: for a
    /// pass that only needs to know where each packet's bytes are.
    static CaptureReadResult readRecords(const Data& data, const RecordSink& sink, const ReadProgress& progress = {},
                                         RecordAccess access = RecordAccess::windowed);
};

}  // namespace qor
