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

/// Everything decided before the first byte is written.
struct Plan {
    std::optional<std::string> sectionComment;  // as written; nothing: no options
    Layout layout;
    std::vector<std::uint32_t> interfaces;  // the layout's link types; Ethernet for no packets
    std::string keyLog;
    std::size_t size = 0;
};

Layout layoutOf(std::span<const std::shared_ptr<QORPacket>> packets) {
    Layout layout;
    for (const auto& packet : packets) {
        assert(packet && "packets must not be null");
        layout.add(packet->linkType(), packet->captureLength(), packet->packetComment());
    }
    return layout;
}

Plan makePlan(Layout layout, const std::vector<std::string>& secrets, const std::optional<std::string>& sectionComment) {
    Plan plan;
    const auto comment = sectionComment ? optionText(*sectionComment) : std::optional(kDefaultSectionComment);
    if (comment) plan.sectionComment.emplace(*comment);
    plan.interfaces = layout.linkTypes().empty() ? std::vector<std::uint32_t>{kDefaultLinkType} : layout.linkTypes();
    plan.size = kBlockFraming + kSectionHeaderBody +
                (plan.sectionComment ? textOptionsLength(plan.sectionComment->size()) : 0) + layout.packetBlockBytes() +
                plan.interfaces.size() * (kBlockFraming + kInterfaceBody);
    plan.keyLog = keyLogText(secrets);
    if (!plan.keyLog.empty()) plan.size += kBlockFraming + kSecretsBody + padded4(plan.keyLog.size());
    plan.layout = std::move(layout);
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

void Layout::add(std::uint32_t linkType, std::uint32_t captureLength, const std::optional<std::string>& comment) {
    if (lastLinkType_ != linkType) {
        if (numbers_.try_emplace(linkType, static_cast<std::uint32_t>(linkTypes_.size())).second) linkTypes_.push_back(linkType);
        lastLinkType_ = linkType;
    }
    packetBlockBytes_ += kBlockFraming + kPacketBody + padded4(captureLength);
    if (comment) {
        if (auto text = optionText(*comment)) packetBlockBytes_ += textOptionsLength(text->size());
    }
}

std::optional<std::uint32_t> Layout::interfaceNumber(std::uint32_t linkType) const {
    auto it = numbers_.find(linkType);
    if (it == numbers_.end()) return std::nullopt;
    return it->second;
}

double totalByteCount(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
                      const std::optional<std::string>& sectionComment) {
    return layoutOf(packets).totalByteCount(secrets, sectionComment);
}

double Layout::totalByteCount(const std::vector<std::string>& secrets, const std::optional<std::string>& sectionComment) const {
    return static_cast<double>(makePlan(*this, secrets, sectionComment).size);
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

/// The blocks before the packets.
void writeHead(const Plan& plan, CaptureOutputBuffer& out, SecretsPlacement placement) {
    sectionHeaderBlock(out, plan.sectionComment ? std::optional<std::string_view>(*plan.sectionComment) : std::nullopt);
    // One interface per link type.
    for (std::uint32_t linkType : plan.interfaces) interfaceBlock(out, linkType, kInterfaceSnapLength);
    if (placement == SecretsPlacement::beforePackets) secretsBlock(out, plan.keyLog);
}

/// Where the packet blocks are: packets written so far, progress reports due, and the last
/// interface looked up (runs of one link type skip the table).
struct PacketCursor {
    explicit PacketCursor(std::optional<double> totalBytes) : schedule(totalBytes) {}
    WriteProgressSchedule schedule;
    std::uint64_t written = 0;
    std::optional<std::uint32_t> lastLinkType;
    std::uint32_t lastNumber = 0;
};

/// One Enhanced Packet Block per packet; false when the write stopped (a refused chunk, or a
/// packet of a link type the layout has no interface for).
bool writePackets(const Plan& plan, CaptureOutputBuffer& out, std::span<const std::shared_ptr<QORPacket>> packets,
                  PacketCursor& cursor, const Progress& progress) {
    for (const auto& packet : packets) {
        const std::uint32_t linkType = packet->linkType();
        if (cursor.lastLinkType != linkType) {
            const auto number = plan.layout.interfaceNumber(linkType);
            if (!number) return false;
            cursor.lastLinkType = linkType;
            cursor.lastNumber = *number;
        }
        const std::optional<Data> bytes = bytesToWrite(packet);
        const std::size_t captured = bytes ? bytes->size() : 0;
        std::optional<std::string> comment = packet->packetComment();
        std::optional<std::string_view> commentText = comment ? optionText(*comment) : std::nullopt;
        enhancedPacketBlock(out, cursor.lastNumber, microseconds(packet->dateReceived()), captured, packet->realLength(),
                            [&](CaptureOutputBuffer& o) { if (bytes) o.append(*bytes); }, commentText);
        if (out.stopped()) return false;
        ++cursor.written;
        if (progress && cursor.schedule.due(cursor.written, static_cast<double>(out.size())))
            progress(static_cast<double>(out.size()));
    }
    return true;
}

/// The blocks after the packets, and the final progress report.
void writeTail(const Plan& plan, CaptureOutputBuffer& out, SecretsPlacement placement, const Progress& progress) {
    if (placement == SecretsPlacement::afterPackets) secretsBlock(out, plan.keyLog);
    if (progress) progress(static_cast<double>(out.size()));
}

}  // namespace

Data write(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
           const std::optional<std::string>& sectionComment, std::optional<double> totalBytes, const Progress& progress,
           SecretsPlacement placement) {
    const Plan plan = makePlan(layoutOf(packets), secrets, sectionComment);
    CaptureOutputBuffer out;
    out.reserve(plan.size);
    writeHead(plan, out, placement);
    PacketCursor cursor(totalBytes);
    if (writePackets(plan, out, packets, cursor, progress)) writeTail(plan, out, placement, progress);
    return out.take();
}

std::optional<std::uint64_t> writeTo(const Sink& sink, std::span<const std::shared_ptr<QORPacket>> packets,
                                     const std::vector<std::string>& secrets,
                                     const std::optional<std::string>& sectionComment, std::optional<double> totalBytes,
                                     const Progress& progress, SecretsPlacement placement) {
    PartWriter writer(sink, layoutOf(packets), secrets, sectionComment, totalBytes, progress, placement);
    writer.append(packets);
    return writer.finish();
}

struct PartWriter::State {
    State(Plan p, std::optional<double> totalBytes, Progress pr, SecretsPlacement pl)
        : plan(std::move(p)), progress(std::move(pr)), placement(pl), cursor(totalBytes) {}
    Plan plan;
    Progress progress;
    SecretsPlacement placement;
    CaptureOutputBuffer out;
    PacketCursor cursor;
    bool unplanned = false;  // a packet's link type had no interface in the layout

    [[nodiscard]] bool stopped() const noexcept { return unplanned || out.stopped(); }
};

PartWriter::PartWriter(Sink sink, Layout layout, const std::vector<std::string>& secrets,
                       const std::optional<std::string>& sectionComment, std::optional<double> totalBytes,
                       const Progress& progress, SecretsPlacement placement)
    : state_(std::make_unique<State>(makePlan(std::move(layout), secrets, sectionComment), totalBytes, progress, placement)) {
    state_->out.streamTo(std::move(sink));
    writeHead(state_->plan, state_->out, placement);
}

PartWriter::~PartWriter() = default;

bool PartWriter::append(std::span<const std::shared_ptr<QORPacket>> packets) {
    State& s = *state_;
    if (s.stopped()) return false;
    // Short of a refused chunk, the packets stop only at one the layout has no interface for.
    if (!writePackets(s.plan, s.out, packets, s.cursor, s.progress)) s.unplanned = !s.out.stopped();
    return !s.stopped();
}

bool PartWriter::metUnplannedLinkType() const noexcept { return state_->unplanned; }

std::optional<std::uint64_t> PartWriter::finish() {
    State& s = *state_;
    if (!s.stopped()) writeTail(s.plan, s.out, s.placement, s.progress);
    if (!s.out.finish() || s.unplanned) return std::nullopt;
    return s.out.size();
}

}  // namespace qor::PcapngWriter
