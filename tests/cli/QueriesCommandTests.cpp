// qor queries end to end on a folder of its own: saving, listing, showing, deleting, and one
// line with status 2 for what cannot be done.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "support/Fixtures.hpp"

namespace qor {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class QorQueries : public ::testing::Test {
protected:
    ToolRun queries(const std::vector<std::string>& args) {
        std::string cmd = std::string(QOR_BINARY_DIR) + "/bin/qor queries --dir " + quoted(folder.string());
        for (const auto& a : args) cmd += " " + quoted(a);
        cmd += " 2>" + quoted((scratch.path / "err").string());
        ToolRun r;
        FILE* p = popen(cmd.c_str(), "r");
        std::array<char, 4096> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
        const int raw = pclose(p);
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.err = test::readFile(scratch.path / "err").toString();
        return r;
    }
    std::vector<std::filesystem::path> files() {
        std::vector<std::filesystem::path> out;
        if (std::filesystem::exists(folder)) {
            for (const auto& e : std::filesystem::directory_iterator(folder)) out.push_back(e.path());
        }
        return out;
    }

    test::TempDir scratch;
    std::filesystem::path folder = scratch.path / "Find Queries";
};

TEST_F(QorQueries, SaveListShowDelete) {
    auto r = queries({"save", "web", "srcPort == 443 OR dstPort == 443"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = queries({"save", "DNS", "packetProtocol == \"DNS\" AND packetLengthReal > 100"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(files().size(), 2u);

    r = queries({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "DNS\nweb\n");

    r = queries({"show", "DNS"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The tree, then the tokens of the filter editor's token field.
    const auto tokensAt = r.out.rfind("tokens:");
    ASSERT_NE(tokensAt, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(tokensAt), "tokens: [Protocol equals] [DNS] [AND] [Real Length greater than] [100]\n");
    const auto tree = nlohmann::json::parse(r.out.substr(0, tokensAt));
    const auto& group = tree["group"]["_0"];
    EXPECT_EQ(group["op"], "and");
    EXPECT_EQ(group["children"][0]["row"]["_0"]["attributeID"], "packetProtocol.equalTo");
    EXPECT_EQ(group["children"][0]["row"]["_0"]["value"]["string"]["_0"], "DNS");
    EXPECT_EQ(group["children"][1]["row"]["_0"]["attributeID"], "packetLengthReal.greaterThan");
    EXPECT_EQ(group["children"][1]["row"]["_0"]["value"]["int"]["_0"], 100);
    // The tree shown is the tree saved.
    bool found = false;
    for (const auto& file : files()) {
        const auto saved = nlohmann::json::parse(test::readFile(file).toString());
        if (saved["name"] == "DNS") {
            EXPECT_EQ(saved["root"], tree);
            found = true;
        }
    }
    EXPECT_TRUE(found);

    // A saved query filters a listing as the same expression does (tshark 4.0.17,
    // -Y 'tcp.port == 443 || udp.port == 443' on many_interfaces-1.pcapng: 44 packets).
    const std::string capture = test::capturePath("many_interfaces-1.pcapng").string();
    const std::string listing = std::string(QOR_BINARY_DIR) + "/bin/qor packets " + quoted(capture) + " --count --query-dir " +
                                quoted(folder.string()) + " --query ";
    for (const char* name : {"web", "missing"}) {
        FILE* p = popen((listing + name + " 2>/dev/null").c_str(), "r");
        std::array<char, 64> buf{};
        const std::size_t n = std::fread(buf.data(), 1, buf.size() - 1, p);
        const int raw = pclose(p);
        if (std::string_view(name) == "web") {
            EXPECT_EQ(std::string(buf.data(), n), "44\n");
            EXPECT_EQ(WEXITSTATUS(raw), 0);
        } else {
            EXPECT_EQ(WEXITSTATUS(raw), 2);
        }
    }

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
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"save", "bad", "srcPort =="}, "qor: cannot parse \"srcPort ==\": expected a value at 10\n"},
        {{"save", "bad", "packetInfoOverview MATCHES \"GET.*\""}, "qor: cannot save \"packetInfoOverview MATCHES \"GET.*\"\": unsupported predicate operator 6"},
        {{"save", "bad", "srcPort == dstPort"}, "qor: cannot save \"srcPort == dstPort\": unsupported expression"},
        {{"show", "missing"}, "qor: no saved query named \"missing\""},
        {{"delete", "missing"}, "qor: no saved query named \"missing\""},
    };
    for (const Case& c : cases) {
        const ToolRun r = queries(c.args);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(files().empty()) << c.args[0];
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
    EXPECT_TRUE(std::filesystem::exists(folder / "GET requests.qorquery.migrated"));
    EXPECT_TRUE(std::filesystem::exists(folder / "regex.qorquery"));
}

}  // namespace
}  // namespace qor
