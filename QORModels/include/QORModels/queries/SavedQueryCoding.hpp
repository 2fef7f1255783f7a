#pragma once
// The file form of saved queries.
//
//     {
//       "createdAt": 786297600.5,
//       "id": "6F9619FF-8B86-D011-B42D-00C04FC964FF",
//       "modifiedAt": 786297600.5,
//       "name": "Web traffic",
//       "root": {"group": {"_0": {...}}}
//     }
//
// All five keys are required on reading; other keys are ignored. Dates are numbers of seconds
// since 2001-01-01 00:00:00 UTC, as are `date` values inside `root` (FilterCoding.hpp).

#include <cstddef>
#include <string>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "QORModels/filters/FilterCoding.hpp"
#include "QORModels/queries/SavedQuery.hpp"

namespace qor {

/// How deeply JSON may nest in a saved-query document: the tree's limit plus the query object.
inline constexpr std::size_t kSavedQueryMaxDocumentDepth = kFilterMaxDocumentDepth + 2;

/// Reads a query from a parsed document. Throws `DecodingError`, whose path starts at the
/// query's keys (a fault inside the tree reads "at root.group._0.children.0...").
SavedQuery savedQueryFromJSON(const nlohmann::json& document);
/// The document of a query.
nlohmann::json savedQueryJSON(const SavedQuery& query);

/// Reads a query from JSON text. Throws `DecodingError` for text that is not JSON, nests deeper
/// than `kSavedQueryMaxDocumentDepth` or does not describe a query. Thread-safe.
SavedQuery decodeSavedQuery(std::string_view jsonText);
/// The file text of a query: indented by two spaces, keys sorted at every level, ending in a
/// newline. Throws `std::invalid_argument` when a text of the query is not valid UTF-8 (it
/// cannot be written as JSON). Thread-safe.
std::string encodeSavedQuery(const SavedQuery& query);

}  // namespace qor
