#pragma once
// Bulk memory for the packet records of one capture file.

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace qor {

/// Memory that a reader carves packet records from, in large chunks, instead of one heap
/// allocation per packet: a million packets cost a handful of system calls instead of hundreds
/// of thousands of page faults, and no per-object allocator header.
///
/// Chunks are reserved address space backed in steps that double from 64 KiB to 2 MiB, each
/// populated in one call ahead of use, so an arena holds at most one step of unused memory and a
/// small file costs little.
/// Memory is never reused: records of one file are made together and released together,
/// and the chunks go back to the system when the last record made from the arena is gone.
///
/// Thread safety: `allocate` is called from one thread at a time (the reading thread);
/// records, and with them `release`, may go on any thread.
class PacketArena {
public:
    /// A new arena, owned by the returned reference and by every record made from it.
    static PacketArena* create();
    /// Drops the creator's reference.
    void close() { release(); }

    void* allocate(std::size_t bytes, std::size_t alignment);
    /// Gives back one record's reference; the arena frees itself with the last one.
    void release() noexcept;

    /// An allocator for std::allocate_shared that takes memory from an arena.
    template <class T>
    struct Allocator {
        using value_type = T;
        PacketArena* arena;
        explicit Allocator(PacketArena* a) noexcept : arena(a) {}
        template <class U>
        Allocator(const Allocator<U>& other) noexcept : arena(other.arena) {}
        T* allocate(std::size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T), alignof(T))); }
        void deallocate(T*, std::size_t) noexcept { arena->release(); }
        template <class U>
        bool operator==(const Allocator<U>& o) const noexcept { return arena == o.arena; }
    };

private:
    PacketArena() = default;
    ~PacketArena();
    void newChunk(std::size_t atLeast);

    struct Chunk {
        std::byte* base;
        std::size_t size;
    };
    std::vector<Chunk> chunks_;
    std::byte* next_ = nullptr;
    std::byte* end_ = nullptr;
    std::byte* backed_ = nullptr;  // memory up to here has been populated
    std::atomic<std::size_t> references_{1};
};

}  // namespace qor
