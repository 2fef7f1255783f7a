#pragma once
// Mixing a 64-bit key so that every bit of it reaches every bit of the result.

#include <cstdint>

namespace qor {

/// The 64-bit finaliser of MurmurHash3: each input bit flips about half of the output bits, so
/// any slice of the result (the low bits that pick a table slot, the high bits a multiply-shift
/// takes) depends on the whole key.
constexpr std::uint64_t mixBits(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace qor
