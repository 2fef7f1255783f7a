// Fuzzes the pcapng reader: blocks, options, interfaces and secrets blocks from arbitrary bytes.
// Inputs that do not start with a section header get one, so the fuzzer spends its time inside.

#include <cstdint>
#include <cstring>
#include <vector>

#include "QORModels/packets/PcapngReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const std::uint8_t kSectionHeader[] = {0x0A, 0x0D, 0x0D, 0x0A, 0x1C, 0, 0, 0, 0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x1C, 0, 0, 0};
    std::vector<std::byte> copy;
    bool prefixed = size < 4 || std::memcmp(bytes, kSectionHeader, 4) != 0;
    if (prefixed) {
        copy.resize(sizeof kSectionHeader);
        std::memcpy(copy.data(), kSectionHeader, sizeof kSectionHeader);
    }
    std::size_t at = copy.size();
    copy.resize(at + size);
    if (size) std::memcpy(copy.data() + at, bytes, size);
    qor::Data data(std::move(copy));
    auto result = qor::PcapngReader::read(data, [](double) {});
    for (auto& p : result.packets) {
        if (std::uint64_t{p->dataLocation()} + p->captureLength() > data.size()) __builtin_trap();
        (void)p->packetComment();
    }
    (void)result.metadata.isEmpty();
    return 0;
}
