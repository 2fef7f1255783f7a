#pragma once
// Facts about files.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "QORPlatform/Data.hpp"

namespace qor {

/// The file's size in bytes; 0 when it cannot be read.
std::int64_t fileSize(const std::filesystem::path& path);
/// The file system's file number (inode); nothing when the file cannot be read.
std::optional<std::uint64_t> systemFileNumber(const std::filesystem::path& path);

/// The whole file as bytes, memory-mapped read-only (copies nothing; slices share the mapping).
/// Nothing when the file cannot be opened or mapped; `error` then says why. The mapping is
/// guarded against the file shrinking (`MappedFileGuard`): bytes the file lost read as zeros
/// rather than ending the process, and `MappedFileGuard::probe` tells which bytes are still
/// the file's own.
std::optional<Data> mapFile(const std::filesystem::path& path, std::string* error = nullptr);

/// Where a buffer made by `mapFile` (or a slice of one) lies in its file: the open file and the
/// whole mapping, both valid while the buffer lives, and the file offset of the buffer's first
/// byte. Nothing for any other buffer.
struct MappedFileRegion {
    int fd = -1;
    std::uint64_t fileOffset = 0;
    std::span<const std::byte> wholeFile;
};
std::optional<MappedFileRegion> mappedFileRegion(const Data& data);

}  // namespace qor
