#pragma once
// Hash mixing for capture-filter values (private to the capture filter builder).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "QORPlatform/UUID.hpp"

namespace qor::bpf_detail {

/// Accumulates values into one hash (the boost hash_combine mixing, widened to 64 bits).
class Hasher {
public:
    void mix(std::size_t h) { state_ ^= h + 0x9e3779b97f4a7c15ULL + (state_ << 6) + (state_ >> 2); }
    void add(const std::string& text) { mix(std::hash<std::string>{}(text)); }
    void add(bool flag) { mix(flag ? 1 : 2); }
    void add(std::int64_t number) { mix(std::hash<std::int64_t>{}(number)); }
    template <class E>
        requires std::is_enum_v<E>
    void add(E value) {
        mix(static_cast<std::size_t>(value) + 1);
    }
    template <class T>
    void add(const std::optional<T>& value) {
        if (value) {
            mix(3);
            add(*value);
        } else {
            mix(4);
        }
    }
    void add(const UUID& id) {
        std::uint64_t high = 0, low = 0;
        for (int i = 0; i < 8; ++i) {
            high = (high << 8) | id.bytes()[i];
            low = (low << 8) | id.bytes()[8 + i];
        }
        mix(static_cast<std::size_t>(high));
        mix(static_cast<std::size_t>(low));
    }
    [[nodiscard]] std::size_t value() const { return state_; }

private:
    std::size_t state_ = 0;
};

}  // namespace qor::bpf_detail
