#pragma once
// Localized text through the library's string table.

#include <map>
#include <string>
#include <string_view>

namespace qor {

/// The text for `key` in the current string table; English (the key itself) when the table has
/// no entry. `comment` documents the text for translators and does not change the result.
std::string localized(std::string_view key, std::string_view comment = {});
/// The text for `key` in the current string table; `value` (the default text) when the table has
/// no entry. `comment` documents the text for translators.
std::string localizedString(std::string_view key, std::string_view value, std::string_view comment);
/// Replaces the string table (an empty table restores English). Thread-safe.
void setLocalizedStringTable(std::map<std::string, std::string, std::less<>> table);

}  // namespace qor
