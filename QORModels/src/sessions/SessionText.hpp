#pragma once
// Lower-casing the texts that sessions compare without regard to case (user names, labels).

#include <cctype>
#include <string>
#include <string_view>

namespace qor {

inline std::string lowercased(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace qor
