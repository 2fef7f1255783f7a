#include "QORModels/packets/PacketArena.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <sys/mman.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOR_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(QOR_LEAK_CHECKED)
#define QOR_LEAK_CHECKED 1
#endif
#ifdef QOR_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace qor {
namespace {
/// Chunks are mapped memory, which the leak checker does not scan by itself: without this, every
/// object that only a packet in the arena points to would look leaked.
void setLeakCheckerScans(void* base, std::size_t size, bool scans) {
#ifdef QOR_LEAK_CHECKED
    if (scans) {
        __lsan_register_root_region(base, size);
    } else {
        __lsan_unregister_root_region(base, size);
    }
#else
    (void)base, (void)size, (void)scans;
#endif
}
constexpr std::size_t kChunkSize = std::size_t{64} << 20;  // address space per chunk
constexpr std::size_t kBackingStep = std::size_t{2} << 20; // populated at a time, at most
constexpr std::size_t kFirstStep = std::size_t{64} << 10;  // populated first
}  // namespace

PacketArena* PacketArena::create() { return new PacketArena(); }

PacketArena::~PacketArena() {
    for (auto& c : chunks_) {
        setLeakCheckerScans(c.base, c.size, false);
        ::munmap(c.base, c.size);
    }
}

void PacketArena::release() noexcept {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void PacketArena::newChunk(std::size_t atLeast) {
    std::size_t size = std::max(kChunkSize, (atLeast + kBackingStep - 1) / kBackingStep * kBackingStep);
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    // Ordinary pages, populated a step at a time below. Huge pages were measured: on a virtual
    // machine whose memory the host has not yet backed they made reading a million packets
    // take anywhere between the same and twice as long, from run to run.
    setLeakCheckerScans(p, size, true);
    chunks_.push_back({static_cast<std::byte*>(p), size});
    next_ = backed_ = static_cast<std::byte*>(p);
    end_ = next_ + size;
}

void* PacketArena::allocate(std::size_t bytes, std::size_t alignment) {
    auto align = [&](std::byte* p) {
        auto v = reinterpret_cast<std::uintptr_t>(p);
        return reinterpret_cast<std::byte*>((v + alignment - 1) & ~(alignment - 1));
    };
    std::byte* p = next_ ? align(next_) : nullptr;
    if (!p || p + bytes > end_) {
        newChunk(bytes + alignment);
        p = align(next_);
    }
    next_ = p + bytes;
    if (next_ > backed_) {
        // Back the next step in one call rather than by faults. Steps double from 64 KiB to
        // 2 MiB, so a small file populates little.
        while (next_ > backed_) {
            const auto backedSoFar = static_cast<std::size_t>(backed_ - chunks_.back().base);
            std::size_t length = std::clamp(backedSoFar, kFirstStep, kBackingStep);
            length = std::min(length, static_cast<std::size_t>(end_ - backed_));
#ifdef MADV_POPULATE_WRITE
            ::madvise(backed_, length, MADV_POPULATE_WRITE);
#endif
            backed_ += length;
        }
    }
    references_.fetch_add(1, std::memory_order_relaxed);
    return p;
}

}  // namespace qor
