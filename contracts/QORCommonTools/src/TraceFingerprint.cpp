#include "QORCommonTools/TraceFingerprint.hpp"

#include <cstdio>
#include <fmt/format.h>
#include <vector>
#include <xxhash.h>

namespace qor {

std::optional<std::string> TraceFingerprint::fingerprint(const std::filesystem::path& file, std::uint64_t fullHashThreshold,
                                                         std::uint64_t blockSize) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return std::nullopt;
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    if (std::fseek(f, 0, SEEK_END) != 0) return std::nullopt;
    long end = std::ftell(f);
    if (end < 0) return std::nullopt;
    auto size = static_cast<std::uint64_t>(end);

    XXH3_state_t* state = XXH3_createState();
    if (!state) return std::nullopt;
    XXH3_128bits_reset(state);
    std::vector<char> buffer(64 * 1024);
    auto hashRange = [&](std::uint64_t from, std::uint64_t count) -> bool {
        if (std::fseek(f, static_cast<long>(from), SEEK_SET) != 0) return false;
        while (count > 0) {
            auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
            auto got = std::fread(buffer.data(), 1, want, f);
            if (got == 0) return false;
            XXH3_128bits_update(state, buffer.data(), got);
            count -= got;
        }
        return true;
    };
    bool ok;
    if (size <= fullHashThreshold || blockSize == 0 || size <= 3 * blockSize) {
        ok = hashRange(0, size);
    } else {
        XXH3_128bits_update(state, &size, sizeof size);
        ok = hashRange(0, blockSize) && hashRange(size / 2 - blockSize / 2, blockSize) && hashRange(size - blockSize, blockSize);
    }
    XXH128_hash_t h = XXH3_128bits_digest(state);
    XXH3_freeState(state);
    if (!ok && size != 0) return std::nullopt;
    return fmt::format("{:016x}{:016x}", h.high64, h.low64);
}

}  // namespace qor
