// Checking the nesting of a binary property list before it is parsed.

#include "BinaryPropertyListShape.hpp"

#include <cstdint>
#include <vector>

namespace qor {
namespace {

/// A big-endian unsigned number of `width` bytes at `at`; nothing when out of range.
std::optional<std::uint64_t> readNumber(std::span<const std::byte> data, std::uint64_t at, unsigned width) {
    if (width == 0 || width > 8 || at > data.size() || data.size() - at < width) return std::nullopt;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | std::to_integer<std::uint8_t>(data[at + i]);
    return v;
}

}  // namespace

std::optional<std::string> binaryPropertyListShapeFault(std::span<const std::byte> data, unsigned maxDepth) {
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (data.size() < kHeader + kTrailer) return "The data is too short for a binary property list.";
    const std::uint64_t trailer = data.size() - kTrailer;
    const unsigned offsetSize = std::to_integer<unsigned>(data[trailer + 6]);
    const unsigned refSize = std::to_integer<unsigned>(data[trailer + 7]);
    const std::uint64_t objectCount = *readNumber(data, trailer + 8, 8);
    const std::uint64_t top = *readNumber(data, trailer + 16, 8);
    const std::uint64_t tableAt = *readNumber(data, trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8) return "The property list's trailer is malformed.";
    if (objectCount == 0 || top >= objectCount || tableAt < kHeader || tableAt > trailer ||
        (trailer - tableAt) / offsetSize < objectCount) {
        return "The property list's offset table does not fit in the data.";
    }

    auto offsetOf = [&](std::uint64_t object) -> std::optional<std::uint64_t> {
        const auto at = readNumber(data, tableAt + object * offsetSize, offsetSize);
        if (!at || *at < kHeader || *at >= tableAt) return std::nullopt;
        return at;
    };

    // Level by level from the top object; `seenAt[i]` is the last level object i was put on,
    // so that an object reached by several paths is walked once per level.
    std::vector<std::uint64_t> level{top}, next;
    std::vector<unsigned> seenAt(static_cast<std::size_t>(objectCount), ~0u);
    for (unsigned depth = 0; !level.empty(); ++depth) {
        if (depth > maxDepth) return "The property list nests containers deeper than " + std::to_string(maxDepth) + " levels.";
        next.clear();
        for (std::uint64_t object : level) {
            const auto at = offsetOf(object);
            if (!at) return "The property list's object " + std::to_string(object) + " lies outside its data.";
            const unsigned marker = std::to_integer<unsigned>(data[*at]);
            const unsigned type = marker >> 4;
            if (type != 0xA && type != 0xC && type != 0xD) continue;
            std::uint64_t count = marker & 0xF;
            std::uint64_t refsAt = *at + 1;
            if (count == 0xF) {
                if (refsAt >= tableAt) return "A container's count lies outside the data.";
                const unsigned intMarker = std::to_integer<unsigned>(data[refsAt]);
                if ((intMarker >> 4) != 0x1 || (intMarker & 0xF) > 3) return "A container's count is not an integer.";
                const unsigned width = 1u << (intMarker & 0xF);
                const auto n = readNumber(data, refsAt + 1, width);
                if (!n) return "A container's count lies outside the data.";
                count = *n;
                refsAt += 1 + width;
            }
            const std::uint64_t refs = type == 0xD ? 2 * count : count;
            if (count > tableAt || refsAt > tableAt || (tableAt - refsAt) / refSize < refs) {
                return "A container's references lie outside the data.";
            }
            for (std::uint64_t i = 0; i < refs; ++i) {
                const std::uint64_t child = *readNumber(data, refsAt + i * refSize, refSize);
                if (child >= objectCount) return "A container refers to object " + std::to_string(child) + " of " + std::to_string(objectCount) + ".";
                if (seenAt[child] != depth + 1) {
                    seenAt[child] = depth + 1;
                    next.push_back(child);
                }
            }
        }
        level.swap(next);
    }
    return std::nullopt;
}

}  // namespace qor
