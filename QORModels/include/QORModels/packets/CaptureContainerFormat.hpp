#pragma once
// The two capture-file containers.

#include <filesystem>
#include <string_view>

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

}  // namespace qor
