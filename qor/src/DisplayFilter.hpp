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

}  // namespace qor::cli
