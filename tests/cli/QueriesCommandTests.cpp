// qor queries end to end on a folder of its own: saving, listing, showing, deleting, and one
// line with status 2 for what cannot be done.

#include <gtest/gtest.h>

#include "QorRunner.hpp"
#include "support/Fixtures.hpp"

namespace qor {
namespace {

using ToolRun = test::QorRun;

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class QorQueries : public ::testing::Test {
protected:
    ToolRun queries(const std::vector<std::string>& args) {
        std::string line = "queries --dir " + quoted(folder.string());
        for (const auto& a : args) line += " " + quoted(a);
        return test::runQor(line);
    }
    std::vector<std::filesystem::path> files() {
        std::vector<std::filesystem::path> out;
        std::error_code missing;
        for (const auto& e : std::filesystem::directory_iterator(folder, missing)) out.push_back(e.path());
        return out;
    }

    test::TempDir scratch;
    std::filesystem::path folder = scratch.path / "Find Queries";
};

TEST_F(QorQueries, SaveListShowDelete) {
    for (const auto& [name, filter] : {std::pair{"web", "srcPort == 443 OR dstPort == 443"},
                                       std::pair{"DNS", "packetProtocol == \"DNS\" AND packetLengthReal > 100"}}) {
        const ToolRun saved = queries({"save", name, filter});
        ASSERT_EQ(saved.status, 0) << saved.err;
    }
    ASSERT_EQ(files().size(), 2u);
    auto r = queries({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "DNS\nweb\n");

    r = queries({"show", "DNS"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The tree, then the tokens of the filter editor's token field.
    const auto tokensAt = r.out.rfind("tokens:");
    ASSERT_NE(tokensAt, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(tokensAt), "tokens: [Protocol equals] [DNS] [AND] [Real Length greater than] [100]\n");
    const auto tree = nlohmann::json::parse(r.out.substr(0, tokensAt));
    EXPECT_EQ(tree["group"]["_0"]["children"][1]["row"]["_0"]["attributeID"], "packetLengthReal.greaterThan");
    // The tree shown is the tree saved.
    int shown = 0;
    for (const auto& file : files()) {
        const auto saved = nlohmann::json::parse(test::readFile(file).toString());
        shown += saved["name"] == "DNS" && saved["root"] == tree;
    }
    EXPECT_EQ(shown, 1);

    // A saved query filters a listing as the same expression does (tshark 4.0.17,
    // -Y 'tcp.port == 443 || udp.port == 443' on many_interfaces-1.pcapng: 44 packets).
    const std::string listing = "packets " + quoted(test::capturePath("many_interfaces-1.pcapng").string()) + " --count --query-dir " +
                                quoted(folder.string()) + " --query ";
    const ToolRun web = test::runQor(listing + "web");
    EXPECT_EQ(web.out, "44\n");
    EXPECT_EQ(web.status, 0) << web.err;
    EXPECT_EQ(test::runQor(listing + "missing").status, 2);

    r = queries({"delete", "web"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(queries({"list"}).out, "DNS\n");
    EXPECT_EQ(files().size(), 1u);
}

TEST_F(QorQueries, SavingAnExistingNameReplacesItsTreeInItsFile) {
    ASSERT_EQ(queries({"save", "ports", "srcPort == 80"}).status, 0);
    const auto before = files();
    ASSERT_EQ(queries({"save", "ports", "srcPort == 8080"}).status, 0);
    EXPECT_EQ(files(), before);
    const auto saved = nlohmann::json::parse(test::readFile(before.at(0)).toString());
    EXPECT_EQ(saved["root"]["row"]["_0"]["value"]["int"]["_0"], 8080);
    EXPECT_GE(saved["modifiedAt"].get<double>(), saved["createdAt"].get<double>());
}

TEST_F(QorQueries, FailuresPrintOneLineExitTwoAndWriteNothing) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"save", "bad", "srcPort =="}, "qor: cannot parse \"srcPort ==\": expected a value at 10\n"},
        {{"save", "bad", "packetInfoOverview MATCHES \"GET.*\""}, "qor: cannot save \"packetInfoOverview MATCHES \"GET.*\"\": unsupported predicate operator 6"},
        {{"save", "bad", "srcPort == dstPort"}, "qor: cannot save \"srcPort == dstPort\": unsupported expression"},
        {{"show", "missing"}, "qor: no saved query named \"missing\""},
        {{"delete", "missing"}, "qor: no saved query named \"missing\""},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun r = queries(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(files().empty()) << args[0];
    }
}

TEST_F(QorQueries, LegacyArchivesAreConvertedWhenTheFolderIsRead) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(test::fixturePath("queries/and-contains-get.qorquery"), folder / "GET requests.qorquery");
    std::filesystem::copy_file(test::fixturePath("queries/matches-operator.qorquery"), folder / "regex.qorquery");
    const ToolRun r = queries({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "GET requests\n");
    EXPECT_EQ(r.err.rfind("qor: warning: LegacyMigrator: skipping regex.qorquery: unsupported predicate operator 6", 0), 0u) << r.err;
}

}  // namespace
}  // namespace qor
