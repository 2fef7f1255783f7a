// Fuzz target: the capture daemon protocol's frame reader and message decoder, on arbitrary bytes
// split into arbitrary pieces, as a daemon (request cap) and as a client (reply cap) read them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "QORModels/capture/CaptureProtocol.hpp"

namespace {

using namespace qor::capture;

/// Feeds `bytes` in pieces whose sizes come from `step` and checks every decoded message: it
/// encodes back to a frame that decodes to the same message.
void readAll(std::span<const std::byte> bytes, std::uint32_t cap, std::size_t step) {
    FrameReader reader(cap);
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        reader.append(bytes.subspan(at, std::min(step, bytes.size() - at)));
        while (auto message = reader.next()) {
            const auto frame = encodeFrame(*message);
            const auto again = decodeBody(std::span(frame).subspan(kFrameHeaderSize));
            if (!again.message || !(*again.message == *message)) __builtin_trap();
        }
        if (reader.failed()) {
            if (reader.error().empty() || reader.midFrame()) __builtin_trap();
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 17;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data) + 1, size - 1);
    readAll(bytes, kMaxRequestFrame, step);
    readAll(bytes, kMaxReplyFrame, bytes.size() + 1);
    // The bytes as one frame body.
    const auto decoded = decodeBody(bytes);
    if (decoded.message.has_value() == !decoded.error.empty()) __builtin_trap();
    return 0;
}
