// Fuzz target: a saved display-filter tree read from arbitrary bytes, written back and read again.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "QORModels/filters/FilterCoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        const qor::FilterNode tree = qor::decodeFilterNode(input);
        // What was read writes back and reads again as the same tree (texts that are not UTF-8
        // are written with replacement characters, so the second writing is the fixed point).
        const std::string once = qor::encodeFilterNode(tree);
        const qor::FilterNode again = qor::decodeFilterNode(once);
        if (qor::encodeFilterNode(again) != once || again.groupChildCount() != tree.groupChildCount()) __builtin_trap();
    } catch (const qor::DecodingError&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
