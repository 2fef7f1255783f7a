#pragma once
// The serialised form of display-filter trees (see KeyedCoding.hpp for the shared layout).
//
//     {"group": {"_0": {"id": "…", "op": "and", "children": [
//         {"row": {"_0": {"id": "…", "attributeID": "packetId.equalTo", "comparison": "equalTo",
//                         "value": {"int": {"_0": 42}}, "caseInsensitive": false}}}]}}}
//
// Every case keeps its payload under "_0". A group without a saved-query name leaves the key
// out; a row needs all five of its keys. Dates are numbers of seconds since 2001-01-01 00:00:00
// UTC.

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "QORModels/filters/FilterNode.hpp"
#include "QORModels/support/KeyedCoding.hpp"

namespace qor {

/// How deeply filter nodes may nest in a document that is read (a group and its child are two
/// levels). Saved trees come from outside: the limit keeps reading, evaluating and freeing a
/// hostile tree within a small, fixed stack.
inline constexpr std::size_t kFilterMaxNodeDepth = 64;
/// How deeply JSON arrays and objects may nest in a document that `decodeFilterNode` parses:
/// four JSON levels per node level, plus a row's value.
inline constexpr std::size_t kFilterMaxDocumentDepth = 4 * kFilterMaxNodeDepth + 8;

/// Seconds between 1970-01-01 and 2001-01-01 00:00:00 UTC, the origin of serialised dates.
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

/// Reads a tree from a parsed document. Throws `DecodingError`.
FilterNode filterNodeFromJSON(const nlohmann::json& document);
/// The document of a tree.
nlohmann::json filterNodeJSON(const FilterNode& node);

/// Reads a tree from JSON text. Throws `DecodingError` for text that is not JSON, nests deeper
/// than `kFilterMaxDocumentDepth`, or does not describe a tree. Thread-safe.
FilterNode decodeFilterNode(std::string_view jsonText);
/// The JSON text of a tree, compact by default or indented by `indent` spaces (text that is not
/// valid UTF-8 has the offending bytes replaced by U+FFFD). Thread-safe.
std::string encodeFilterNode(const FilterNode& node, int indent = -1);

}  // namespace qor
