#pragma once
// Advice to the kernel about the pages of a file mapping that a pass is done with.

#include <cstddef>
#include <cstdint>
#include <span>

namespace qor {

/// Lets go of the whole pages inside `bytes` bytes at `address` of a read-only file mapping that
/// a single pass has finished with: they leave the process's resident memory (the file's pages
/// stay in the system's page cache, and touching them again maps them back). Only for memory of
/// a read-only file mapping: anonymous memory would lose its contents. A no-op on systems
/// without the call.
void releaseMappedPages(const void* address, std::size_t bytes) noexcept;

/// Lets go of the pages of a read-only file mapping behind a single pass over it, as the pass
/// moves on (`releaseMappedPages` for each stretch it has finished). For memory that is not such
/// a mapping (`mapped` false) it does nothing. Each release makes the kernel drop the pages from
/// every core's address translations, which interrupts the other cores of a busy process: a
/// pass whose other cores are at work lets go in stretches of at least `minimumStep` bytes
/// (0: whatever whole pages it has finished). Used by one thread.
///
/// A kernel that holds a file's page cache in large folios (up to 2 MiB) may map a whole folio
/// at a fault, so that a pass would hold megabytes of the file however often it lets go.
class PassedPagesRelease {
public:
    /// How much of the file one fault of the pass may map.
    enum class Faults : std::uint8_t {
        /// Whatever the kernel maps (a whole large folio): for a pass that holds far more than
        /// the file's current pages anyway, or that does not read the mapping's bytes itself.
        wholeFolios,
        /// A few hundred kilobytes at most: the mapping is split into regions of at least
        /// 256 KiB (at most a few thousand, however large the file), which no fault maps past,
        /// for as long as it is mapped. Costs about one more fault per 64 KiB walked (a fault
        /// then maps the pages around it, not the folio), so only a pass that lets go in steps
        /// under 2 MiB splits the mapping: a larger step holds that much anyway.
        smallStretches,
    };

    PassedPagesRelease(std::span<const std::byte> bytes, bool mapped, std::size_t minimumStep = 0,
                       Faults faults = Faults::wholeFolios) noexcept;
    /// The pass is done with every byte before `position` (whole pages only are let go).
    void doneUpTo(const std::byte* position) noexcept;

private:
    bool mapped_;
    std::size_t minimumStep_;
    std::uintptr_t released_;  // pages before this were let go
    std::uintptr_t end_;
};

}  // namespace qor
