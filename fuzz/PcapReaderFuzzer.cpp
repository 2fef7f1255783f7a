// Fuzzes the capture reader on arbitrary bytes: classic pcap headers and records (and, when the
// bytes start like pcapng, the pcapng path), then touches every packet's bytes and dumps.

#include <cstdint>
#include <cstring>
#include <vector>

#include "QORModels/packets/FileDataToPacketsAsyncStream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::vector<std::byte> copy(size);
    if (size) std::memcpy(copy.data(), bytes, size);
    qor::Data data(std::move(copy));
    qor::FileDataToPacketsAsyncStream reader;
    auto cache = std::make_shared<qor::QORDataCache>();
    try {
        auto packets = reader.parsePackets(data, cache, std::filesystem::path("/nonexistent/fuzz.pcap"), nullptr);
        for (auto& p : packets) {
            auto d = p->data();
            if (d && d->size() != p->captureLength()) __builtin_trap();
            (void)p->packetRawStringHex();
            (void)p->nodes();
        }
    } catch (const qor::APIErrorException&) {
    }
    return 0;
}
