#include "QORCommonTools/MemoryAdvice.hpp"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace qor {

void adviseHugePages(const void* address, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (!address || bytes < kHugePage) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto begin = (reinterpret_cast<std::uintptr_t>(address) + page - 1) & ~(page - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(address) + bytes) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)address;
    (void)bytes;
#endif
}

void releaseMappedPages(const void* address, std::size_t bytes) noexcept {
#ifdef MADV_DONTNEED
    if (!address || bytes == 0) return;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto begin = (reinterpret_cast<std::uintptr_t>(address) + page - 1) & ~(page - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(address) + bytes) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#else
    (void)address;
    (void)bytes;
#endif
}

}  // namespace qor
