#pragma once
// The classic pcap global header as a record, and the table of classic magic numbers.

#include <bit>
#include <cstdint>
#include <optional>

#include "QORPlatform/Data.hpp"

namespace qor {

/// A classic pcap file's 24-byte global header, fields in host order.
///
///   0 magic (32)   4 version major (16)   6 version minor (16)   8 time-zone offset (32)
///  12 timestamp accuracy (32)   16 snapshot length (32)   20 link type (32)
/// Every field is in the byte order the magic gives.
struct PCAPFileHeader {
    /// What a classic magic number, read as a little-endian 32-bit value at offset 0, says.
    struct Magic {
        std::uint32_t value;
        bool bigEndian;   ///< the file's fields are big-endian
        bool nanosecond;  ///< the sub-second field counts nanoseconds (else microseconds)
    };
    /// The six magic numbers of classic pcap: microsecond, nanosecond and modified (microsecond)
    /// files, each little- and big-endian; nothing for any other value.
    static std::optional<Magic> classicMagic(std::uint32_t littleEndianValue);

    std::uint32_t magic = 0xA1B2C3D4;
    std::uint16_t versionMajor = 2;
    std::uint16_t versionMinor = 4;
    std::int32_t thiszone = 0;
    std::uint32_t sigfigs = 0;
    std::uint32_t snaplen = 262144;
    /// The link type: the low bits of the header's link-type field, as libpcap reads it
    /// (`LT_LINKTYPE`). The high bits say whether the frames end with a frame check sequence and
    /// how long it is (`linkTypeFlags`), not which link type they are.
    static constexpr std::uint32_t kLinkTypeMask = 0x03FFFFFF;
    std::uint32_t linktype = 1;
    /// The link-type field's bits above `kLinkTypeMask` (frame check sequence presence and length).
    std::uint32_t linkTypeFlags = 0;
    /// Whether the file is big-endian (its magic reads byte-swapped as a little-endian value).
    bool swapped = false;
    /// Whether the sub-second field counts nanoseconds.
    bool nanosecond = false;

    /// Whether the file's multi-byte fields must be byte-swapped on this machine.
    [[nodiscard]] bool fieldsNeedSwap() const noexcept { return swapped == (std::endian::native == std::endian::little); }

    /// Reads the header at the start of `file`; nothing when it is shorter than 24 bytes or its
    /// magic is not one of the six classic values.
    static std::optional<PCAPFileHeader> parse(const Data& file);
};

}  // namespace qor
