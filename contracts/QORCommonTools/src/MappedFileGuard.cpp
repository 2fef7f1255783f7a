#include "QORCommonTools/MappedFileGuard.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor {
namespace {

/// One guarded mapping. `state` publishes the other fields: they are written while the slot is
/// claimed and read by the handler only once it reads `live`.
struct Slot {
    enum : std::uint32_t { kFree, kClaimed, kLive };
    std::atomic<std::uint32_t> state{kFree};
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::size_t> length{0};
    std::atomic<std::size_t> lost{MappedFileGuard::kNotLost};
    std::atomic<int> fd{-1};
};

std::array<Slot, MappedFileGuard::kCapacity> slots;
/// One past the highest slot ever used, so lookups scan only what was used.
std::atomic<std::size_t> slotsInUse{0};
struct sigaction previousAction;
std::size_t pageSize = 4096;
std::once_flag installed;

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

Slot* slotContaining(std::uintptr_t address) noexcept {
    std::size_t n = slotsInUse.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i) {
        Slot& s = slots[i];
        if (s.state.load(std::memory_order_acquire) != Slot::kLive) continue;
        std::uintptr_t base = s.base.load(std::memory_order_relaxed);
        if (address >= base && address - base < s.length.load(std::memory_order_relaxed)) return &s;
    }
    return nullptr;
}

void lowerLostMark(Slot& s, std::size_t offset) noexcept {
    // The file's present size, when it can tell, is the exact mark: the bytes of its last page
    // past its end read as zeros without any fault.
    struct stat st {};
    int fd = s.fd.load(std::memory_order_relaxed);
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size >= 0 && static_cast<std::uint64_t>(st.st_size) < offset) {
        offset = static_cast<std::size_t>(st.st_size);
    }
    std::size_t current = s.lost.load(std::memory_order_relaxed);
    while (offset < current && !s.lost.compare_exchange_weak(current, offset, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

/// Hands a fault that is not ours to whoever had SIGBUS before.
void chain(int signal, siginfo_t* info, void* context) {
    if (previousAction.sa_flags & SA_SIGINFO) {
        if (previousAction.sa_sigaction) {
            previousAction.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    // Default action (an ignored bus error would retry forever): restore it; the faulting
    // instruction runs again on return and the process ends as it would have without us.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
}

void onBusError(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    auto address = reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr);
    Slot* s = address ? slotContaining(address) : nullptr;
    if (!s) {
        errno = savedErrno;
        chain(signal, info, context);
        return;
    }
    std::uintptr_t base = s->base.load(std::memory_order_relaxed);
    std::uintptr_t end = base + s->length.load(std::memory_order_relaxed);
    std::uintptr_t page = address & ~(static_cast<std::uintptr_t>(pageSize) - 1);
    if (page < base) page = base;  // mappings start on a page
    // The file ends before this page, so it lost everything from here on: zeros in its place.
    void* replaced = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (replaced == MAP_FAILED) {
        errno = savedErrno;
        chain(signal, info, context);
        return;
    }
    lowerLostMark(*s, page - base);
    errno = savedErrno;
}

void install() {
    pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousAction);
}

}  // namespace

int MappedFileGuard::add(const void* base, std::size_t length, int fd) noexcept {
    if (!base || length == 0) return -1;
    std::call_once(installed, install);
    for (std::size_t i = 0; i < kCapacity; ++i) {
        Slot& s = slots[i];
        std::uint32_t expected = Slot::kFree;
        if (!s.state.compare_exchange_strong(expected, Slot::kClaimed, std::memory_order_acquire)) continue;
        s.base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_relaxed);
        s.length.store(length, std::memory_order_relaxed);
        s.lost.store(kNotLost, std::memory_order_relaxed);
        s.fd.store(fd, std::memory_order_relaxed);
        std::size_t used = slotsInUse.load(std::memory_order_relaxed);
        while (used < i + 1 && !slotsInUse.compare_exchange_weak(used, i + 1, std::memory_order_release)) {
        }
        s.state.store(Slot::kLive, std::memory_order_release);
        return static_cast<int>(i);
    }
    return -1;
}

void MappedFileGuard::remove(int handle) noexcept {
    if (handle < 0 || static_cast<std::size_t>(handle) >= kCapacity) return;
    slots[static_cast<std::size_t>(handle)].state.store(Slot::kFree, std::memory_order_release);
}

std::size_t MappedFileGuard::lostOffset(int handle) noexcept {
    if (handle < 0 || static_cast<std::size_t>(handle) >= kCapacity) return kNotLost;
    return slots[static_cast<std::size_t>(handle)].lost.load(std::memory_order_acquire);
}

bool MappedFileGuard::probe(std::span<const std::byte> bytes) noexcept {
    if (bytes.empty() || slotsInUse.load(std::memory_order_relaxed) == 0) return true;
    auto first = reinterpret_cast<std::uintptr_t>(bytes.data());
    Slot* s = slotContaining(first);
    if (!s) return true;
    const std::uintptr_t base = s->base.load(std::memory_order_relaxed);
    const std::uintptr_t end = base + s->length.load(std::memory_order_relaxed);
    const std::uintptr_t last = first + bytes.size() - 1;
    const std::uintptr_t mask = ~(static_cast<std::uintptr_t>(pageSize) - 1);
    // One read per page of the range and of the page after it: a page the file no longer has
    // faults here and becomes zeros, and a fault on the page after the range tells whether the
    // file now ends inside the range's last page (whose bytes past the end read as zeros
    // without a fault).
    const std::uintptr_t stop = std::min(end - 1, (last & mask) + pageSize);
    for (std::uintptr_t page = first & mask; page <= stop; page += pageSize) {
        (void)*reinterpret_cast<const volatile std::byte*>(page < first ? first : page);
    }
    if ((last & mask) + pageSize >= end) lowerLostMark(*s, end - base);  // the mapping's last page: ask the file
    return last - base < s->lost.load(std::memory_order_acquire);
}

void MappedFileGuard::prefetch(std::span<const std::byte> bytes, std::span<const std::byte> within) noexcept {
    if (bytes.empty()) return;
    __builtin_prefetch(bytes.data());
    if (slotsInUse.load(std::memory_order_relaxed) == 0) return;  // probe reads nothing more
    const auto last = reinterpret_cast<std::uintptr_t>(bytes.data() + bytes.size() - 1);
    const std::uintptr_t next = (last & ~(static_cast<std::uintptr_t>(pageSize) - 1)) + pageSize;
    const auto end = reinterpret_cast<std::uintptr_t>(within.data() + within.size());
    if (next < end) __builtin_prefetch(reinterpret_cast<const void*>(next));
}

}  // namespace qor
