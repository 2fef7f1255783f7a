#pragma once
// The classic pcap global header as a record.

#include <cstdint>
#include <optional>

#include "QORPlatform/Data.hpp"

namespace qor {

/// A classic pcap file's 24-byte global header, fields in host order.
struct PCAPFileHeader {
    std::uint32_t magic = 0xA1B2C3D4;
    std::uint16_t versionMajor = 2;
    std::uint16_t versionMinor = 4;
    std::int32_t thiszone = 0;
    std::uint32_t sigfigs = 0;
    std::uint32_t snaplen = 262144;
    std::uint32_t linktype = 1;
    /// Whether the file's fields are byte-swapped relative to this machine.
    bool swapped = false;
    /// Whether the sub-second field counts nanoseconds.
    bool nanosecond = false;

    /// Reads the header at the start of `file`; nothing when it is shorter than 24 bytes or its
    /// magic is not one of the six classic values.
    static std::optional<PCAPFileHeader> parse(const Data& file);
};

}  // namespace qor
