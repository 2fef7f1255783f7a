#pragma once
// The common superclass of the TCP and UDP analyzer classes.

#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"

namespace qor::standard {

/// The abstract class "TransportAnalyzer" that the TCP and UDP analyzer classes derive from. The
/// port attributes ("srcPort", "dstPort") name it, so that a packet's key lookup finds whichever
/// of the two transports the packet has (the owner is found by a kind-of test). It makes no
/// analyzers itself. Thread-safe (immutable).
const AnalyzerClassRef& transportAnalyzerClass();

/// Offsets of the two port fields, the same in TCP and UDP.
inline constexpr std::size_t kSourcePortOffset = 0;
inline constexpr std::size_t kDestinationPortOffset = 2;

}  // namespace qor::standard
