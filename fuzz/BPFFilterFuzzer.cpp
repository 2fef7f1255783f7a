// Fuzz target: a saved capture-filter tree read from arbitrary bytes, rendered, and checked with libpcap.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "QORModels/capturefilter/BPFFilterCoding.hpp"
#include "QORModels/capturefilter/BPFFilterValidator.hpp"

namespace {

/// Rendered texts longer than this are not compiled: libpcap's unoptimised code for a chain of
/// alternatives grows faster than the chain (about 100 ports compile in 0.15 s, 400 in 5 s), and a
/// long text finds nothing a short one does not.
constexpr std::size_t kMaxValidatedLength = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        const qor::BPFFilterNode tree = qor::decodeBPFFilterNode(input);
        const std::string text = tree.rendered();
        // What was read writes back and reads again as the same tree.
        if (qor::decodeBPFFilterNode(qor::encodeBPFFilterNode(tree)).rendered() != text) __builtin_trap();
        if (text.size() <= kMaxValidatedLength) {
            const auto verdict = qor::BPFFilterValidator::validate(text);
            if (verdict.isInvalid() && verdict.message().empty()) __builtin_trap();
        }
    } catch (const qor::BPFFilterDecodingError&) {
        // Refused input is the expected outcome for most bytes.
    }
    return 0;
}
