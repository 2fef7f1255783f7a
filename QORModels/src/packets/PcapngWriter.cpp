#include "QORModels/packets/PcapngWriter.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "CaptureOutputBuffer.hpp"
#include "PcapngBlocks.hpp"
#include "QORCommonTools/TextHelpers.hpp"
#include "QORModels/packets/PacketsToFileDataAsyncStream.hpp"

namespace qor::PcapngWriter {

namespace {

using namespace ::qor::pcapng;

constexpr std::uint32_t kDefaultLinkType = 1;  // Ethernet, for a file without packets

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
                (plan.sectionComment ? textOptionsLength(plan.sectionComment->size()) : 0);
    for (const auto& packet : packets) {
        assert(packet && "packets must not be null");
        plan.interfaces.number(packet->linkType());
        plan.size += kBlockFraming + kPacketBody + padded4(packet->captureLength());
        if (auto comment = packet->packetComment()) {
            if (auto text = optionText(*comment)) plan.size += textOptionsLength(text->size());
        }
    }
    if (packets.empty()) plan.interfaces.number(kDefaultLinkType);
    plan.size += plan.interfaces.linkTypes().size() * (kBlockFraming + kInterfaceBody);
    plan.keyLog = keyLogText(secrets);
    if (!plan.keyLog.empty()) plan.size += kBlockFraming + kSecretsBody + padded4(plan.keyLog.size());
    return plan;
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
    sectionHeaderBlock(out, plan.sectionComment);
    // One interface per link type.
    for (std::uint32_t linkType : plan.interfaces.linkTypes()) interfaceBlock(out, linkType, kInterfaceSnapLength);

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
        enhancedPacketBlock(out, interfaces.number(packet->linkType()), microseconds(packet->dateReceived()), captured,
                            packet->realLength(), [&](CaptureOutputBuffer& o) { if (bytes) o.append(*bytes); },
                            commentText);
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
