#pragma once
// The text encodings a body can be shown in.

namespace qor {

/// How bytes are read as text. The set is the one message bodies name through their charsets;
/// anything else is read as UTF-8.
enum class StringEncoding { utf8, ascii, isoLatin1, utf16 };

}  // namespace qor
