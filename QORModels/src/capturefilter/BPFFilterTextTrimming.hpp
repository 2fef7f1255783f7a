#pragma once
// Trimming of blanks and line breaks in capture-filter texts (private to the capture filter builder).

#include <string>
#include <string_view>

namespace qor::bpf_detail {

/// The text without blanks (spaces, tabs and the other Unicode space separators) at either end.
/// The text is read as UTF-8; bytes that do not form a space character are kept as they are.
std::string_view trimmingBlanks(std::string_view text);

/// The text without blanks and line breaks (line feed, carriage return, vertical tab, form feed,
/// next line, line and paragraph separators) at either end.
std::string_view trimmingBlanksAndLineBreaks(std::string_view text);

}  // namespace qor::bpf_detail
