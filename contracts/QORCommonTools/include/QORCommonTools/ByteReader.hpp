#pragma once
// The bounds-checked cursor every parser reads bytes through.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QORPlatform/Data.hpp"

namespace qor {

/// A cursor over bytes. Every read checks the range first and gives nothing when the bytes are
/// not all there, leaving the cursor where it was; no read ever touches memory past the end.
/// Multi-byte reads come in big-endian (`be`), little-endian (`le`) and "as the file says"
/// (`swapped` flag) forms. Values are loaded with memcpy, so alignment never matters.
class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}
    explicit ByteReader(const Data& data) : bytes_(data.span()) {}

    [[nodiscard]] std::size_t offset() const noexcept { return pos_; }
    [[nodiscard]] std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
    [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
    [[nodiscard]] bool empty() const noexcept { return remaining() == 0; }
    [[nodiscard]] bool canRead(std::size_t n) const noexcept { return n <= remaining(); }
    /// All bytes, from the start of the reader.
    [[nodiscard]] std::span<const std::byte> bytes() const noexcept { return bytes_; }
    /// The bytes not yet read.
    [[nodiscard]] std::span<const std::byte> rest() const noexcept { return bytes_.subspan(pos_); }

    /// Moves the cursor to an absolute offset; false (and no move) past the end.
    bool seek(std::size_t offset) noexcept {
        if (offset > bytes_.size()) return false;
        pos_ = offset;
        return true;
    }
    bool skip(std::size_t n) noexcept {
        if (!canRead(n)) return false;
        pos_ += n;
        return true;
    }

    std::optional<std::uint8_t> readU8() noexcept { return read<std::uint8_t>(false); }
    std::optional<std::uint16_t> readU16be() noexcept { return read<std::uint16_t>(std::endian::native != std::endian::big); }
    std::optional<std::uint16_t> readU16le() noexcept { return read<std::uint16_t>(std::endian::native != std::endian::little); }
    std::optional<std::uint32_t> readU24be() noexcept {
        auto hi = peekU8(0), mid = peekU8(1), lo = peekU8(2);
        if (!hi || !mid || !lo) return std::nullopt;
        pos_ += 3;
        return (std::uint32_t(*hi) << 16) | (std::uint32_t(*mid) << 8) | *lo;
    }
    std::optional<std::uint32_t> readU32be() noexcept { return read<std::uint32_t>(std::endian::native != std::endian::big); }
    std::optional<std::uint32_t> readU32le() noexcept { return read<std::uint32_t>(std::endian::native != std::endian::little); }
    std::optional<std::uint64_t> readU64be() noexcept { return read<std::uint64_t>(std::endian::native != std::endian::big); }
    std::optional<std::uint64_t> readU64le() noexcept { return read<std::uint64_t>(std::endian::native != std::endian::little); }
    /// A big-endian unsigned number of `n` bytes (1 to 8), consumed; nothing for other widths.
    std::optional<std::uint64_t> readUBE(std::size_t n) noexcept {
        if (n == 0 || n > sizeof(std::uint64_t) || !canRead(n)) return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < n; ++i) value = (value << 8) | static_cast<std::uint8_t>(bytes_[pos_ + i]);
        pos_ += n;
        return value;
    }
    /// Reads in the machine's byte order, then swaps when `swapped` is set.
    template <class T>
    std::optional<T> readSwapped(bool swapped) noexcept { return read<T>(swapped); }

    /// Reads without moving the cursor, `ahead` bytes past it.
    [[nodiscard]] std::optional<std::uint8_t> peekU8(std::size_t ahead = 0) const noexcept {
        if (ahead >= remaining()) return std::nullopt;
        return static_cast<std::uint8_t>(bytes_[pos_ + ahead]);
    }
    [[nodiscard]] std::optional<std::uint16_t> peekU16be(std::size_t ahead = 0) const noexcept {
        ByteReader copy = *this;
        if (!copy.skip(ahead)) return std::nullopt;
        return copy.readU16be();
    }
    [[nodiscard]] std::optional<std::uint32_t> peekU32be(std::size_t ahead = 0) const noexcept {
        ByteReader copy = *this;
        if (!copy.skip(ahead)) return std::nullopt;
        return copy.readU32be();
    }

    /// A sub-reader over the next `n` bytes, which are consumed; nothing when fewer remain.
    std::optional<ByteReader> readSlice(std::size_t n) noexcept {
        if (!canRead(n)) return std::nullopt;
        ByteReader sub(bytes_.subspan(pos_, n));
        pos_ += n;
        return sub;
    }
    /// The next `n` bytes as a span, consumed; nothing when fewer remain.
    std::optional<std::span<const std::byte>> readBytes(std::size_t n) noexcept {
        if (!canRead(n)) return std::nullopt;
        auto s = bytes_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    /// The next `n` bytes as text (not validated), consumed.
    std::optional<std::string_view> readString(std::size_t n) noexcept {
        auto b = readBytes(n);
        if (!b) return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(b->data()), b->size());
    }

    /// The `n` bytes at an absolute offset, without moving the cursor; nothing when they are not
    /// all there.
    [[nodiscard]] std::optional<std::span<const std::byte>> bytesAt(std::size_t offset, std::size_t n) const noexcept {
        if (offset > bytes_.size() || bytes_.size() - offset < n) return std::nullopt;
        return bytes_.subspan(offset, n);
    }
    /// A reader over the `n` bytes at an absolute offset, without moving the cursor; nothing when
    /// they are not all there.
    [[nodiscard]] std::optional<ByteReader> sliceAt(std::size_t offset, std::size_t n) const noexcept {
        auto bytes = bytesAt(offset, n);
        if (!bytes) return std::nullopt;
        return ByteReader(*bytes);
    }
    /// A reader over the bytes from an absolute offset to the end (empty past the end).
    [[nodiscard]] ByteReader from(std::size_t offset) const noexcept {
        return ByteReader(offset > bytes_.size() ? std::span<const std::byte>() : bytes_.subspan(offset));
    }

    /// Loads a value at an absolute offset without moving the cursor.
    template <class T>
    [[nodiscard]] std::optional<T> load(std::size_t offset, bool swapped) const noexcept {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
        T v;
        std::memcpy(&v, bytes_.data() + offset, sizeof(T));
        return swapped ? byteswapValue(v) : v;
    }

    template <class T>
    static T byteswapValue(T v) noexcept {
        if constexpr (sizeof(T) == 1) return v;
        else if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(v)));
        else if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
        else return static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
    }

private:
    template <class T>
    std::optional<T> read(bool swap) noexcept {
        auto v = load<T>(pos_, swap);
        if (v) pos_ += sizeof(T);
        return v;
    }

    std::span<const std::byte> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace qor
