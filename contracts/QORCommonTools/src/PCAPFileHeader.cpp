#include "QORCommonTools/PCAPFileHeader.hpp"

#include <array>

#include "QORCommonTools/ByteReader.hpp"

namespace qor {
namespace {
constexpr std::size_t kGlobalHeaderSize = 24;
constexpr std::array<PCAPFileHeader::Magic, 6> kClassicMagics{{
    {0xA1B2C3D4, false, false},  // microseconds
    {0xA1B23C4D, false, true},   // nanoseconds
    {0xA1B2CD34, false, false},  // modified pcap, microseconds
    {0xD4C3B2A1, true, false},
    {0x4D3CB2A1, true, true},
    {0x34CDB2A1, true, false},
}};
}  // namespace

std::optional<PCAPFileHeader::Magic> PCAPFileHeader::classicMagic(std::uint32_t littleEndianValue) {
    for (const auto& m : kClassicMagics) {
        if (m.value == littleEndianValue) return m;
    }
    return std::nullopt;
}

std::optional<PCAPFileHeader> PCAPFileHeader::parse(const Data& file) {
    ByteReader r(file);
    auto value = r.readU32le();
    if (!value || file.size() < kGlobalHeaderSize) return std::nullopt;
    auto known = classicMagic(*value);
    if (!known) return std::nullopt;
    PCAPFileHeader h;
    h.magic = *value;
    h.swapped = known->bigEndian;
    h.nanosecond = known->nanosecond;
    const bool swap = h.fieldsNeedSwap();
    h.versionMajor = *r.readSwapped<std::uint16_t>(swap);
    h.versionMinor = *r.readSwapped<std::uint16_t>(swap);
    h.thiszone = static_cast<std::int32_t>(*r.readSwapped<std::uint32_t>(swap));
    h.sigfigs = *r.readSwapped<std::uint32_t>(swap);
    h.snaplen = *r.readSwapped<std::uint32_t>(swap);
    const std::uint32_t field = *r.readSwapped<std::uint32_t>(swap);
    h.linktype = field & kLinkTypeMask;
    h.linkTypeFlags = field & ~kLinkTypeMask;
    return h;
}

}  // namespace qor
