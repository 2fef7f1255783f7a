// Loading, saving and deleting saved queries, and converting legacy ones.

#include "QORModels/queries/SavedQueryStore.hpp"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "QORLog/QORLog.hpp"
#include "QORModels/queries/LegacyQORQueryMigrator.hpp"
#include "QORModels/queries/SavedQueryCoding.hpp"
#include "QORModels/support/KeyedCoding.hpp"
#include "QORPlatform/AtomicFileWriting.hpp"
#include "QORPlatform/MainQueue.hpp"
#include "QORPlatform/NSKeyedUnarchiver.hpp"
#include "QORPlatform/SearchPaths.hpp"

namespace qor {
namespace {

constexpr const char* kLogTag = "QORModels/SavedQueryStore";
constexpr std::string_view kQueryFileSuffix = ".qorfind.json";

/// The whole file, refusing one larger than `limit` before reading it.
std::string readFile(const std::filesystem::path& path, std::uintmax_t limit) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) throw std::system_error(ec, "cannot read the file");
    if (size > limit) throw std::runtime_error("the file is larger than " + std::to_string(limit) + " bytes");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open the file");
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (static_cast<std::uintmax_t>(in.gcount()) != size) throw std::runtime_error("cannot read the whole file");
    return text;
}

/// The description a log line gives of a failure.
std::string describe(const std::exception& e) {
    if (const auto* d = dynamic_cast<const DecodingError*>(&e)) return d->description();
    return e.what();
}

/// Case-insensitive order of names: ASCII letters folded, other bytes by value.
bool nameLess(const SavedQuery& a, const SavedQuery& b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; };
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [&](char x, char y) { return fold(static_cast<unsigned char>(x)) < fold(static_cast<unsigned char>(y)); });
}

void sortByName(std::vector<SavedQuery>& queries) { std::stable_sort(queries.begin(), queries.end(), nameLess); }

std::filesystem::path makeDefaultDirectory() {
    const std::filesystem::path sub = std::filesystem::path("Tessarine") / "Find Queries";
    std::error_code ec;
    const std::filesystem::path preferred = userDataDirectory() / sub;
    std::filesystem::create_directories(preferred, ec);
    if (!ec && std::filesystem::is_directory(preferred, ec)) return preferred;
    const std::filesystem::path fallback = std::filesystem::temp_directory_path(ec) / sub;
    std::filesystem::create_directories(fallback, ec);
    return fallback;
}

}  // namespace

const std::filesystem::path& SavedQueryStore::defaultDirectory() {
    static const std::filesystem::path directory = makeDefaultDirectory();
    return directory;
}

std::shared_ptr<SavedQueryStore> SavedQueryStore::create(std::filesystem::path directory) {
    auto store = std::make_shared<SavedQueryStore>(Key(), std::move(directory));
    runOnMain([weak = std::weak_ptr<SavedQueryStore>(store)] {
        if (auto alive = weak.lock()) alive->reload();
    });
    return store;
}

SavedQueryStore::SavedQueryStore(Key, std::filesystem::path directory) : directory_(std::move(directory)) {}

const std::vector<SavedQuery>& SavedQueryStore::queries() const { return queries_; }

std::filesystem::path SavedQueryStore::fileFor(const SavedQuery& query) const {
    return directory_ / (query.id().uuidString() + std::string(kQueryFileSuffix));
}

void SavedQueryStore::replaceQueries(std::vector<SavedQuery> queries) {
    changeValueForKeys({"queries"}, [] { return true; }, [&] { queries_ = std::move(queries); });
}

void SavedQueryStore::reload() {
    assertMainThread("SavedQueryStore::reload");
    migrateLegacyQueries();
    std::vector<SavedQuery> loaded;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory_, ec);
    if (ec) {
        replaceQueries({});
        return;
    }
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < kQueryFileSuffix.size() || !name.ends_with(kQueryFileSuffix)) continue;
        try {
            loaded.push_back(decodeSavedQuery(readFile(it->path(), kMaxSavedQueryFileBytes)));
        } catch (const std::exception& e) {
            QOR_LOG(kLogTag, "SavedQueryStore: skipping " + name + ": " + describe(e));
        }
    }
    sortByName(loaded);
    replaceQueries(std::move(loaded));
}

void SavedQueryStore::migrateLegacyQueries() {
    std::error_code ec;
    std::vector<std::filesystem::path> legacy;
    for (std::filesystem::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".qorquery") legacy.push_back(it->path());
    }
    for (const auto& path : legacy) {
        const std::string name = path.filename().string();
        try {
            const std::string archive = readFile(path, NSKeyedUnarchiver::kMaxKeyedArchiveBytes);
            FilterNode root = LegacyQORQueryMigrator::convert(std::as_bytes(std::span(archive.data(), archive.size())));
            const Date now = currentDate();
            save(SavedQuery(path.stem().string(), std::move(root), now, now));
            std::filesystem::path migrated = path;
            migrated += ".migrated";
            std::filesystem::rename(path, migrated);
        } catch (const std::exception& e) {
            QOR_LOG(kLogTag, "LegacyMigrator: skipping " + name + ": " + describe(e));
        }
    }
}

void SavedQueryStore::save(const SavedQuery& query) {
    assertMainThread("SavedQueryStore::save");
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) throw SavedQueryStoreError("cannot create " + directory_.string() + ": " + ec.message());
    std::string text;
    try {
        text = encodeSavedQuery(query);
    } catch (const std::exception& e) {
        throw SavedQueryStoreError(e.what());
    }
    AtomicWriteOptions options;
    options.synchronize = true;
    std::string error;
    const bool written = writeFileAtomically(
        fileFor(query), [&](const AtomicWriteSink& sink) { return sink(std::as_bytes(std::span(text.data(), text.size()))); },
        options, &error);
    if (!written) throw SavedQueryStoreError("cannot save " + fileFor(query).filename().string() + ": " + error);

    std::vector<SavedQuery> updated = queries_;
    const auto same = std::find_if(updated.begin(), updated.end(), [&](const SavedQuery& q) { return q.id() == query.id(); });
    if (same != updated.end()) *same = query;
    else updated.push_back(query);
    sortByName(updated);
    replaceQueries(std::move(updated));
}

void SavedQueryStore::remove(const SavedQuery& query) {
    assertMainThread("SavedQueryStore::remove");
    std::error_code ignored;
    std::filesystem::remove(fileFor(query), ignored);
    std::vector<SavedQuery> kept = queries_;
    std::erase_if(kept, [&](const SavedQuery& q) { return q.id() == query.id(); });
    replaceQueries(std::move(kept));
}

Value SavedQueryStore::valueForKey(std::string_view key) const {
    if (key == "queries") {
        Value::List names;
        names.reserve(queries_.size());
        for (const SavedQuery& q : queries_) names.emplace_back(q.name);
        return Value(std::move(names));
    }
    if (key == "directory") return Value(directory_.string());
    return NSObject::valueForKey(key);
}

}  // namespace qor
