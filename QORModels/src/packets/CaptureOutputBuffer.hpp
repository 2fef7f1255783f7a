#pragma once
// The growing byte buffer that capture writers fill.

#include <sys/mman.h>

#include <algorithm>
#include <span>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "QORCommonTools/FileHelpers.hpp"
#include "QORCommonTools/SequentialReader.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

/// A packet's bytes as a writer copies them: for the library's packets the stored slice without
/// touching a mapped file's pages (`CaptureOutputBuffer::append` reads those through the file;
/// a file that shrank meanwhile gives zeros there, never a crash), for any other packet `data()`.
template <class Ptr>
std::optional<Data> bytesToWrite(const Ptr& packet) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*packet)>, QORPacket>) {
        return packet->storedData();
    } else {
        return packet->data();
    }
}

/// One growing buffer of output bytes with little-endian integer appends.
///
/// Storage is allocated uninitialised (pages are touched only when written) and handed over to
/// a `Data` without a copy by `take()`. Writers reserve the expected size up front, so a whole
/// file is built with one allocation; large buffers are mapped directly.
///
/// In streaming mode (`streamTo`) the buffer is a fixed chunk that is handed to a sink each time
/// it fills, so a file of any size is written through a few megabytes that stay in cache.
///
/// Packet bytes that are slices of a mapped capture file are copied through a sequential
/// reader over that file (see `SequentialReader`): packets written in file order then cost one
/// read per megabyte instead of a first-touch fault per page of the mapping. Not thread-safe;
/// one per write.
class CaptureOutputBuffer {
public:
    /// Receives each filled chunk; false stops the write (the writer then stops appending).
    using Sink = std::function<bool(std::span<const std::byte>)>;

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::shared_ptr<std::byte> grown = allocate(capacity);
        if (size_ != 0) std::memcpy(grown.get(), storage_.get(), size_);
        storage_ = std::move(grown);
        capacity_ = capacity;
    }
    /// Streams the output to `sink` in chunks of `chunkSize` bytes (the last one shorter);
    /// `finish()` hands over what is left.
    void streamTo(Sink sink, std::size_t chunkSize = kDefaultChunkSize) {
        reserve(chunkSize);
        sink_ = std::move(sink);
    }
    /// Hands the last chunk to the sink; false when the sink refused any chunk.
    bool finish() {
        flush();
        return !sinkRefused_;
    }
    /// Bytes written so far, streamed ones included.
    [[nodiscard]] std::uint64_t size() const noexcept { return flushed_ + size_; }
    /// True once a sink refused a chunk; writers stop there.
    [[nodiscard]] bool stopped() const noexcept { return sinkRefused_; }

    void append(const std::byte* bytes, std::size_t count) {
        while (count > 0) {
            if (size_ == capacity_ && sink_) flush();
            std::size_t n = sink_ ? std::min(count, capacity_ - size_) : count;
            std::memcpy(grow(n), bytes, n);
            bytes += n;
            count -= n;
        }
    }
    /// Appends a packet's bytes (see the class comment for slices of mapped files).
    void append(const Data& bytes) {
        if (bytes.empty()) return;
        if (bytes.owner().get() != sourceOwner_) {
            sourceOwner_ = bytes.owner().get();
            source_.reset();
            if (auto region = mappedFileRegion(bytes)) source_.emplace(Data::wrap(bytes.owner(), region->wholeFile));
        }
        if (source_) {
            auto offset = static_cast<std::size_t>(bytes.data() - source_->data().data());
            if (auto run = source_->view(offset, bytes.size())) return append(run->data(), run->size());
        }
        append(bytes.data(), bytes.size());
    }
    void u16(std::uint16_t v) { put(grow(2), v, 2); }
    void u32(std::uint32_t v) { put(grow(4), v, 4); }
    void u64(std::uint64_t v) { put(grow(8), v, 8); }
    void zeros(std::size_t count) {
        if (count == 0) return;
        std::memset(grow(count), 0, count);
    }
    /// Zero bytes up to the next multiple of 4 of the whole output's size.
    void pad4() { zeros(static_cast<std::size_t>((4 - size() % 4) % 4)); }

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
            if (sink_) flush();
            if (capacity_ - size_ < count) reserve(std::max(capacity_ * 2, size_ + count));
        }
        std::byte* at = storage_.get() + size_;
        size_ += count;
        return at;
    }
    void flush() {
        if (!sink_ || size_ == 0) return;
        if (!sinkRefused_ && !sink_({storage_.get(), size_})) sinkRefused_ = true;
        flushed_ += size_;
        size_ = 0;
    }
    static void put(std::byte* at, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
    }

    /// Buffers from this size on are mapped directly: pages a short output never fills cost
    /// nothing. They stay on ordinary pages, as the other large buffers of kept and written
    /// captures do: on a virtual machine a fresh huge page may have to be backed by the host
    /// before it is cleared, which made first use of memory slower from run to run, not faster
    /// (see PacketArena).
    static constexpr std::size_t kMappedBufferThreshold = std::size_t{4} << 20;
    static constexpr std::size_t kDefaultChunkSize = std::size_t{4} << 20;

    static std::shared_ptr<std::byte> allocate(std::size_t capacity) {
        if (capacity >= kMappedBufferThreshold) {
            void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p != MAP_FAILED) {
                return {static_cast<std::byte*>(p), [capacity](std::byte* q) { ::munmap(q, capacity); }};
            }
        }
        return {new std::byte[capacity], [](std::byte* q) { delete[] q; }};
    }

    std::shared_ptr<std::byte> storage_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    Sink sink_;
    std::uint64_t flushed_ = 0;
    bool sinkRefused_ = false;
    const void* sourceOwner_ = nullptr;
    std::optional<SequentialReader> source_;
};

}  // namespace qor
