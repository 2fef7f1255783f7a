#pragma once
// The allocator settings of the qor tool (see Allocator.cpp).

namespace qor::cli {

/// Backs the rest of the process's memory with ordinary pages only, where the system would
/// otherwise use transparent huge pages (a system set to "always"). A command that streams a
/// capture keeps a few windows of packets, a few megabytes whatever the size of the file: huge
/// pages would only round each of its heaps up to 2 MiB. Commands call it before they read.
void preferSmallPages();

}  // namespace qor::cli
