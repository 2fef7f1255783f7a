#pragma once
// The user's saved queries: one JSON file each in a folder, and the sorted list of them.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "QORModels/queries/SavedQuery.hpp"
#include "QORPlatform/NSObject.hpp"

namespace qor {

/// A failure of `SavedQueryStore::save`: the folder could not be made, the query could not be
/// encoded or its file could not be written. `what()` says which and why.
class SavedQueryStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The saved queries of one folder, kept in memory for the application's views.
///
/// Files: each query is "<ID>.qorfind.json" (upper-case UUID) in `directory()`, written
/// atomically and flushed to disk (a temporary file in the same folder, renamed into place), so
/// that a crash mid-write leaves the old file or the new one. Files of the legacy format (a
/// keyed archive of a predicate, extension "qorquery") are converted by `reload()` and renamed
/// with ".migrated" appended.
///
/// Threads: the store belongs to the main thread (`MainQueue`); every operation asserts it.
/// The operations that the platform runs asynchronously (`reload`, `save`, `remove`) run to
/// completion when called: the files are small and the caller is already on the main thread.
///
/// Observing: `queries` is observable through key-value observing (`addObserver("queries",
/// ...)`); each of `reload`, `save` and `remove` makes one change. Read as a key, "queries"
/// answers the list of the queries' names in order and "directory" the folder's path; the
/// values themselves come from `queries()`.
class SavedQueryStore : public NSObject {
    struct Key {
        explicit Key() = default;
    };

public:
    /// The largest query file read; a query takes a few kilobytes.
    static constexpr std::uintmax_t kMaxSavedQueryFileBytes = 4u << 20;

    /// "Tessarine/Find Queries" in the user's data folder (`$XDG_DATA_HOME`, else
    /// `~/.local/share`), created when missing; when it cannot be created, the same sub-path
    /// under the temporary folder. Computed once.
    static const std::filesystem::path& defaultDirectory();

    /// A store of `directory` with no queries yet, and the first `reload()` queued on the main
    /// queue (it runs when the main thread next drains the queue, unless the store is gone).
    static std::shared_ptr<SavedQueryStore> create(std::filesystem::path directory = defaultDirectory());

    SavedQueryStore(Key, std::filesystem::path directory);

    /// The queries, sorted by name (see `reload`).
    [[nodiscard]] const std::vector<SavedQuery>& queries() const;
    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
    /// The file of a query: "<ID>.qorfind.json" in the folder.
    [[nodiscard]] std::filesystem::path fileFor(const SavedQuery& query) const;

    /// Converts legacy files, then reads every "*.qorfind.json" entry of the folder (hidden ones
    /// included). A file that cannot be read or decoded is logged as "SavedQueryStore: skipping
    /// NAME: DESCRIPTION" and left on disk; a folder that cannot be listed gives no queries. The
    /// result is sorted by name, case-insensitively (ASCII letters folded, other characters by
    /// code point; equal names keep the listing order), and replaces `queries` in one change.
    void reload();
    /// Writes the query's file (creating the folder when missing) and puts the query in
    /// `queries`: in place of the entry with the same id, else added; then sorted. Throws
    /// `SavedQueryStoreError`, leaving the file and `queries` as they were. `modifiedAt` is the
    /// caller's to set.
    void save(const SavedQuery& query);
    /// Removes the query's file (a file already gone is no failure) and every entry with its id
    /// from `queries`. Named `remove` because `delete` is a C++ keyword; it does not throw.
    void remove(const SavedQuery& query);

    [[nodiscard]] Value valueForKey(std::string_view key) const override;
    [[nodiscard]] std::string_view className() const override { return "SavedQueryStore"; }

private:
    void migrateLegacyQueries();
    void replaceQueries(std::vector<SavedQuery> queries);

    std::filesystem::path directory_;
    std::vector<SavedQuery> queries_;
};

}  // namespace qor
