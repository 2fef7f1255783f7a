#pragma once
// The encoding of the pcapng blocks the library writes, shared by the whole-file writer and the
// incremental file writer of live captures.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "CaptureOutputBuffer.hpp"
#include "PcapngFormat.hpp"

namespace qor::pcapng {

constexpr std::uint16_t kVersionMajor = 1;
constexpr std::uint16_t kVersionMinor = 0;
constexpr std::uint64_t kSectionLengthUnknown = ~std::uint64_t{0};
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionComment = 1;
constexpr std::uint16_t kOptionInterfaceName = 2;  // if_name

constexpr std::size_t kSectionHeaderBody = 16;  // magic, versions, section length
constexpr std::size_t kInterfaceBody = 8;       // link type, reserved, snapshot length
constexpr std::size_t kPacketBody = 20;         // interface, timestamp, lengths
constexpr std::size_t kSecretsBody = 8;         // type, length
constexpr std::size_t kOptionHeader = 4;        // code, length
constexpr std::size_t kEndOfOptions = 4;

constexpr std::size_t padded4(std::size_t n) { return (n + 3) / 4 * 4; }

/// Bytes one text option plus the end-of-options option take.
constexpr std::size_t textOptionsLength(std::size_t textLength) {
    return kOptionHeader + padded4(textLength) + kEndOfOptions;
}

/// Microseconds since 1970, rounded; clamped to the 64-bit range (0 for earlier times and NaN).
inline std::uint64_t microseconds(double seconds) {
    constexpr double kLimit = 18446744073709551616.0;  // 2^64
    const double micros = std::round(seconds * 1'000'000.0);
    if (!(micros > 0)) return 0;
    if (micros >= kLimit) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(micros);
}

inline void blockHeader(CaptureOutputBuffer& out, std::uint32_t type, std::size_t totalLength) {
    out.u32(type);
    out.u32(static_cast<std::uint32_t>(totalLength));
}

/// One text option (at most 65535 bytes, which callers ensure) and the end of options.
inline void textOptions(CaptureOutputBuffer& out, std::uint16_t code, std::string_view text) {
    out.u16(code);
    out.u16(static_cast<std::uint16_t>(text.size()));
    out.append(reinterpret_cast<const std::byte*>(text.data()), text.size());
    out.pad4();
    out.u16(kOptionEnd);
    out.u16(0);
}

/// Section Header Block, little-endian, version 1.0, unknown section length, with the comment
/// as its only option when there is one.
inline void sectionHeaderBlock(CaptureOutputBuffer& out, std::optional<std::string_view> comment) {
    const std::size_t length = kBlockFraming + kSectionHeaderBody + (comment ? textOptionsLength(comment->size()) : 0);
    blockHeader(out, kSectionHeaderBlock, length);
    out.u32(kByteOrderMagic);
    out.u16(kVersionMajor);
    out.u16(kVersionMinor);
    out.u64(kSectionLengthUnknown);
    if (comment) textOptions(out, kOptionComment, *comment);
    out.u32(static_cast<std::uint32_t>(length));
}

/// Interface Description Block (timestamps in microseconds, the default), with the interface's
/// name as its only option when there is one.
inline void interfaceBlock(CaptureOutputBuffer& out, std::uint32_t linkType, std::uint32_t snapLength,
                           std::optional<std::string_view> name = std::nullopt) {
    const std::size_t length = kBlockFraming + kInterfaceBody + (name ? textOptionsLength(name->size()) : 0);
    blockHeader(out, kInterfaceDescriptionBlock, length);
    out.u16(static_cast<std::uint16_t>(linkType));
    out.u16(0);
    out.u32(snapLength);
    if (name) textOptions(out, kOptionInterfaceName, *name);
    out.u32(static_cast<std::uint32_t>(length));
}

/// Enhanced Packet Block of `captured` bytes, handed in by `appendBytes(out)`, with the comment
/// as its only option when there is one.
template <class AppendBytes>
void enhancedPacketBlock(CaptureOutputBuffer& out, std::uint32_t interface, std::uint64_t timestampMicros,
                         std::size_t captured, std::uint32_t originalLength, AppendBytes&& appendBytes,
                         std::optional<std::string_view> comment = std::nullopt) {
    const std::size_t length =
        kBlockFraming + kPacketBody + padded4(captured) + (comment ? textOptionsLength(comment->size()) : 0);
    blockHeader(out, kEnhancedPacketBlock, length);
    out.u32(interface);
    out.u32(static_cast<std::uint32_t>(timestampMicros >> 32));
    out.u32(static_cast<std::uint32_t>(timestampMicros));
    out.u32(static_cast<std::uint32_t>(captured));
    out.u32(originalLength);
    appendBytes(out);
    out.pad4();
    if (comment) textOptions(out, kOptionComment, *comment);
    out.u32(static_cast<std::uint32_t>(length));
}

}  // namespace qor::pcapng
