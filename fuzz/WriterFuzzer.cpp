// Fuzzes the capture writers: a packet list (bytes, lengths, times, link types, comments,
// key-log texts, section comment) derived from the input is written as pcapng and as classic
// pcap and read back by the library's own readers, which must find the same packets.
//
// Input layout (every field optional; a short input simply ends the list):
//   u8  flags        bit 0: section comment follows; bit 1: the packets' bytes are unavailable
//                    for every 5th packet
//   [u8 n, n bytes]  section comment (any bytes, UTF-8 or not)
//   u8  secrets      number of key-log texts, each [u8 n, n bytes]
//   then packets, each:
//     u8  link       index into a table of link types, or with bit 7 set a raw 16-bit type
//                    from the next two bytes
//     u16 length     captured bytes (cut to what is left and to kMaxPacketBytes)
//     u16 extra      original length = captured + extra
//     u32 seconds, u32 fraction (microseconds = fraction % 1,000,000)
//     u8  comment    0: none; else n = value - 1 comment bytes follow
//     the captured bytes

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QORCommonTools/ByteReader.hpp"
#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"
#include "QORModels/packets/PcapngReader.hpp"
#include "QORModels/packets/PcapngWriter.hpp"
#include "QORModels/packets/QORDataCache.hpp"

namespace {

constexpr std::size_t kMaxPackets = 256;
constexpr std::size_t kMaxPacketBytes = 4096;
constexpr std::uint32_t kLinkTypes[] = {1, 105, 0, 113, 228, 276, 127, 1};

#define WRITER_CHECK(cond)                                                                       \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "WriterFuzzer: check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

struct Spec {
    std::uint32_t linkType;
    qor::Data bytes;
    std::uint32_t realLength;
    std::uint32_t seconds;
    std::uint32_t micros;
    std::optional<std::string> comment;
    bool available;
};

std::optional<std::string> readText(qor::ByteReader& r) {
    auto n = r.readU8();
    if (!n) return std::nullopt;
    auto span = r.rest().first(std::min<std::size_t>(*n, r.remaining()));
    r.skip(span.size());
    return std::string(reinterpret_cast<const char*>(span.data()), span.size());
}

/// What a pcapng reader gives back for a comment we wrote: the option text cut at its first zero
/// byte, absent when empty or not UTF-8.
std::optional<std::string> expectedComment(const std::optional<std::string>& comment) {
    if (!comment) return std::nullopt;
    auto text = qor::PcapngWriter::optionText(*comment);
    if (!text) return std::nullopt;
    std::string s(text->substr(0, text->find('\0')));
    if (s.empty()) return std::nullopt;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qor::ByteReader r(std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), size));
    const std::uint8_t flags = r.readU8().value_or(0);
    std::optional<std::string> sectionComment;
    if (flags & 1) sectionComment = readText(r);
    std::vector<std::string> secrets;
    const std::uint8_t secretCount = r.readU8().value_or(0);
    for (std::uint8_t i = 0; i < secretCount; ++i) {
        if (auto t = readText(r)) secrets.push_back(*t);
    }

    std::vector<Spec> specs;
    while (specs.size() < kMaxPackets) {
        auto link = r.readU8();
        if (!link) break;
        std::uint32_t linkType = kLinkTypes[*link % std::size(kLinkTypes)];
        if (*link & 0x80) linkType = r.readU16le().value_or(0);
        const std::size_t length = std::min<std::size_t>({r.readU16le().value_or(0), kMaxPacketBytes});
        const std::uint32_t extra = r.readU16le().value_or(0);
        const std::uint32_t seconds = r.readU32le().value_or(0);
        const std::uint32_t micros = r.readU32le().value_or(0) % 1'000'000;
        std::optional<std::string> comment;
        if (auto c = r.readU8(); c && *c) {
            auto span = r.rest().first(std::min<std::size_t>(*c - 1u, r.remaining()));
            r.skip(span.size());
            comment = std::string(reinterpret_cast<const char*>(span.data()), span.size());
        }
        auto bytes = r.rest().first(std::min(length, r.remaining()));
        r.skip(bytes.size());
        const bool available = !((flags & 2) && specs.size() % 5 == 4);
        specs.push_back({linkType, qor::Data::copy(bytes), static_cast<std::uint32_t>(bytes.size()) + extra, seconds,
                         micros, comment, available});
    }

    // The packets, their bytes in an in-memory cache one after another.
    auto cache = std::make_shared<qor::QORDataCache>();
    std::vector<std::shared_ptr<qor::QORPacket>> packets;
    std::uint32_t offset = 0;
    for (const auto& s : specs) {
        auto p = qor::QORPacket::create();
        const auto n = static_cast<std::uint32_t>(s.bytes.size());
        p->setPacketId(static_cast<std::int64_t>(packets.size()) + 1);
        p->setDataLocation(offset);
        p->setCaptureLength(n);
        p->setRealLength(s.realLength);
        p->setDateReceived(s.seconds + s.micros / 1e6);
        p->setLinkType(s.linkType);
        p->setPacketComment(s.comment);
        if (s.available) cache->set(s.bytes, {offset, offset + n});
        p->setDataCache(cache);
        offset += n;
        packets.push_back(std::move(p));
    }

    // pcapng.
    const qor::Data ng = qor::PcapngWriter::write(packets, secrets, sectionComment);
    WRITER_CHECK(static_cast<double>(ng.size()) <= qor::PcapngWriter::totalByteCount(packets, secrets, sectionComment));
    const auto result = qor::PcapngReader::read(ng);
    WRITER_CHECK(result.isPcapng);
    WRITER_CHECK(result.packets.size() == specs.size());
    WRITER_CHECK(qor::PcapngWriter::keyLogText(result.secrets) == qor::PcapngWriter::keyLogText(secrets));
    WRITER_CHECK(result.sectionComment == expectedComment(sectionComment ? sectionComment
                                                                         : std::optional<std::string>("Exported by Tessarine")));
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const auto& s = specs[i];
        const auto& p = *result.packets[i];
        const qor::Data expected = s.available ? s.bytes : qor::Data();
        WRITER_CHECK(p.captureLength() == expected.size());
        WRITER_CHECK(ng.slice(p.dataLocation(), p.captureLength()) == expected);
        WRITER_CHECK(p.realLength() == s.realLength);
        WRITER_CHECK(p.linkType() == (s.linkType & 0xFFFF));
        WRITER_CHECK(p.packetComment() == expectedComment(s.comment));
        const auto us = static_cast<std::uint64_t>(s.seconds) * 1'000'000 + s.micros;
        WRITER_CHECK(static_cast<std::uint64_t>(std::llround(p.dateReceived() * 1e6)) == us);
    }

    // Classic pcap, for a list of one link type.
    bool oneLinkType = true;
    for (const auto& s : specs) oneLinkType = oneLinkType && s.linkType == specs.front().linkType;
    if (oneLinkType) {
        const std::uint32_t linkType = specs.empty() ? 1 : specs.front().linkType;
        const qor::Data classic =
            qor::PacketsToFileDataAsyncStream::serialize(packets, linkType, 262144, std::nullopt, {}, [] { return false; });
        qor::FileDataToPacketsAsyncStream reader;
        auto back = reader.parsePackets(classic, std::make_shared<qor::QORDataCache>(), "/fuzz/writer.pcap", nullptr);
        WRITER_CHECK(back.size() == specs.size());
        for (std::size_t i = 0; i < specs.size(); ++i) {
            const auto& s = specs[i];
            WRITER_CHECK(back[i]->data().value_or(qor::Data()) == (s.available ? s.bytes : qor::Data()));
            WRITER_CHECK(back[i]->realLength() == s.realLength);
            WRITER_CHECK(back[i]->linkType() == linkType);
            const auto us = static_cast<std::uint64_t>(s.seconds) * 1'000'000 + s.micros;
            WRITER_CHECK(static_cast<std::uint64_t>(std::llround(back[i]->dateReceived() * 1e6)) == us);
        }
    }
    return 0;
}
