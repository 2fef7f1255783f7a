#pragma once
// Writing packets as pcapng, with comments and TLS key-log lines.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// Turns a packet list into the bytes of a little-endian pcapng file.
///
/// Layout written, in order (every block framed as type, total length, body padded with zeros to
/// a multiple of 4, total length again; every option as code, length, value padded to 4):
///
///     Section Header Block   0x0A0D0D0A  magic 0x1A2B3C4D, version 1.0, section length -1,
///                                        option 1 = section comment (default
///                                        "Exported by Tessarine"), option 0
///     Interface Description  0x00000001  one per distinct link type, in order of first use:
///                                        link type (16), reserved (16), snapshot length 262144,
///                                        no options (timestamps in microseconds)
///     Enhanced Packet Block  0x00000006  per packet: interface number, timestamp high and low
///                                        words (microseconds), captured length, original
///                                        length, bytes padded to 4, [option 1 = comment, 0]
///     Decryption Secrets     0x0000000A  when key lines exist: type 0x544C534B ("TLSK"),
///                                        length, NSS key-log text padded to 4
///
/// The Decryption Secrets Block follows the packets unless the caller asks for it before them
/// (`SecretsPlacement::beforePackets`, between the interface blocks and the first packet), which
/// is where readers that decrypt while they read, such as tshark, need it.
///
/// Decisions beyond the format itself:
/// - A comment that is not valid UTF-8 is left out (the section header then has no options at
///   all). A comment longer than 65535 bytes, the most an option holds, is cut at the last
///   character boundary at or before 65535 bytes, so that it still reads as text.
/// - A packet whose bytes are not available (no data cache, no entry) is written with captured
///   length 0 and no bytes; its original length is kept.
/// - Times are microseconds, rounded; times before 1970 are written as 0 and times past the
///   64-bit microsecond range as the largest count (the format cannot hold them).
/// - The interface table is keyed by the full 32-bit link type; the block holds its low 16 bits
///   (the classic header's upper bits carry FCS details, not the type).
///
/// Stateless: every operation is a pure function of its arguments and may run on any thread;
/// the only shared objects read are the packets' data caches, which lock internally.
namespace PcapngWriter {

/// Where the Decryption Secrets Block goes: after the last packet (the default layout) or before
/// the first one, so that a reader that decrypts as it reads has the keys when the TLS records
/// arrive.
enum class SecretsPlacement { afterPackets, beforePackets };

/// Bytes written so far, reported by the progress schedule (every 64 packets, or every half
/// percent of `totalBytes` when given, and once at the end with the final size).
using Progress = std::function<void(double bytesWritten)>;

/// The pcapng bytes of `packets`, with `secrets` (NSS key-log texts, as a pcapng reader
/// collects them) merged into one Decryption Secrets Block. Never throws on content.
Data write(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
           const std::optional<std::string>& sectionComment, std::optional<double> totalBytes = std::nullopt,
           const Progress& progress = {}, SecretsPlacement placement = SecretsPlacement::afterPackets);

/// Receives the output chunk by chunk; false stops the write.
using Sink = std::function<bool(std::span<const std::byte>)>;
/// Streams the same bytes as `write` to `sink` in chunks of a few megabytes (so a file of any
/// size is written without holding it in memory) and returns how many were written; nothing
/// when the sink refused a chunk, after which nothing more is written.
std::optional<std::uint64_t> writeTo(const Sink& sink, std::span<const std::shared_ptr<QORPacket>> packets,
                                     const std::vector<std::string>& secrets,
                                     const std::optional<std::string>& sectionComment,
                                     std::optional<double> totalBytes = std::nullopt, const Progress& progress = {},
                                     SecretsPlacement placement = SecretsPlacement::afterPackets);
/// The exact size of `write`'s output for the same arguments when every packet's bytes are
/// available (otherwise an upper bound); pass it as `totalBytes`.
double totalByteCount(std::span<const std::shared_ptr<QORPacket>> packets, const std::vector<std::string>& secrets,
                      const std::optional<std::string>& sectionComment);

/// What a file needs to know of its packets before the first one is written: one interface per
/// link type, numbered in order of first appearance, and the size of the packet blocks. Gathered
/// packet by packet: from the packets themselves, or, for a file written in parts
/// (`PartWriter`), from a capture's records in a pass of their own.
class Layout {
public:
    /// Counts in one packet of `linkType` with `captureLength` bytes and `comment`.
    void add(std::uint32_t linkType, std::uint32_t captureLength, const std::optional<std::string>& comment);
    /// The interface number of `linkType`; nothing for a link type no packet added had.
    [[nodiscard]] std::optional<std::uint32_t> interfaceNumber(std::uint32_t linkType) const;
    /// The link types, in order of first appearance (interface 0 first).
    [[nodiscard]] const std::vector<std::uint32_t>& linkTypes() const noexcept { return linkTypes_; }
    /// The bytes of the packets' Enhanced Packet Blocks when every packet's bytes are available.
    [[nodiscard]] std::uint64_t packetBlockBytes() const noexcept { return packetBlockBytes_; }
    /// The exact size of the file of these packets with `secrets` and `sectionComment` when
    /// every packet's bytes are available (otherwise an upper bound), as `totalByteCount` gives
    /// it for the packets themselves.
    [[nodiscard]] double totalByteCount(const std::vector<std::string>& secrets,
                                        const std::optional<std::string>& sectionComment) const;

private:
    std::unordered_map<std::uint32_t, std::uint32_t> numbers_;
    std::vector<std::uint32_t> linkTypes_;
    std::optional<std::uint32_t> lastLinkType_;  // runs of one link type skip the table
    std::uint64_t packetBlockBytes_ = 0;
};

/// Writes a pcapng file in parts to a sink, for a caller that streams packets from one file to
/// another without keeping them: the blocks before the packets when made, each `append` the
/// packets it is given, `finish` the rest. The bytes are `writeTo`'s for the packets of all the
/// appends, in order, when `layout` was gathered from them (the same link types in the same
/// order of first appearance); a packet of a link type the layout does not have stops the write
/// (its interface block would be missing).
///
/// Not thread-safe: one caller, packets in file order.
class PartWriter {
public:
    PartWriter(Sink sink, Layout layout, const std::vector<std::string>& secrets,
               const std::optional<std::string>& sectionComment, std::optional<double> totalBytes = std::nullopt,
               const Progress& progress = {}, SecretsPlacement placement = SecretsPlacement::afterPackets);
    ~PartWriter();
    PartWriter(const PartWriter&) = delete;
    PartWriter& operator=(const PartWriter&) = delete;

    /// Writes `packets` after those of the earlier calls; false once the sink refused a chunk
    /// or a packet did not fit the layout, after which nothing more is written.
    bool append(std::span<const std::shared_ptr<QORPacket>> packets);
    /// Whether the write stopped at a packet of a link type the layout does not have (rather
    /// than at a chunk the sink refused).
    [[nodiscard]] bool metUnplannedLinkType() const noexcept;
    /// Writes what follows the packets and hands the last chunk over: the bytes written in all,
    /// or nothing when the write stopped.
    std::optional<std::uint64_t> finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// The number of key lines the Decryption Secrets Block will hold: the distinct non-empty,
/// non-"#" lines of all texts, trimmed.
std::int64_t distinctSecretCount(const std::vector<std::string>& secrets);

/// The key-log text the Decryption Secrets Block carries: the distinct key lines of `secrets`
/// (split at any newline, trimmed, without empty and "#" lines, first occurrence kept, in
/// order), each followed by "\n"; empty when there is none. Lines that are not valid UTF-8
/// cannot be key-log lines and are dropped too, so that readers can always decode the block.
std::string keyLogText(const std::vector<std::string>& secrets);

/// The comment as it is written into an option: nothing when it is not valid UTF-8, else its
/// first 65535 bytes at most, cut at a character boundary.
std::optional<std::string_view> optionText(std::string_view comment);

/// The default section comment.
inline constexpr std::string_view kDefaultSectionComment = "Exported by Tessarine";
/// The snapshot length every interface block declares.
inline constexpr std::uint32_t kInterfaceSnapLength = 262144;
/// The most bytes an option value holds.
inline constexpr std::size_t kMaxOptionLength = 65535;

}  // namespace PcapngWriter

}  // namespace qor
