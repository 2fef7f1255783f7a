// The saved-query store on a real folder: loading, sorting, saving in place, atomic writes,
// deleting, corrupt files and the conversion of legacy archives.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "QORModels/queries/LegacyMigrationError.hpp"
#include "QORModels/queries/SavedQueryCoding.hpp"
#include "QORModels/queries/SavedQueryStore.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QueryTestSupport.hpp"

namespace qor {
namespace {

FilterNode portRow(std::int64_t port) {
    return FilterNode::Row("srcPort.equalTo", Comparison::equalTo, FilterValue::Int{port});
}

class SavedQueryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { MainQueue::shared().bindCurrentThread(); }

    /// A store of the test folder whose first reload has run.
    std::shared_ptr<SavedQueryStore> loadedStore() {
        auto store = SavedQueryStore::create(dir.path);
        MainQueue::shared().drain();
        return store;
    }

    std::vector<std::string> names(const SavedQueryStore& store) {
        std::vector<std::string> out;
        for (const auto& q : store.queries()) out.push_back(q.name);
        return out;
    }

    test::TempDir dir;
};

TEST_F(SavedQueryStoreTest, FirstReloadIsQueuedAndSkipsLogsAndLeavesCorruptFiles) {
    const SavedQuery good("Good", portRow(53));
    dir.write(good.id().uuidString() + ".qorfind.json", Data::fromString(encodeSavedQuery(good)));
    dir.write("broken.qorfind.json", Data::fromString("{ not json"));
    dir.write(".hidden.qorfind.json", Data::fromString(R"({"id": "6F9619FF-8B86-D011-B42D-00C04FC964FF", "name": "x"})"));
    dir.write("notes.txt", Data::fromString("not a query, not looked at"));
    std::filesystem::create_directory(dir.path / "folder.qorfind.json");

    test::LogCapture log;
    auto store = SavedQueryStore::create(dir.path);
    EXPECT_TRUE(store->queries().empty());  // the first reload is queued, not run
    MainQueue::shared().drain();
    ASSERT_EQ(store->queries().size(), 1u);
    EXPECT_EQ(store->queries().front(), good);
    std::vector<std::string> skipped;
    for (const auto& line : log.lines) {
        EXPECT_EQ(line.filename, "QORModels/SavedQueryStore");
        skipped.push_back(line.message);
    }
    std::sort(skipped.begin(), skipped.end());
    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_EQ(skipped[0].rfind("SavedQueryStore: skipping .hidden.qorfind.json: No value associated with key \"root\".", 0), 0u) << skipped[0];
    EXPECT_EQ(skipped[1].rfind("SavedQueryStore: skipping broken.qorfind.json: The given data was not valid JSON", 0), 0u) << skipped[1];
    EXPECT_EQ(skipped[2].rfind("SavedQueryStore: skipping folder.qorfind.json: ", 0), 0u) << skipped[2];
    EXPECT_TRUE(std::filesystem::exists(dir.path / "broken.qorfind.json"));
    EXPECT_TRUE(std::filesystem::exists(dir.path / ".hidden.qorfind.json"));
}

TEST_F(SavedQueryStoreTest, SavingAKnownIdReplacesTheEntryAndItsFileAndNamesSortIgnoringCase) {
    auto store = loadedStore();
    SavedQuery query("Zeta", portRow(1));
    store->save(query);
    store->save(SavedQuery("Middle", portRow(2)));
    store->save(SavedQuery("beta", portRow(4)));
    query.name = "Alpha";
    query.root = portRow(3);
    query.modifiedAt = Date{query.modifiedAt.secondsSince1970 + 60};
    store->save(query);
    EXPECT_EQ(names(*store), (std::vector<std::string>{"Alpha", "beta", "Middle"}));
    EXPECT_EQ(names(*loadedStore()), (std::vector<std::string>{"Alpha", "beta", "Middle"}));
    EXPECT_EQ(test::entries(dir.path).size(), 3u);
    EXPECT_EQ(decodeSavedQuery(test::readFile(store->fileFor(query)).toString()), query);
    EXPECT_EQ(store->fileFor(query).filename().string(), query.id().uuidString() + ".qorfind.json");
}

TEST_F(SavedQueryStoreTest, AFailedWriteLeavesTheOldFileAndTheList) {
    auto store = loadedStore();
    SavedQuery query("Small", portRow(1));
    store->save(query);
    const Data before = test::readFile(store->fileFor(query));

    // The system refuses to grow any file past 1 KiB: the new content cannot be written.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    SavedQuery larger = query;
    larger.name = std::string(8192, 'n');
    EXPECT_THROW(store->save(larger), SavedQueryStoreError);
    EXPECT_THROW(store->save(SavedQuery(std::string(8192, 'm'), portRow(2))), SavedQueryStoreError);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(test::readFile(store->fileFor(query)), before);
    EXPECT_EQ(test::entries(dir.path), std::vector<std::string>{query.id().uuidString() + ".qorfind.json"});  // no temporary left
    ASSERT_EQ(store->queries().size(), 1u);
    EXPECT_EQ(store->queries().front(), query);

    // A text that cannot be encoded fails the same way.
    SavedQuery unencodable = query;
    unencodable.name = "\xc3";
    EXPECT_THROW(store->save(unencodable), SavedQueryStoreError);
    EXPECT_EQ(test::readFile(store->fileFor(query)), before);
}

TEST_F(SavedQueryStoreTest, AWriterKilledMidWriteLeavesACompleteFile) {
    // A child process rewrites one large query as fast as it can and is killed without warning;
    // the file left behind is a whole query, and leftover temporary files are not queries.
    auto store = loadedStore();
    SavedQuery query("Big", portRow(0));
    std::vector<FilterNode> rows;
    for (int i = 0; i < 3000; ++i) rows.push_back(portRow(i));
    query.root = FilterNode::Group(LogicalOperator::or_, rows);
    store->save(query);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (std::int64_t round = 1;; ++round) {
            query.name = "Big " + std::to_string(round);
            try {
                store->save(query);
            } catch (...) {
                _exit(3);
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

    const SavedQuery onDisk = decodeSavedQuery(test::readFile(store->fileFor(query)).toString());
    EXPECT_EQ(onDisk.id(), query.id());
    EXPECT_EQ(onDisk.root, query.root);
    test::LogCapture log;
    auto reloaded = loadedStore();
    ASSERT_EQ(reloaded->queries().size(), 1u);
    EXPECT_EQ(reloaded->queries().front().root, query.root);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(SavedQueryStoreTest, DeletingDropsTheQueryEvenWhenItsFileIsGoneAndAnUnlistableFolderEmptiesTheList) {
    auto store = loadedStore();
    const SavedQuery a("a", portRow(1)), b("b", portRow(2));
    store->save(a);
    store->save(b);
    store->remove(a);
    EXPECT_FALSE(std::filesystem::exists(store->fileFor(a)));
    std::filesystem::remove(store->fileFor(b));
    store->remove(b);
    EXPECT_TRUE(store->queries().empty());
    // A folder that cannot be listed any more empties the list.
    store->save(a);
    std::filesystem::remove_all(dir.path);
    store->reload();
    EXPECT_TRUE(store->queries().empty());
}

TEST_F(SavedQueryStoreTest, EachOperationIsOneObservableChange) {
    auto store = loadedStore();
    std::vector<Value> seen;
    const auto token = store->addObserver(
        "queries", [&](const NSObject&, const KeyValueChange& change) { seen.push_back(change.newValue); },
        kKeyValueObservingOptionNew);
    const SavedQuery q("Only", portRow(1));
    store->save(q);
    store->reload();
    store->remove(q);
    store->removeObserver(token);
    const Value only(Value::List{Value("Only")});
    EXPECT_EQ(seen, (std::vector<Value>{only, only, Value(Value::List{})}));
}

TEST_F(SavedQueryStoreTest, LegacyArchivesAreConvertedOnceAndRenamed) {
    for (const char* name : {"and-contains-get.qorquery", "matches-operator.qorquery"})
        std::filesystem::copy_file(test::legacyFixture(name), dir.path / name);
    test::LogCapture log;
    auto store = loadedStore();

    ASSERT_EQ(store->queries().size(), 1u);
    const SavedQuery& migrated = store->queries().front();
    EXPECT_EQ(migrated.name, "and-contains-get");
    EXPECT_EQ(migrated.createdAt(), migrated.modifiedAt);
    const auto& group = *migrated.root.getIf<FilterNode::Group>();
    EXPECT_EQ(group.op, LogicalOperator::and_);
    ASSERT_EQ(group.children.size(), 1u);
    const auto& row = *group.children[0].getIf<FilterNode::Row>();
    EXPECT_EQ(row.attributeID, "packetInfoOverview.contains");
    EXPECT_EQ(row.value, FilterValue(FilterValue::String{"GET"}));
    EXPECT_TRUE(row.caseInsensitive);
    EXPECT_EQ(test::entries(dir.path), (std::vector<std::string>{migrated.id().uuidString() + ".qorfind.json",
                                                                 "and-contains-get.qorquery.migrated", "matches-operator.qorquery"}));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].message,
              "LegacyMigrator: skipping matches-operator.qorquery: " + std::string(LegacyMigrationError::unsupportedOperator(6).what()));

    // The refused archive is tried again on the next reload and stays; the converted one is not converted twice.
    store->reload();
    EXPECT_EQ(store->queries().size(), 1u);
    EXPECT_EQ(test::readFile(dir.path / "matches-operator.qorquery"), test::readFile(test::legacyFixture("matches-operator.qorquery")));
}

TEST(SavedQueryStoreDefaults, DefaultFolderIsMadeUnderTheUserDataFolder) {
    // The folder is computed once per process: nothing in this executable asks for it earlier.
    test::TempDir data;
    ::setenv("XDG_DATA_HOME", data.path.c_str(), 1);
    const auto& directory = SavedQueryStore::defaultDirectory();
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(directory, data.path / "Tessarine" / "Find Queries");
    EXPECT_TRUE(std::filesystem::is_directory(directory));
}

}  // namespace
}  // namespace qor
