#include "QORModels/packets/ClassicPcapReader.hpp"

#include "PacketCollection.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QORCommonTools/SequentialReader.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {
constexpr std::size_t kGlobalHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::size_t kProgressEveryRecords = 64;
}  // namespace

ClassicPcapReadResult ClassicPcapReader::read(const Data& data, const PacketSink& sink, const ReadProgress& progress,
                                              PacketArena* arena, RecordAccess access) {
    return readRecords(
        data, [&](const CaptureRecord& record) { return sink(QORPacket::fromRecord(record, arena)); }, progress, access);
}

ClassicPcapReadResult ClassicPcapReader::readRecords(const Data& data, const RecordSink& sink, const ReadProgress& progress,
                                                     RecordAccess access) {
    ClassicPcapReadResult result;
    auto header = PCAPFileHeader::parse(data);
    if (!header) {
        bool knownMagic = detectCaptureContainerFormat(data) == CaptureContainerFormat::pcap;
        result.issue = knownMagic ? "pcap global header is truncated" : "not a classic pcap file (unknown magic number)";
        return result;
    }
    result.isClassicPcap = true;
    result.header = *header;
    const bool swap = header->fieldsNeedSwap();
    const double divisor = header->nanosecond ? 1e9 : 1e6;
    auto linkName = InternedString::from(ProtocolsStringsCache::sharedCache().linkTypeStringForKey(std::to_string(header->linktype)));

    std::size_t count = 0;
    std::size_t offset = kGlobalHeaderSize;
    bool stopped = false;
    CaptureRecord record;
    record.linkType = header->linktype;
    record.linkName = linkName;
    // Record headers are read through a window (or straight from the mapping, when asked); the
    // packet bytes are never read.
    SequentialReader in(data, access == RecordAccess::windowed ? SequentialReader::kDefaultWindowSize : 0);
    while (data.size() - offset >= kRecordHeaderSize) {
        auto head = in.view(offset, kRecordHeaderSize);
        if (!head) {  // the file shrank after it was mapped
            result.issue = "the file shrank while it was read; reading stopped at record " + std::to_string(count + 1);
            break;
        }
        ByteReader fields(*head);
        auto seconds = *fields.load<std::uint32_t>(0, swap);
        auto fraction = *fields.load<std::uint32_t>(4, swap);
        auto caplen = *fields.load<std::uint32_t>(8, swap);
        auto origlen = *fields.load<std::uint32_t>(12, swap);
        const std::size_t location = offset + kRecordHeaderSize;
        if (std::uint64_t{caplen} > data.size() - location) {
            result.issue = "record " + std::to_string(count + 1) + " at offset " + std::to_string(offset) + " claims " +
                           std::to_string(caplen) + " captured bytes but only " + std::to_string(data.size() - location) +
                           " remain; reading stopped there";
            break;
        }
        if (std::uint64_t{location} + caplen > UINT32_MAX) {
            result.issue = "packet data beyond 4 GiB cannot be addressed; reading stopped at record " + std::to_string(count + 1);
            break;
        }
        record.dateReceived = static_cast<double>(seconds) + static_cast<double>(fraction) / divisor;
        if (count == 0) record.dateReference = record.dateReceived;
        record.packetId = static_cast<std::int64_t>(count) + 1;
        record.dataLocation = static_cast<std::uint32_t>(location);
        record.captureLength = caplen;
        record.realLength = origlen;
        ++count;
        offset = location + caplen;
        if (!sink(record)) {
            stopped = true;
            break;
        }
        if (progress && count % kProgressEveryRecords == 0) progress(static_cast<double>(offset) / 1024.0);
    }
    if (!result.issue && !stopped && offset < data.size()) {
        result.issue = std::to_string(data.size() - offset) + " trailing bytes after the last record are not a complete record header";
    }
    result.packetCount = count;
    return result;
}

ClassicPcapReadResult ClassicPcapReader::read(const Data& data, const ReadProgress& progress) {
    return PacketCollection::keepAll(CaptureContainerFormat::pcap, data.size(), [&](const PacketSink& sink, PacketArena* arena) {
        return read(data, sink, progress, arena);
    });
}

}  // namespace qor
