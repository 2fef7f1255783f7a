#include "QORPlatform/UUID.hpp"

#include <uuid/uuid.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>

#include "QORPlatform/ThreadLocal.hpp"

namespace qor {
namespace {

/// The random bits of fresh UUIDs: one generator per thread, seeded once from the system's
/// random source. Detail trees make a UUID for every node, and asking the system for random
/// bytes each time (a system call and a reseed per UUID) cost more than building the node.
/// Identifiers need to be distinct, not secret, so a seeded generator serves.
std::mt19937_64& generator() {
    QOR_INITIAL_EXEC_TLS thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

}  // namespace

UUID::UUID() {
    auto& engine = generator();
    // Each draw fills eight bytes, most significant first.
    for (std::size_t half = 0; half < 2; ++half) {
        const std::uint64_t drawn = engine();
        const std::uint64_t bits = std::endian::native == std::endian::big ? drawn : __builtin_bswap64(drawn);
        std::memcpy(bytes_.data() + half * 8, &bits, 8);
    }
    bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4: random
    bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // the RFC 4122 variant
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
