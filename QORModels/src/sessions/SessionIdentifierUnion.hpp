#pragma once
// Sets of L2TP session identifiers that belong to one session.

#include <cstdint>
#include <unordered_map>

namespace qor {

/// A union–find over 16-bit session identifiers: joining two identifiers puts their sets
/// together, and the smaller representative of the two becomes the set's. An identifier never
/// joined is a set of its own. Memory grows with the identifiers joined (at most 65,536
/// entries), and `find` halves the paths it walks, so any sequence of joins and finds stays
/// close to linear.
class SessionIdentifierUnion {
public:
    [[nodiscard]] std::uint16_t find(std::uint16_t id) {
        auto it = parent_.find(id);
        if (it == parent_.end()) return id;
        std::uint16_t current = id;
        for (;;) {
            auto& up = parent_[current];
            if (up == current) return current;
            auto& grand = parent_[up];
            up = grand;  // path halving
            current = up;
        }
    }

    void join(std::uint16_t a, std::uint16_t b) {
        parent_.try_emplace(a, a);
        parent_.try_emplace(b, b);
        const std::uint16_t ra = find(a), rb = find(b);
        if (ra == rb) return;
        if (ra < rb) parent_[rb] = ra;
        else parent_[ra] = rb;
    }

private:
    std::unordered_map<std::uint16_t, std::uint16_t> parent_;
};

}  // namespace qor
