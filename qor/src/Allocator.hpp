#pragma once
// The allocator settings of the qor tool (see Allocator.cpp).

namespace qor::cli {

/// Backs the rest of the process's memory with ordinary pages only, where the system would
/// otherwise use transparent huge pages (a system set to "always"): see Allocator.cpp for what
/// huge pages cost a kept capture. A command that streams a capture keeps a few windows of
/// packets, a few megabytes whatever the size of the file, which huge pages would only round up
/// to 2 MiB per heap. The tool calls it first, before any command runs.
void preferSmallPages();

}  // namespace qor::cli
