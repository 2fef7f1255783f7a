#pragma once
// Facts about files.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "QORPlatform/Data.hpp"

namespace qor {

/// The file's size in bytes; 0 when it cannot be read.
std::int64_t fileSize(const std::filesystem::path& path);
/// The file system's file number (inode); nothing when the file cannot be read.
std::optional<std::uint64_t> systemFileNumber(const std::filesystem::path& path);

/// The whole file as bytes, memory-mapped read-only (copies nothing; slices share the mapping).
/// Nothing when the file cannot be opened or mapped; `error` then says why.
std::optional<Data> mapFile(const std::filesystem::path& path, std::string* error = nullptr);

}  // namespace qor
