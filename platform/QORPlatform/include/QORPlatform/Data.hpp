#pragma once
// Immutable, cheaply copied byte buffer with shared storage and O(1) slices.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

/// An immutable run of bytes.
///
/// Copies and slices share one storage block (reference counted), so handing a packet's bytes
/// around never copies them. The storage may be a heap vector or any owner that keeps memory
/// alive (a memory-mapped file, say). Thread-safe for concurrent readers, like any const value.
class Data {
public:
    Data() = default;
    /// Takes ownership of the bytes.
    explicit Data(std::vector<std::byte> bytes);
    /// Copies the bytes.
    static Data copy(std::span<const std::byte> bytes);
    static Data fromString(std::string_view text);
    /// Wraps memory that `owner` keeps alive; no copy is made.
    static Data wrap(std::shared_ptr<const void> owner, std::span<const std::byte> bytes);
    /// A static empty buffer that stands for "no bytes selected".
    static const Data& nothingSelected();

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t count() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::span<const std::byte> span() const noexcept { return {ptr_, size_}; }
    [[nodiscard]] const std::byte* begin() const noexcept { return ptr_; }
    [[nodiscard]] const std::byte* end() const noexcept { return ptr_ + size_; }
    [[nodiscard]] std::string_view stringView() const noexcept {
        return {reinterpret_cast<const char*>(ptr_), size_};
    }
    /// The byte at `index`; the caller checks the bounds (asserted).
    [[nodiscard]] std::uint8_t operator[](std::size_t index) const noexcept;
    /// The byte at `index`, or nothing past the end.
    [[nodiscard]] std::optional<std::uint8_t> byteAt(std::size_t index) const noexcept {
        if (index >= size_) return std::nullopt;
        return static_cast<std::uint8_t>(ptr_[index]);
    }

    /// Bytes `from ..< from+count` sharing this storage. Callers check the bounds first; an
    /// out-of-range request is clamped to the bytes that exist rather than read past the end.
    /// Inline: analysis slices every header and attribute of every packet.
    [[nodiscard]] Data slice(std::size_t from, std::size_t count) const noexcept {
        Data d;
        if (from >= size_) return d;
        d.owner_ = owner_;
        d.ptr_ = ptr_ + from;
        d.size_ = std::min(count, size_ - from);
        return d;
    }
    /// The same bytes without their owner, valid only while this buffer (or another holder of its
    /// owner) lives. Copying and slicing a view count no references: code that only looks at the
    /// bytes during a call (an analysis walk, a field reader) reads them through one, rather
    /// than have every thread write to the one counter that all the slices of a file share.
    [[nodiscard]] Data unownedView() const noexcept {
        Data d;
        d.ptr_ = ptr_;
        d.size_ = size_;
        return d;
    }
    /// Bytes from `from` to the end.
    [[nodiscard]] Data slice(std::size_t from) const noexcept;
    /// The slice, or nothing when `from + count` runs past the end (overflow-safe).
    [[nodiscard]] std::optional<Data> checkedSlice(std::size_t from, std::size_t count) const noexcept;

    /// Reads a fixed-width integer at a byte offset in the machine's byte order; nothing when the
    /// bytes are not all there.
    template <class T>
    [[nodiscard]] std::optional<T> loadUnaligned(std::size_t byteOffset) const noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        if (byteOffset > size_ || size_ - byteOffset < sizeof(T)) return std::nullopt;
        T value;
        std::memcpy(&value, ptr_ + byteOffset, sizeof(T));
        return value;
    }

    [[nodiscard]] std::vector<std::byte> toVector() const { return {begin(), end()}; }
    [[nodiscard]] std::string toString() const { return std::string(stringView()); }
    /// The object that keeps this buffer's memory alive (shared by its slices).
    [[nodiscard]] const std::shared_ptr<const void>& owner() const noexcept { return owner_; }
    [[nodiscard]] const std::byte* data() const noexcept { return ptr_; }
    /// True when both buffers share the same storage block.
    [[nodiscard]] bool sharesStorageWith(const Data& other) const noexcept { return owner_ == other.owner_; }

    friend bool operator==(const Data& a, const Data& b) noexcept;

private:
    std::shared_ptr<const void> owner_;
    const std::byte* ptr_ = nullptr;
    std::size_t size_ = 0;
};

/// Builds bytes from a list of integers; handy for fixtures.
Data bytes(std::initializer_list<int> values);

}  // namespace qor
