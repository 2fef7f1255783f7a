#include "QORCommonTools/MemoryAdvice.hpp"

#include <algorithm>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace qor {
namespace {

std::uintptr_t pageSize() noexcept { return static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)); }

/// Gives `advice` for the whole pages inside `bytes` bytes at `address`.
void adviseWholePages(const void* address, std::size_t bytes, int advice) noexcept {
    if (!address || bytes == 0) return;
    const auto page = pageSize();
    auto begin = (reinterpret_cast<std::uintptr_t>(address) + page - 1) & ~(page - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(address) + bytes) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}

/// Regions of at least this many bytes (see `PassedPagesRelease::Faults::smallStretches`)...
constexpr std::size_t kLeastStretch = std::size_t{256} << 10;
/// ... and at most this many of them, so that a huge file stays far below the system's limit on
/// a process's mapping regions.
constexpr std::size_t kMostStretches = 4096;
/// The largest folio a file's page cache is kept in (a huge page).
constexpr std::size_t kLargestFolio = std::size_t{2} << 20;

/// Splits the mapping around `bytes` into regions no fault maps past. Every other stretch is
/// marked as left out of core dumps (which an unmodified file mapping is by default anyway): the
/// kernel never merges neighbouring regions whose flags differ.
void mapInSmallStretches(std::span<const std::byte> bytes) noexcept {
#ifdef MADV_DONTDUMP
    const auto page = pageSize();
    const auto begin = (reinterpret_cast<std::uintptr_t>(bytes.data()) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(bytes.data() + bytes.size())) & ~(page - 1);
    if (end <= begin) return;
    const std::uintptr_t stretch =
        std::max<std::uintptr_t>(kLeastStretch, ((end - begin) / kMostStretches + page - 1) & ~(page - 1));
    for (auto at = begin + stretch; at < end; at += 2 * stretch)
        ::madvise(reinterpret_cast<void*>(at), std::min(stretch, end - at), MADV_DONTDUMP);
#else
    (void)bytes;
#endif
}

}  // namespace

void releaseMappedPages(const void* address, std::size_t bytes) noexcept {
#ifdef MADV_DONTNEED
    adviseWholePages(address, bytes, MADV_DONTNEED);
#else
    (void)address;
    (void)bytes;
#endif
}

PassedPagesRelease::PassedPagesRelease(std::span<const std::byte> bytes, bool mapped, std::size_t minimumStep,
                                       Faults faults) noexcept
    : mapped_(mapped && !bytes.empty()),
      minimumStep_(minimumStep),
      released_(reinterpret_cast<std::uintptr_t>(bytes.data()) & ~(pageSize() - 1)),
      end_(reinterpret_cast<std::uintptr_t>(bytes.data() + bytes.size())) {
#ifdef MADV_NOHUGEPAGE
    // A file whose page cache holds large folios is otherwise mapped 2 MiB at a time, and a
    // release behind the pass could not free less than that: the pass maps small pages.
    if (mapped_) adviseWholePages(bytes.data(), bytes.size(), MADV_NOHUGEPAGE);
#endif
    if (mapped_ && faults == Faults::smallStretches && minimumStep < kLargestFolio) mapInSmallStretches(bytes);
}

void PassedPagesRelease::doneUpTo(const std::byte* position) noexcept {
    if (!mapped_) return;
    const auto upTo = std::min(reinterpret_cast<std::uintptr_t>(position), end_) & ~(pageSize() - 1);
    if (upTo <= released_ || upTo - released_ < minimumStep_) return;
    releaseMappedPages(reinterpret_cast<const void*>(released_), upTo - released_);
    released_ = upTo;
}

}  // namespace qor
