#include "QORPlatform/UUID.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <uuid/uuid.h>

namespace qor {

namespace {

/// xoshiro256** (Blackman and Vigna): the thread's generator of random UUIDs, seeded once per
/// thread from libuuid's random source. Detail trees make a node, and so a UUID, per field;
/// asking the operating system for randomness for each of them cost more than the rest of the
/// node.
class UUIDGenerator {
public:
    UUIDGenerator() {
        unsigned char seed[32];
        uuid_generate_random(seed);
        uuid_generate_random(seed + 16);
        std::memcpy(state_, seed, sizeof state_);
        if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;  // never all zero
    }
    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

}  // namespace

/// A version 4 (random) UUID, RFC 9562 section 5.4.
UUID::UUID() {
    thread_local UUIDGenerator generator;
    const std::uint64_t high = generator.next(), low = generator.next();
    std::memcpy(bytes_.data(), &high, 8);
    std::memcpy(bytes_.data() + 8, &low, 8);
    bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
    bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // variant 10
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::string s(text);
    UUID u{Raw{}};
    if (uuid_parse(s.c_str(), u.bytes_.data()) != 0) return std::nullopt;
    return u;
}

std::string UUID::uuidString() const {
    char out[37];
    uuid_unparse_upper(bytes_.data(), out);
    return out;
}

}  // namespace qor
