#pragma once
// UTF-8 decoding and the case and diacritic folding of the predicate family's text operators.

#include <cstddef>
#include <string>
#include <string_view>

namespace qor::predicate_text {

/// One decoded character: its code point and how many bytes it took. A byte that does not start
/// a well-formed sequence (overlong, surrogate, beyond U+10FFFF, cut short) decodes alone, as
/// `valid == false`, so folding and wildcards pass it through unchanged instead of failing.
struct CodePoint {
    char32_t value;
    std::size_t length;
    bool valid;
};

CodePoint decodeUTF8(std::string_view text, std::size_t at) noexcept;
void appendUTF8(std::string& out, char32_t value);

/// The text with case folded (`NSCaseInsensitivePredicateOption`) and diacritics removed
/// (`NSDiacriticInsensitivePredicateOption`).
///
/// Case folding covers ASCII, Latin-1, Latin Extended-A, basic Greek and Cyrillic ('ß' folds to
/// "ss"); diacritic folding maps the letters of Latin-1 and Latin Extended-A that decompose into
/// a base letter and marks to that letter, and drops combining marks (U+0300 to U+036F), so
/// precomposed and decomposed texts fold alike. Letters without a canonical decomposition (Æ,
/// Ø, Đ, Ł, Œ...) are not diacritic variants and stay. Invalid bytes are kept as they are.
std::string fold(std::string_view text, unsigned options);

}  // namespace qor::predicate_text
