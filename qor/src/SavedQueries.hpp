#pragma once
// The user's saved display filters, for the commands that read them.

#include <memory>
#include <string>

#include "QORModels/queries/SavedQueryStore.hpp"

namespace qor::cli {

/// The store of `dir` (the default folder when empty), loaded; the files it skips are reported
/// on standard error as warnings.
std::shared_ptr<SavedQueryStore> openStore(const std::string& dir);

/// The first query named `name` in the store's order, or null.
const SavedQuery* find(const SavedQueryStore& store, const std::string& name);

/// The first query named `name`; `CommandFailure` (status 2) naming the folder when none is.
const SavedQuery& require(const SavedQueryStore& store, const std::string& name);

}  // namespace qor::cli
