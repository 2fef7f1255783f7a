#pragma once
// Base64 (RFC 4648) encoding and decoding.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

std::string base64Encode(std::span<const std::byte> bytes);
/// Decodes standard base64; white space is skipped, missing padding is accepted. Nothing when the
/// text holds another character.
std::optional<std::vector<std::byte>> base64Decode(std::string_view text);

}  // namespace qor
