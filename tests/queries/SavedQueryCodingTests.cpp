// The file form of saved queries: the five keys, dates since 2001, sorted pretty output and
// errors that say where they are.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "QORModels/queries/SavedQueryCoding.hpp"

namespace qor {
namespace {

SavedQuery sample() {
    FilterNode::Row row("packetProtocol.equalTo", Comparison::equalTo, FilterValue::ProtocolName{"DNS"}, true);
    FilterNode::Row when("packetDateReceived.greaterThan", Comparison::greaterThan, FilterValue::Date{Date{978307200.0 + 86400.5}});
    FilterNode::Group group(LogicalOperator::or_, {row, when}, "DNS");
    return SavedQuery("Name resolution", group, Date{978307200.0 + 1000.25}, Date{978307200.0 + 2000.5});
}

TEST(SavedQueryCoding, FileHoldsTheFiveKeysSortedWithDatesSince2001) {
    const SavedQuery query = sample();
    const std::string text = encodeSavedQuery(query);
    const auto document = nlohmann::json::parse(text);
    std::vector<std::string> keys;
    for (const auto& [key, value] : document.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"createdAt", "id", "modifiedAt", "name", "root"}));
    EXPECT_DOUBLE_EQ(document["createdAt"].get<double>(), 1000.25);
    EXPECT_DOUBLE_EQ(document["modifiedAt"].get<double>(), 2000.5);
    EXPECT_EQ(document["id"], query.id().uuidString());
    EXPECT_DOUBLE_EQ(document["root"]["group"]["_0"]["children"][1]["row"]["_0"]["value"]["date"]["_0"].get<double>(), 86400.5);
    // Pretty-printed, and sorted at every level: "attributeID" before "caseInsensitive" before "comparison".
    EXPECT_NE(text.find("\n  \"createdAt\": 1000.25,\n"), std::string::npos) << text;
    const auto a = text.find("\"attributeID\""), c = text.find("\"caseInsensitive\""), m = text.find("\"comparison\"");
    EXPECT_TRUE(a < c && c < m) << text;
    EXPECT_EQ(decodeSavedQuery(text), query);
}

TEST(SavedQueryCoding, MissingOrWrongFieldsNameTheirPath) {
    const nlohmann::json good = savedQueryJSON(sample());
    struct Case {
        const char* what;
        std::function<void(nlohmann::json&)> edit;
        DecodingError::Kind kind;
        std::string path;
    };
    const std::vector<Case> cases{
        {"no id", [](auto& j) { j.erase("id"); }, DecodingError::Kind::keyNotFound, ""},
        {"date as text", [](auto& j) { j["createdAt"] = "2024-01-01"; }, DecodingError::Kind::typeMismatch, "createdAt"},
        {"name null", [](auto& j) { j["name"] = nullptr; }, DecodingError::Kind::valueNotFound, "name"},
        {"bad uuid", [](auto& j) { j["id"] = "not-a-uuid"; }, DecodingError::Kind::dataCorrupted, "id"},
        {"row without caseInsensitive",
         [](auto& j) { j["root"]["group"]["_0"]["children"][0]["row"]["_0"].erase("caseInsensitive"); },
         DecodingError::Kind::keyNotFound, "root.group._0.children.0.row._0"},
    };
    for (const Case& c : cases) {
        nlohmann::json document = good;
        c.edit(document);
        try {
            (void)decodeSavedQuery(document.dump());
            ADD_FAILURE() << c.what << ": decoded";
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.what << ": " << e.description();
            EXPECT_EQ(e.codingPath(), c.path) << c.what;
        }
    }
}

TEST(SavedQueryCoding, HostileDocumentsFailCleanly) {
    const std::vector<std::string> documents{
        "", "{", "[]", "null", std::string(100000, '['), std::string(5000, '[') + std::string(5000, ']'),
        // A tree nested deeper than the filter limit, inside an otherwise valid query.
        [] {
            nlohmann::json node = savedQueryJSON(sample())["root"];
            for (int i = 0; i < 80; ++i) node = {{"group", {{"_0", {{"id", UUID().uuidString()}, {"op", "not"}, {"children", {node}}}}}}};
            nlohmann::json q = savedQueryJSON(sample());
            q["root"] = node;
            return q.dump();
        }()};
    for (const std::string& text : documents) EXPECT_THROW((void)decodeSavedQuery(text), DecodingError) << text.substr(0, 20);
}

}  // namespace
}  // namespace qor
