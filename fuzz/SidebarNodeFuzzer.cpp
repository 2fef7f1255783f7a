// Fuzz target: a sidebar node tree read from arbitrary bytes, written back and read again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "QORModels/support/KeyedCoding.hpp"
#include "QORModels/support/QORURLNode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        const auto node = qor::decodeURLNode(input);
        // What was read writes back and reads again as the same tree (texts that are not UTF-8
        // are written with replacement characters, so the second writing is the fixed point).
        const std::string once = qor::encodeURLNode(*node);
        const auto again = qor::decodeURLNode(once);
        if (qor::encodeURLNode(*again) != once || again->isLeaf() != node->isLeaf()) __builtin_trap();
        (void)node->valueForKeyPath("children");
        (void)node->nodeIcon();
    } catch (const qor::DecodingError&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
