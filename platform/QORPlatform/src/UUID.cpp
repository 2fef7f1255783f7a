#include "QORPlatform/UUID.hpp"

#include <string>
#include <uuid/uuid.h>

namespace qor {

UUID::UUID() { uuid_generate_random(bytes_.data()); }

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
