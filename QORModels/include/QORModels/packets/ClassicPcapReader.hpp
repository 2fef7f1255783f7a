#pragma once
// Reading the classic pcap format.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORCommonTools/PCAPFileHeader.hpp"
#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/PacketSink.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/packets/RecordAccess.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

class PacketArena;

/// What reading a classic pcap file gave.
struct ClassicPcapReadResult {
    /// Whether the data starts with a whole global header holding a classic magic number; when
    /// false nothing else is set but `issue`.
    bool isClassicPcap = false;
    /// The global header: link type, nanosecond resolution, snapshot length, byte order.
    PCAPFileHeader header;
    /// Packets handed out (to the sink, or kept in `packets`).
    std::size_t packetCount = 0;
    /// The packets, for the whole-file read only; empty when a sink received them.
    std::vector<std::shared_ptr<QORPacket>> packets;
    /// What is wrong with the file when reading stopped before its end (a truncated record, a
    /// record beyond 4 GiB, trailing bytes) or it is no classic capture; nothing for a clean
    /// file and for a read its sink stopped.
    std::optional<std::string> issue;
};

/// Reads classic pcap bytes into packets. A pure function of its input: it never throws, never
/// reads past the data and allocates only for what the data holds (a record's captured length
/// is checked against the data before anything is made for it).
///
/// Layout (every field in the byte order the magic gives):
///   global header, 24 bytes: magic, version major/minor (16 each), time-zone offset,
///                            timestamp accuracy, snapshot length, link type
///   records: seconds (32), sub-second fraction in µs or ns (32), captured length (32),
///            original length (32), then the captured bytes; no padding between records.
/// The modified-pcap magics are read with the same 16-byte record header.
///
/// Packets carry their id (from 1), the file offset and lengths of their bytes, the link type,
/// their time, the first packet's time as reference, and the link type's name as protocol and
/// history; no data cache or file source (the caller sets those).
class ClassicPcapReader {
public:
    /// Hands each packet to `sink` as it is read. Progress is reported after every 64th record.
    /// Packets are heap objects freed when the sink lets them go, or, when `arena` is given,
    /// carved from it (for callers that keep every packet of the file). `access` is how the
    /// record headers of a mapped file are walked.
    static ClassicPcapReadResult read(const Data& data, const PacketSink& sink, const ReadProgress& progress = {},
                                      PacketArena* arena = nullptr, RecordAccess access = RecordAccess::windowed);
    /// The same walk handing each record to `sink` as it is, with no packet made for it.
    static ClassicPcapReadResult readRecords(const Data& data, const RecordSink& sink, const ReadProgress& progress = {},
                                             RecordAccess access = RecordAccess::windowed);
    /// The whole file: every packet in `packets`, in file order.
    static ClassicPcapReadResult read(const Data& data, const ReadProgress& progress = {});
};

}  // namespace qor
