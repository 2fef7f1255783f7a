#include "QORModels/packets/PcapngWriter.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "CaptureOutputBuffer.hpp"
#include "PcapngFormat.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"

namespace qor::PcapngWriter {

namespace {

using namespace ::qor::pcapng;

constexpr std::uint16_t kVersionMajor = 1;
constexpr std::uint16_t kVersionMinor = 0;
constexpr std::uint64_t kSectionLengthUnknown = ~std::uint64_t{0};
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionComment = 1;
constexpr std::uint32_t kDefaultLinkType = 1;  // Ethernet, for a file without packets

constexpr std::size_t kSectionHeaderBody = 16;       // magic, versions, section length
constexpr std::size_t kInterfaceBody = 8;            // link type, reserved, snapshot length
constexpr std::size_t kPacketBody = 20;              // interface, timestamp, lengths
constexpr std::size_t kSecretsBody = 8;              // type, length
constexpr std::size_t kOptionHeader = 4;             // code, length
constexpr std::size_t kEndOfOptions = 4;

constexpr std::size_t padded4(std::size_t n) { return (n + 3) / 4 * 4; }

/// Bytes a comment option plus the end-of-options option take.
constexpr std::size_t commentOptionsLength(std::size_t textLength) {
    return kOptionHeader + padded4(textLength) + kEndOfOptions;
}


/// Microseconds since 1970, rounded; clamped to the 64-bit range (0 for earlier times and NaN).
std::uint64_t microseconds(double seconds) {
    constexpr double kLimit = 18446744073709551616.0;  // 2^64
    const double micros = std::round(seconds * 1'000'000.0);
    if (!(micros > 0)) return 0;
    if (micros >= kLimit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(micros);
}

/// Interface numbers by link type, in order of first appearance.
class InterfaceTable {
public:
    std::uint32_t number(std::uint32_t linkType) {
        if (!linkTypes_.empty() && linkType == lastLinkType_) return lastNumber_;
        auto [it, inserted] = numbers_.try_emplace(linkType, static_cast<std::uint32_t>(linkTypes_.size()));
        if (inserted) linkTypes_.push_back(linkType);
        lastLinkType_ = linkType;
        lastNumber_ = it->second;
        return it->second;
    }
    [[nodiscard]] const std::vector<std::uint32_t>& linkTypes() const { return linkTypes_; }

private:
    std::unordered_map<std::uint32_t, std::uint32_t> numbers_;
    std::vector<std::uint32_t> linkTypes_;
    std::uint32_t lastLinkType_ = 0;
    std::uint32_t lastNumber_ = 0;
};

/// Everything decided before the first byte is written.
struct Plan {
    std::optional<std::string_view> sectionComment;  // nothing: no options
    InterfaceTable interfaces;
    std::string keyLog;
    std::size_t size = 0;
};

Plan makePlan(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
              const std::optional<std::string>& sectionComment) {
    Plan plan;
    plan.sectionComment = sectionComment ? optionText(*sectionComment) : std::optional(kDefaultSectionComment);
    plan.size = kBlockFraming + kSectionHeaderBody +
                (plan.sectionComment ? commentOptionsLength(plan.sectionComment->size()) : 0);
    for (const auto& packet : packets) {
        assert(packet && "packets must not be null");
        plan.interfaces.number(packet->linkType());
        plan.size += kBlockFraming + kPacketBody + padded4(packet->captureLength());
        if (auto comment = packet->packetComment()) {
            if (auto text = optionText(*comment)) plan.size += commentOptionsLength(text->size());
        }
    }
    if (packets.empty()) plan.interfaces.number(kDefaultLinkType);
    plan.size += plan.interfaces.linkTypes().size() * (kBlockFraming + kInterfaceBody);
    plan.keyLog = keyLogText(secrets);
    if (!plan.keyLog.empty()) plan.size += kBlockFraming + kSecretsBody + padded4(plan.keyLog.size());
    return plan;
}

void blockHeader(CaptureOutputBuffer& out, std::uint32_t type, std::size_t totalLength) {
    out.u32(type);
    out.u32(static_cast<std::uint32_t>(totalLength));
}

void commentOptions(CaptureOutputBuffer& out, std::string_view text) {
    out.u16(kOptionComment);
    out.u16(static_cast<std::uint16_t>(text.size()));
    out.append(reinterpret_cast<const std::byte*>(text.data()), text.size());
    out.pad4();
    out.u16(kOptionEnd);
    out.u16(0);
}

}  // namespace

std::optional<std::string_view> optionText(std::string_view comment) {
    if (!isValidUTF8(comment)) return std::nullopt;
    if (comment.size() <= kMaxOptionLength) return comment;
    std::size_t cut = kMaxOptionLength;
    while (cut > 0 && (static_cast<unsigned char>(comment[cut]) & 0xC0) == 0x80) --cut;
    return comment.substr(0, cut);
}

std::string keyLogText(const std::vector<std::string>& secrets) {
    std::string text;
    std::unordered_set<std::string_view> seen;
    for (const auto& secret : secrets) {
        for (auto line : splitLines(secret)) {
            auto key = trimmed(line);
            if (key.empty() || key.front() == '#' || !isValidUTF8(key)) continue;
            if (!seen.insert(key).second) continue;
            text.append(key);
            text.push_back('\n');
        }
    }
    return text;
}

std::int64_t distinctSecretCount(const std::vector<std::string>& secrets) {
    const std::string text = keyLogText(secrets);
    return static_cast<std::int64_t>(std::count(text.begin(), text.end(), '\n'));
}

double totalByteCount(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
                      const std::optional<std::string>& sectionComment) {
    return static_cast<double>(makePlan(packets, secrets, sectionComment).size);
}

namespace {

/// The Decryption Secrets Block of the key-log lines; nothing when there are none.
void secretsBlock(CaptureOutputBuffer& out, const std::string& keyLog) {
    if (keyLog.empty()) return;
    const std::size_t length = kBlockFraming + kSecretsBody + padded4(keyLog.size());
    blockHeader(out, kDecryptionSecretsBlock, length);
    out.u32(kSecretsTypeTLSKeyLog);
    out.u32(static_cast<std::uint32_t>(keyLog.size()));
    out.append(reinterpret_cast<const std::byte*>(keyLog.data()), keyLog.size());
    out.pad4();
    out.u32(static_cast<std::uint32_t>(length));
}

void writeBlocks(const Plan& plan, CaptureOutputBuffer& out, std::span<const std::shared_ptr<QORPacket>> packets,
                 std::optional<double> totalBytes, const Progress& progress, SecretsPlacement placement) {
    // Section header.
    const std::size_t sectionLength =
        kBlockFraming + kSectionHeaderBody + (plan.sectionComment ? commentOptionsLength(plan.sectionComment->size()) : 0);
    blockHeader(out, kSectionHeaderBlock, sectionLength);
    out.u32(kByteOrderMagic);
    out.u16(kVersionMajor);
    out.u16(kVersionMinor);
    out.u64(kSectionLengthUnknown);
    if (plan.sectionComment) commentOptions(out, *plan.sectionComment);
    out.u32(static_cast<std::uint32_t>(sectionLength));

    // One interface per link type.
    constexpr std::size_t kInterfaceLength = kBlockFraming + kInterfaceBody;
    for (std::uint32_t linkType : plan.interfaces.linkTypes()) {
        blockHeader(out, kInterfaceDescriptionBlock, kInterfaceLength);
        out.u16(static_cast<std::uint16_t>(linkType));
        out.u16(0);
        out.u32(kInterfaceSnapLength);
        out.u32(static_cast<std::uint32_t>(kInterfaceLength));
    }

    if (placement == SecretsPlacement::beforePackets) secretsBlock(out, plan.keyLog);

    // One enhanced packet block per packet.
    InterfaceTable interfaces = plan.interfaces;
    WriteProgressSchedule schedule(totalBytes);
    std::uint64_t written = 0;
    for (const auto& packet : packets) {
        const std::optional<Data> bytes = bytesToWrite(packet);
        const std::size_t captured = bytes ? bytes->size() : 0;
        std::optional<std::string> comment = packet->packetComment();
        std::optional<std::string_view> commentText = comment ? optionText(*comment) : std::nullopt;
        const std::size_t length = kBlockFraming + kPacketBody + padded4(captured) +
                                   (commentText ? commentOptionsLength(commentText->size()) : 0);
        const std::uint64_t timestamp = microseconds(packet->dateReceived());
        blockHeader(out, kEnhancedPacketBlock, length);
        out.u32(interfaces.number(packet->linkType()));
        out.u32(static_cast<std::uint32_t>(timestamp >> 32));
        out.u32(static_cast<std::uint32_t>(timestamp));
        out.u32(static_cast<std::uint32_t>(captured));
        out.u32(packet->realLength());
        if (bytes) out.append(*bytes);
        out.pad4();
        if (commentText) commentOptions(out, *commentText);
        out.u32(static_cast<std::uint32_t>(length));
        if (out.stopped()) return;
        ++written;
        if (progress && schedule.due(written, static_cast<double>(out.size()))) progress(static_cast<double>(out.size()));
    }

    if (placement == SecretsPlacement::afterPackets) secretsBlock(out, plan.keyLog);

    if (progress) progress(static_cast<double>(out.size()));
}

}  // namespace

Data write(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
           const std::optional<std::string>& sectionComment, std::optional<double> totalBytes, const Progress& progress,
           SecretsPlacement placement) {
    const Plan plan = makePlan(packets, secrets, sectionComment);
    CaptureOutputBuffer out;
    out.reserve(plan.size);
    writeBlocks(plan, out, packets, totalBytes, progress, placement);
    return out.take();
}

std::optional<std::uint64_t> writeTo(const Sink& sink, std::span<const std::shared_ptr<QORPacket>> packets,
                                     const std::vector<std::string>& secrets,
                                     const std::optional<std::string>& sectionComment, std::optional<double> totalBytes,
                                     const Progress& progress, SecretsPlacement placement) {
    const Plan plan = makePlan(packets, secrets, sectionComment);
    CaptureOutputBuffer out;
    out.streamTo(sink);
    writeBlocks(plan, out, packets, totalBytes, progress, placement);
    if (!out.finish()) return std::nullopt;
    return out.size();
}

}  // namespace qor::PcapngWriter
