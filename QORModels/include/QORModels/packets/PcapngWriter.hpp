#pragma once
// Writing packets as pcapng, with comments and TLS key-log lines.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
