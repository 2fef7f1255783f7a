#include "QORCommonTools/PCAPFileHeader.hpp"

#include "QORCommonTools/ByteReader.hpp"

namespace qor {

std::optional<PCAPFileHeader> PCAPFileHeader::parse(const Data& file) {
    ByteReader r(file);
    auto magic = r.readU32le();
    if (!magic || file.size() < 24) return std::nullopt;
    PCAPFileHeader h;
    switch (*magic) {
        case 0xA1B2C3D4: case 0xA1B2CD34: h.swapped = false; break;
        case 0xA1B23C4D: h.swapped = false; h.nanosecond = true; break;
        case 0xD4C3B2A1: case 0x34CDB2A1: h.swapped = true; break;
        case 0x4D3CB2A1: h.swapped = true; h.nanosecond = true; break;
        default: return std::nullopt;
    }
    // Fields are little-endian on disk when not swapped (the magic was read as little-endian).
    bool swap = h.swapped == (std::endian::native == std::endian::little);
    h.magic = *magic;
    h.versionMajor = *r.readSwapped<std::uint16_t>(swap);
    h.versionMinor = *r.readSwapped<std::uint16_t>(swap);
    h.thiszone = static_cast<std::int32_t>(*r.readSwapped<std::uint32_t>(swap));
    h.sigfigs = *r.readSwapped<std::uint32_t>(swap);
    h.snaplen = *r.readSwapped<std::uint32_t>(swap);
    h.linktype = *r.readSwapped<std::uint32_t>(swap);
    return h;
}

}  // namespace qor
