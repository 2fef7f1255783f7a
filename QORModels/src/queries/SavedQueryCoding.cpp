// Reading and writing saved-query files.

#include "QORModels/queries/SavedQueryCoding.hpp"

namespace qor {
namespace {

using json = nlohmann::json;

class Decoder : public KeyedDecoder {
public:
    SavedQuery query(const json& document) {
        if (!document.is_object()) mismatch("a dictionary", document);
        const UUID id = uuid(document, "id");
        std::string name = text(document, "name");
        FilterNode root = keyed(document, "root", [](const json& v) {
            try {
                return filterNodeFromJSON(v);
            } catch (const DecodingError& e) {
                throw DecodingError(e.kind(), e.codingPath().empty() ? "root" : "root." + e.codingPath(), e.what());
            }
        });
        const Date createdAt = date(document, "createdAt");
        const Date modifiedAt = date(document, "modifiedAt");
        return SavedQuery(std::move(name), std::move(root), createdAt, modifiedAt, id);
    }

private:
    Date date(const json& fields, std::string_view key) {
        return keyed(fields, key, [&](const json& v) { return Date{number(v) + kSecondsFrom1970To2001}; });
    }
};

}  // namespace

SavedQuery savedQueryFromJSON(const json& document) { return Decoder{}.query(document); }

json savedQueryJSON(const SavedQuery& query) {
    return json{{"id", query.id().uuidString()},
                {"name", query.name},
                {"root", filterNodeJSON(query.root)},
                {"createdAt", query.createdAt().secondsSince1970 - kSecondsFrom1970To2001},
                {"modifiedAt", query.modifiedAt.secondsSince1970 - kSecondsFrom1970To2001}};
}

SavedQuery decodeSavedQuery(std::string_view jsonText) {
    return savedQueryFromJSON(parseKeyedDocument(jsonText, kSavedQueryMaxDocumentDepth));
}

std::string encodeSavedQuery(const SavedQuery& query) {
    try {
        return savedQueryJSON(query).dump(2, ' ', false, json::error_handler_t::strict) + "\n";
    } catch (const json::type_error&) {
        throw std::invalid_argument("The query \"" + query.id().uuidString() + "\" cannot be written as JSON: a text is not valid UTF-8.");
    }
}

}  // namespace qor
