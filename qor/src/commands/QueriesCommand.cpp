// qor queries: the user's saved display filters.
//
//     qor queries [--dir DIR] list               the names, one a line, sorted as the store sorts them
//     qor queries [--dir DIR] show NAME          the query's filter tree as saved (JSON)
//     qor queries [--dir DIR] save NAME 'EXPR'   saves a predicate-language expression under NAME
//     qor queries [--dir DIR] delete NAME        deletes the query named NAME
//
// DIR defaults to the store's folder ("Tessarine/Find Queries" in the user's data folder).
// Loading the folder converts legacy ".qorquery" archives, as the library does on every reload;
// files it skips are reported on standard error as warnings. A name that is not saved, an
// expression that does not parse or has no filter form, and a failed write print one line on
// standard error and exit with status 2; a failed `save` writes nothing.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "Command.hpp"
#include "SavedQueries.hpp"
#include "commands/PluginSetup.hpp"
#include "QORModels/analysis/QORPlugInsController.hpp"
#include "QORModels/filters/FilterAttributeCatalog.hpp"
#include "QORLog/QORLog.hpp"
#include "QORModels/filters/FilterCoding.hpp"
#include "QORModels/queries/LegacyQORQueryMigrator.hpp"
#include "QORModels/queries/SavedQueryStore.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/NSError.hpp"

namespace {

using qor::cli::CommandFailure;
using qor::cli::find;
using qor::cli::openStore;
using qor::cli::require;

/// Prints a query's tree as its file holds it, then the tokens the filter editor's token field
/// shows for it (each in brackets), named by the loaded plug-ins' catalog.
void printTree(const qor::SavedQuery& query) {
    std::printf("%s\n", qor::encodeFilterNode(query.root, 2).c_str());
    qor::cli::activateAnalyzers();
    const auto catalog = qor::FilterAttributeCatalog::buildWithAttributeKeys(*qor::QORPlugInsController::sharedManager());
    std::string line = "tokens:";
    for (const auto& token : query.root.toDisplayTokens(catalog)) line += " [" + token + "]";
    std::printf("%s\n", line.c_str());
}

/// The filter tree of a predicate-language expression, or a one-line failure.
qor::FilterNode treeOf(const std::string& expression) {
    try {
        return qor::LegacyQORQueryMigrator::convertPredicateFormat(expression);
    } catch (const qor::LegacyMigrationError& e) {
        throw CommandFailure{2, "cannot save \"" + expression + "\": " + e.description()};
    } catch (const qor::NSException& e) {
        throw CommandFailure{2, "cannot parse \"" + expression + "\": " + e.reason()};
    }
}

void save(const std::string& dir, const std::string& name, const std::string& expression) {
    qor::FilterNode root = treeOf(expression);  // before the folder is touched
    if (name.empty()) throw CommandFailure{2, "a saved query needs a name"};
    auto store = openStore(dir);
    std::optional<qor::SavedQuery> query;
    if (const auto* existing = find(*store, name)) {
        query = *existing;
        query->root = std::move(root);
        query->modifiedAt = qor::currentDate();
    } else {
        query.emplace(name, std::move(root));
    }
    try {
        store->save(*query);
    } catch (const qor::SavedQueryStoreError& e) {
        throw CommandFailure{2, e.what()};
    }
    std::printf("saved \"%s\" as %s\n", name.c_str(), store->fileFor(*query).string().c_str());
}

const qor::cli::CommandRegistration reg{[](CLI::App& app) {
    auto* queries = app.add_subcommand("queries", "List, show, save and delete saved display filters");
    queries->require_subcommand(1);
    auto dir = std::make_shared<std::string>();
    queries->add_option("--dir", *dir, "The folder of the saved queries (default: Tessarine/Find Queries in the user's data folder)");

    auto* list = queries->add_subcommand("list", "Print the names of the saved queries, one a line");
    list->fallthrough();
    list->callback([dir] {
        auto store = openStore(*dir);
        for (const auto& query : store->queries()) std::printf("%s\n", query.name.c_str());
    });

    auto name = std::make_shared<std::string>();
    auto* show = queries->add_subcommand("show", "Print the filter tree of a saved query as JSON");
    show->fallthrough();
    show->add_option("name", *name, "The query's name")->required();
    show->callback([dir, name] { printTree(require(*openStore(*dir), *name)); });

    auto expression = std::make_shared<std::string>();
    auto* saveCommand = queries->add_subcommand(
        "save", "Save a predicate-language expression (for example 'srcPort == 443 OR dstPort == 443') under a name; "
                "a query of that name is replaced");
    saveCommand->fallthrough();
    saveCommand->add_option("name", *name, "The query's name")->required();
    saveCommand->add_option("expression", *expression, "The filter in the predicate language")->required();
    saveCommand->callback([dir, name, expression] { save(*dir, *name, *expression); });

    auto* remove = queries->add_subcommand("delete", "Delete the saved query of that name");
    remove->fallthrough();
    remove->add_option("name", *name, "The query's name")->required();
    remove->callback([dir, name] {
        auto store = openStore(*dir);
        const qor::SavedQuery query = require(*store, *name);
        store->remove(query);
    });
}};

}  // namespace
