#pragma once
// The growing byte buffer that capture writers fill.

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <span>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "QORPlatform/Data.hpp"

namespace qor {

/// One growing buffer of output bytes with little-endian integer appends.
///
/// Storage is allocated uninitialised (pages are touched only when written) and handed over to
/// a `Data` without a copy by `take()`. Writers reserve the expected size up front, so a whole
/// file is built with one allocation. Large buffers are mapped directly and asked for huge pages,
/// which turns the quarter million page faults of a 1 GB file into a few hundred. Not
/// thread-safe; one per write.
class CaptureOutputBuffer {
public:
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::shared_ptr<std::byte> grown = allocate(capacity);
        if (size_ != 0) std::memcpy(grown.get(), storage_.get(), size_);
        storage_ = std::move(grown);
        capacity_ = capacity;
    }
    /// Writes into the caller's memory instead (for example a mapped file), which must hold
    /// everything that will be written: writers check their exact upper bound first.
    void useExternal(std::span<std::byte> destination) {
        storage_ = std::shared_ptr<std::byte>(destination.data(), [](std::byte*) {});
        size_ = 0;
        capacity_ = destination.size();
        external_ = true;
    }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    void append(const std::byte* bytes, std::size_t count) {
        if (count == 0) return;
        std::memcpy(grow(count), bytes, count);
    }
    void u16(std::uint16_t v) { put(grow(2), v, 2); }
    void u32(std::uint32_t v) { put(grow(4), v, 4); }
    void u64(std::uint64_t v) { put(grow(8), v, 8); }
    void zeros(std::size_t count) {
        if (count == 0) return;
        std::memset(grow(count), 0, count);
    }
    /// Zero bytes up to the next multiple of 4 of the whole buffer's size.
    void pad4() { zeros((4 - size_ % 4) % 4); }
    /// Overwrites a 32-bit value written earlier.
    void patchU32(std::size_t offset, std::uint32_t v) { put(storage_.get() + offset, v, 4); }

    /// The bytes written, as an immutable buffer; the writer is empty afterwards.
    Data take() {
        Data out = size_ == 0 ? Data() : Data::wrap(std::shared_ptr<const void>(storage_), {storage_.get(), size_});
        storage_.reset();
        size_ = capacity_ = 0;
        return out;
    }

private:
    std::byte* grow(std::size_t count) {
        if (capacity_ - size_ < count) {
            assert(!external_ && "external destination smaller than the output");
            reserve(std::max(capacity_ * 2, size_ + count));
        }
        std::byte* at = storage_.get() + size_;
        size_ += count;
        return at;
    }
    static void put(std::byte* at, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
    }

    /// Buffers from this size on are mapped and advised to use huge pages.
    static constexpr std::size_t kMappedBufferThreshold = std::size_t{4} << 20;

    static std::shared_ptr<std::byte> allocate(std::size_t capacity) {
        if (capacity >= kMappedBufferThreshold) {
            void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
                ::madvise(p, capacity, MADV_HUGEPAGE);
#endif
                return {static_cast<std::byte*>(p), [capacity](std::byte* q) { ::munmap(q, capacity); }};
            }
        }
        return {new std::byte[capacity], [](std::byte* q) { delete[] q; }};
    }

    std::shared_ptr<std::byte> storage_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool external_ = false;
};

}  // namespace qor
