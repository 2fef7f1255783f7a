#include "SavedQueries.hpp"

#include <cstdio>

#include "Command.hpp"
#include "QORLog/QORLog.hpp"
#include "QORPlatform/MainQueue.hpp"

namespace qor::cli {
namespace {

/// Passes the store's "skipping" lines to standard error while it lives.
struct SkipWarnings {
    SkipWarnings() {
        qor::setLogSink([](const qor::LogLine& line) {
            std::fprintf(stderr, "qor: warning: %s\n", line.message.c_str());
        });
    }
    ~SkipWarnings() { qor::setLogSink({}); }
    SkipWarnings(const SkipWarnings&) = delete;
    SkipWarnings& operator=(const SkipWarnings&) = delete;
};

}  // namespace

std::shared_ptr<SavedQueryStore> openStore(const std::string& dir) {
    SkipWarnings warnings;
    auto store = dir.empty() ? qor::SavedQueryStore::create() : qor::SavedQueryStore::create(dir);
    qor::MainQueue::shared().drain();
    return store;
}

const SavedQuery* find(const SavedQueryStore& store, const std::string& name) {
    for (const auto& query : store.queries()) {
        if (query.name == name) return &query;
    }
    return nullptr;
}

const SavedQuery& require(const SavedQueryStore& store, const std::string& name) {
    if (const auto* query = find(store, name)) return *query;
    throw CommandFailure{2, "no saved query named \"" + name + "\" in " + store.directory().string()};
}

}  // namespace qor::cli
