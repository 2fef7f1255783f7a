#pragma once
// Asking the kernel to back large, mostly-sequential buffers with huge pages.

#include <cstddef>

namespace qor {

/// Asks for transparent huge pages over the whole pages inside `bytes` bytes at `address` (a
/// buffer reserved for millions of entries and filled front to back), so that filling it costs
/// one fault per 2 MiB instead of one per 4 KiB. Only a hint: harmless where huge pages are off
/// or the range is too small, and a no-op on systems without the call.
void adviseHugePages(const void* address, std::size_t bytes) noexcept;

}  // namespace qor
