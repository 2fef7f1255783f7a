#pragma once
// The two capture-file containers, and telling them apart.

#include <filesystem>
#include <optional>
#include <string_view>

#include "QORPlatform/Data.hpp"

namespace qor {

enum class CaptureContainerFormat { pcap, pcapng };

/// "pcap" or "pcapng".
std::string_view fileExtension(CaptureContainerFormat format);
/// From a file extension (with or without the dot, any case): "pcapng" and "ntar" give pcapng,
/// anything else (the empty extension too) gives pcap. Never fails.
CaptureContainerFormat captureContainerFormatFromExtension(std::string_view extension);
CaptureContainerFormat captureContainerFormatFromURL(const std::filesystem::path& url);
/// From a uniform content type given by its preferred file-name extension (empty when none).
CaptureContainerFormat captureContainerFormatFromContentType(std::string_view preferredExtension);

/// The container a capture's bytes are in, by their first 32 bits: pcapng for a Section Header
/// Block type (0x0A0D0D0A, which reads the same in both byte orders), pcap for one of the six
/// classic magic numbers; nothing for anything else, fewer than 4 bytes included. The file's
/// name plays no part.
std::optional<CaptureContainerFormat> detectCaptureContainerFormat(const Data& data);

}  // namespace qor
