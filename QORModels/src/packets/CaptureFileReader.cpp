#include "QORModels/packets/CaptureFileReader.hpp"

#include "QORLog/QORLog.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/ClassicPcapReader.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {

CaptureReadResult CaptureFileReader::read(const Data& data, const PacketSink& sink, const ReadProgress& progress,
                                          PacketArena* arena, RecordAccess access) {
    return readRecords(
        data, [&](const CaptureRecord& record) { return sink(QORPacket::fromRecord(record, arena)); }, progress, access);
}

CaptureReadResult CaptureFileReader::readRecords(const Data& data, const RecordSink& sink, const ReadProgress& progress,
                                                 RecordAccess access) {
    auto format = detectCaptureContainerFormat(data);
    if (!format) {
        QOR_LOG("QORModels/CaptureFileReader", "Unknown libpcap type!");
        throw APIErrorException(APIError::invalidData, "not a pcap or pcapng capture file (unknown magic number)");
    }
    CaptureReadResult out;
    out.format = *format;
    if (*format == CaptureContainerFormat::pcapng) {
        auto r = PcapngReader::readRecords(data, sink, progress, access);
        for (const auto& i : r.metadata.interfaces) out.linkTypes.push_back(i.linkType);
        if (!r.metadata.isEmpty()) out.metadata = std::move(r.metadata);
        out.secrets = std::move(r.secrets);
        out.sectionComment = std::move(r.sectionComment);
        out.packetCount = r.packetCount;
        out.issue = std::move(r.issue);
        return out;
    }
    auto r = ClassicPcapReader::readRecords(data, sink, progress, access);
    if (!r.isClassicPcap) throw APIErrorException(APIError::invalidData, *r.issue);
    out.linkTypes = {r.header.linktype};
    out.classicHeader = r.header;
    out.packetCount = r.packetCount;
    out.issue = std::move(r.issue);
    return out;
}

}  // namespace qor
