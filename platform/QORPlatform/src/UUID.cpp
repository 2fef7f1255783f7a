#include "QORPlatform/UUID.hpp"

#include <random>
#include <string>
#include <uuid/uuid.h>

namespace qor {
namespace {

/// The random bits of fresh UUIDs: one generator per thread, seeded once from the system's
/// random source. Detail trees make a UUID for every node, and asking the system for random
/// bytes each time (a system call and a reseed per UUID) cost more than building the node.
/// Identifiers need to be distinct, not secret, so a seeded generator serves.
std::mt19937_64& generator() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

}  // namespace

UUID::UUID() {
    auto& engine = generator();
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t bits = engine();
        for (std::size_t i = 0; i < 8; ++i) bytes_[half * 8 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
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
