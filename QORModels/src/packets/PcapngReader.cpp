// Pcapng: blocks, sections, interfaces, enhanced packets and decryption secrets.
//
// Every block:                       Section Header Block body:
//   0  block type        (32)          0  byte-order magic 0x1A2B3C4D (32)
//   4  block total length(32)          4  major (16)   6 minor (16)
//   8  body ...                        8  section length (64)
//   -4 block total length(32)         16  options
//
// Interface Description Block body:  Enhanced Packet Block body:
//   0  link type (16)  2 reserved      0  interface id (32)
//   4  snap length (32)                4  timestamp high (32)   8 timestamp low (32)
//   8  options                        12  captured length (32) 16 original length (32)
//                                     20  packet bytes, padded to 4, then options
// Decryption Secrets Block body:
//   0  secrets type (32)  4 secrets length (32)  8 secrets data
//
// Options: code (16), length (16), value padded to 4; code 0 ends the list.

#include "QORModels/packets/PcapngReader.hpp"

#include "PcapngFormat.hpp"
#include <cmath>

#include "PacketCollection.hpp"
#include "QORCommonTools/SequentialReader.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORProtocolsStringsCache/ProtocolsStringsCache.hpp"

namespace qor {
namespace {

using namespace ::qor::pcapng;

constexpr std::size_t kProgressEveryPackets = 64;

/// Whether fields must be byte-swapped on this machine for a section with this magic as read
/// little-endian: the file is little-endian exactly when the magic reads 0x1A2B3C4D that way.
bool swapForSection(bool fileIsLittleEndian) { return fileIsLittleEndian != (std::endian::native == std::endian::little); }

/// Seconds from a timestamp in interface units (10^-exponent or 2^-shift seconds), keeping
/// sub-microsecond precision for large counts by splitting whole and fractional parts.
double timestampSeconds(std::uint64_t units, bool base2, int base2Shift, int exponent) {
    if (base2) {
        if (base2Shift <= 63) {
            std::uint64_t whole = units >> base2Shift;
            std::uint64_t frac = units & ((std::uint64_t{1} << base2Shift) - 1);
            return static_cast<double>(whole) + std::ldexp(static_cast<double>(frac), -base2Shift);
        }
        // A shift beyond 63 has no integral divisor; the value is far below one second anyway.
        return std::ldexp(static_cast<double>(units), -base2Shift);
    }
    if (exponent <= 19) {
        std::uint64_t divisor = 1;
        for (int i = 0; i < exponent; ++i) divisor *= 10;
        return static_cast<double>(units / divisor) + static_cast<double>(units % divisor) / static_cast<double>(divisor);
    }
    return static_cast<double>(units) / std::pow(10.0, exponent);
}

struct Interface {
    std::uint32_t linkType = 0;
    int tsresolExponent = 6;
    bool base2 = false;
    int base2Shift = 0;
    std::optional<std::string> name;
    InternedString internedName;
    InternedString linkName;
};

}  // namespace

bool PcapngInterfaceInfo::hasDisplayableDetail() const {
    auto nonEmpty = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    return nonEmpty(name) || nonEmpty(descriptionText) || nonEmpty(operatingSystem) || speed.has_value();
}

bool PcapngMetadata::isEmpty() const {
    auto nonEmpty = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    if (nonEmpty(hardware) || nonEmpty(operatingSystem) || nonEmpty(application) || nonEmpty(sectionComment)) return false;
    if (tlsSecretCount != 0) return false;
    for (auto& i : interfaces) {
        if (i.hasDisplayableDetail()) return false;
    }
    return true;
}

std::vector<PcapngOptions::Option> PcapngOptions::all(const Data& area, bool swapped) {
    std::vector<Option> out;
    ByteReader r(area);
    while (r.remaining() >= 4) {
        auto code = *r.readSwapped<std::uint16_t>(swapped);
        auto length = *r.readSwapped<std::uint16_t>(swapped);
        if (code == 0) break;
        if (length > r.remaining()) break;
        out.push_back(Option{code, area.slice(r.offset(), length)});
        std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
        if (!r.skip(std::min(padded, r.remaining()))) break;
    }
    return out;
}

namespace {
std::optional<Data> firstOption(const Data& area, std::uint16_t wanted, bool swapped) {
    ByteReader r(area);
    while (r.remaining() >= 4) {
        auto code = *r.readSwapped<std::uint16_t>(swapped);
        auto length = *r.readSwapped<std::uint16_t>(swapped);
        if (code == 0 || length > r.remaining()) return std::nullopt;
        if (code == wanted) return area.slice(r.offset(), length);
        std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
        if (!r.skip(std::min(padded, r.remaining()))) return std::nullopt;
    }
    return std::nullopt;
}
}  // namespace

std::optional<std::string> PcapngOptions::string(const Data& area, std::uint16_t code, bool swapped) {
    auto value = firstOption(area, code, swapped);
    if (!value) return std::nullopt;
    auto text = value->stringView();
    if (auto zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
    if (text.empty() || !isValidUTF8(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::uint32_t> PcapngOptions::u32(const Data& area, std::uint16_t code, bool swapped) {
    auto value = firstOption(area, code, swapped);
    if (!value) return std::nullopt;
    return ByteReader(*value).load<std::uint32_t>(0, swapped);
}

std::optional<std::uint64_t> PcapngOptions::u64(const Data& area, std::uint16_t code, bool swapped) {
    auto value = firstOption(area, code, swapped);
    if (!value) return std::nullopt;
    return ByteReader(*value).load<std::uint64_t>(0, swapped);
}

PcapngReadResult PcapngReader::read(const Data& data, const PacketSink& sink, const Progress& progress, PacketArena* arena,
                                    RecordAccess access) {
    return readRecords(
        data, [&](const CaptureRecord& record) { return sink(QORPacket::fromRecord(record, arena)); }, progress, access);
}

PcapngReadResult PcapngReader::readRecords(const Data& data, const RecordSink& sink, const Progress& progress,
                                           RecordAccess access) {
    if (data.size() < kBlockFraming || detectCaptureContainerFormat(data) != CaptureContainerFormat::pcapng) {
        return PcapngReadResult::notPcapng();
    }
    PcapngReadResult result;
    result.isPcapng = true;
    std::size_t count = 0;
    bool stopped = false;
    std::vector<Interface> interfaces;
    bool swap = false;
    std::size_t offset = 0;
    std::size_t packetBlocks = 0;
    std::size_t skippedPackets = 0;
    std::optional<double> reference;
    auto& strings = ProtocolsStringsCache::sharedCache();

    // Block headers and small blocks are read through a window (or straight from the mapping,
    // when asked); packet bytes are never read.
    SequentialReader in(data, access == RecordAccess::windowed ? SequentialReader::kDefaultWindowSize : 0);
    // A run the file no longer holds (it shrank after it was mapped) reads as nothing; the walk
    // then stops at the block where that happened.
    bool shrank = false;
    auto run = [&](std::size_t from, std::size_t length) {
        auto bytes = in.bytes(from, length);
        if (!bytes) shrank = true;
        return bytes.value_or(Data());
    };
    // A run read at once and let go before the next read (a view into the window, which the next
    // read may move): block headers and packet block fields, two per packet, without the
    // reference count a kept run takes on the window.
    auto glance = [&](std::size_t from, std::size_t length) {
        auto bytes = in.view(from, length);
        if (!bytes) shrank = true;
        return ByteReader(bytes.value_or(std::span<const std::byte>()));
    };
    while (!stopped && data.size() - offset >= kBlockFraming) {
        ByteReader head = glance(offset, kBlockFraming);
        if (shrank) {
            result.issue = "the file shrank while it was read; reading stopped at offset " + std::to_string(offset);
            break;
        }
        if (head.load<std::uint32_t>(0, false) == kSectionHeaderBlock) {
            swap = swapForSection(head.load<std::uint32_t>(8, false) == kByteOrderMagic);
            interfaces.clear();
        }
        auto type = *head.load<std::uint32_t>(0, swap);
        auto total = *head.load<std::uint32_t>(4, swap);
        if (total < kBlockFraming || total % 4 != 0 || total > data.size() - offset) {
            result.issue = "block at offset " + std::to_string(offset) + " declares length " + std::to_string(total) +
                           (total > data.size() - offset ? ", past the end of the file" : ", which is not a valid block length") +
                           "; reading stopped there";
            break;
        }
        const std::size_t bodyOffset = offset + 8;
        const std::size_t bodyLength = total - kBlockFraming;
        // The whole body, for the blocks that are read through (never a packet block).
        auto wholeBody = [&] { return run(bodyOffset, bodyLength); };

        switch (type) {
            case kSectionHeaderBlock: {
                Data body = wholeBody();
                if (body.size() < 16) break;
                Data opts = body.slice(16);
                auto setOnce = [&](std::optional<std::string>& field, std::uint16_t code) {
                    if (!field) field = PcapngOptions::string(opts, code, swap);
                };
                setOnce(result.sectionComment, 1);
                setOnce(result.metadata.hardware, 2);
                setOnce(result.metadata.operatingSystem, 3);
                setOnce(result.metadata.application, 4);
                break;
            }
            case kInterfaceDescriptionBlock: {
                Data body = wholeBody();
                ByteReader b(body);
                auto linkType = b.load<std::uint16_t>(0, swap);
                if (!linkType) break;
                Interface i;
                i.linkType = *linkType;
                PcapngInterfaceInfo info;
                info.linkType = *linkType;
                if (body.size() > 8) {
                    Data opts = body.slice(8);
                    for (auto& o : PcapngOptions::all(opts, swap)) {
                        if (o.code == 9 && !o.value.empty()) {
                            std::uint8_t r = o.value[0];
                            i.base2 = (r & 0x80) != 0;
                            i.base2Shift = r & 0x7F;
                            i.tsresolExponent = r & 0x7F;
                            break;
                        }
                    }
                    info.name = PcapngOptions::string(opts, 2, swap);
                    info.descriptionText = PcapngOptions::string(opts, 3, swap);
                    info.operatingSystem = PcapngOptions::string(opts, 12, swap);
                    info.speed = PcapngOptions::u64(opts, 8, swap);
                }
                i.name = info.name;
                i.internedName = InternedString::from(info.name);
                i.linkName = InternedString::from(strings.linkTypeStringForKey(std::to_string(i.linkType)));
                interfaces.push_back(std::move(i));
                result.metadata.interfaces.push_back(std::move(info));
                break;
            }
            case kEnhancedPacketBlock: {
                ByteReader b = glance(bodyOffset, std::min<std::size_t>(bodyLength, 20));
                auto ifId = b.load<std::uint32_t>(0, swap);
                auto high = b.load<std::uint32_t>(4, swap);
                auto low = b.load<std::uint32_t>(8, swap);
                auto caplen = b.load<std::uint32_t>(12, swap);
                auto origlen = b.load<std::uint32_t>(16, swap);
                if (!ifId || !high || !low || !caplen || !origlen) break;
                if (*ifId >= interfaces.size() || bodyLength < std::uint64_t{*caplen} + 20) {
                    ++skippedPackets;
                    break;
                }
                const std::uint64_t location = offset + 28;
                if (location + *caplen > UINT32_MAX) {
                    result.issue = "packet data beyond 4 GiB cannot be addressed; reading stopped at packet block " +
                                   std::to_string(count + 1);
                    stopped = true;
                    break;
                }
                const Interface& iface = interfaces[*ifId];
                double time = timestampSeconds((std::uint64_t{*high} << 32) | *low, iface.base2, iface.base2Shift, iface.tsresolExponent);
                if (!reference) reference = time;
                CaptureRecord record;
                record.packetId = static_cast<std::int64_t>(++count);
                record.dataLocation = static_cast<std::uint32_t>(location);
                record.captureLength = *caplen;
                record.realLength = *origlen;
                record.linkType = iface.linkType;
                record.dateReceived = time;
                record.dateReference = *reference;
                record.linkName = iface.linkName;
                record.interfaceIndex = *ifId;
                record.interfaceName = iface.internedName;
                std::uint64_t paddedCaplen = (std::uint64_t{*caplen} + 3) & ~std::uint64_t{3};
                if (bodyLength > paddedCaplen + 20) {
                    auto optionsOffset = static_cast<std::size_t>(paddedCaplen + 20);
                    Data opts = run(bodyOffset + optionsOffset, bodyLength - optionsOffset);
                    record.comment = PcapngOptions::string(opts, 1, swap);
                    record.flags = PcapngOptions::u32(opts, 2, swap);
                }
                stopped = !sink(record);
                break;
            }
            case kDecryptionSecretsBlock: {
                Data body = wholeBody();
                ByteReader b(body);
                auto secretsType = b.load<std::uint32_t>(0, swap);
                auto length = b.load<std::uint32_t>(4, swap);
                if (!secretsType || !length || *secretsType != kSecretsTypeTLSKeyLog) break;
                if (body.size() < std::uint64_t{*length} + 8) break;
                auto text = body.slice(8, *length).stringView();
                if (isValidUTF8(text)) result.secrets.emplace_back(text);
                break;
            }
            default:
                break;  // simple packet, name resolution, statistics, custom: skipped by length
        }

        offset += total;
        if (type == kEnhancedPacketBlock && ++packetBlocks % kProgressEveryPackets == 0 && progress) {
            progress(static_cast<double>(offset) / 1024.0);
        }
    }

    result.packetCount = count;
    if (shrank && !result.issue) {
        result.issue = "the file shrank while it was read; blocks read after that were dropped";
    }
    // A read its sink stopped has nothing to say about the rest of the file.
    if (!stopped && !result.issue && offset < data.size()) {
        result.issue = std::to_string(data.size() - offset) + " trailing bytes after the last block at offset " +
                       std::to_string(offset) + " are not a complete block";
    }
    if (!stopped && !result.issue && skippedPackets > 0) {
        result.issue = std::to_string(skippedPackets) +
                       " packet block(s) name an unknown interface or are shorter than their captured length";
    }
    result.metadata.sectionComment = result.sectionComment;
    std::int64_t lines = 0;
    for (auto& text : result.secrets) {
        for (auto line : splitLines(text)) {
            auto t = trimmed(line);
            if (!t.empty() && t.front() != '#') ++lines;
        }
    }
    result.metadata.tlsSecretCount = lines;
    return result;
}

PcapngReadResult PcapngReader::read(const Data& data, const Progress& progress) {
    return PacketCollection::keepAll(CaptureContainerFormat::pcapng, data.size(), [&](const PacketSink& sink, PacketArena* arena) {
        return read(data, sink, progress, arena);
    });
}

}  // namespace qor
