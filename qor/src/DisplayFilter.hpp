#pragma once
// A display filter given on the command line.

#include <memory>
#include <string>

#include "QORPlatform/NSPredicate.hpp"

namespace qor::cli {

/// Reads a display filter in the predicate language (`packetProtocol == "DNS" AND
/// packetLengthReal > 100`, `srcPort == 443 OR dstPort == 443`). Every key path must start with
/// a key the filter catalog or a loaded plug-in knows: a packet-record key path of the catalog
/// (`packetId`, `packetInfoOverview`, ...), an attribute key of a plug-in's analyzers (`srcPort`,
/// `ip4TTL`, ...) or the key path of a plug-in column; a misspelt key would otherwise match
/// nothing without a word. Throws `CommandFailure` (status 2) with one line: the parse error
/// with its position, or the unknown key. Load the plug-ins first (`activateAnalyzers`).
std::shared_ptr<const NSPredicate> compileDisplayFilter(const std::string& expression);

/// The predicate of the saved query `name` in the folder `dir` (the store's default folder when
/// empty), its tree compiled against the catalog of the loaded plug-ins with their attribute
/// keys. Throws `CommandFailure` (status 2) with one line when no query has that name or its tree
/// does not compile. Load the plug-ins first (`activateAnalyzers`).
std::shared_ptr<const NSPredicate> compileSavedQuery(const std::string& name, const std::string& dir);

}  // namespace qor::cli
