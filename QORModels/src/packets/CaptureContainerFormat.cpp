#include "QORModels/packets/CaptureContainerFormat.hpp"

#include <algorithm>
#include <string>

namespace qor {

std::string_view fileExtension(CaptureContainerFormat format) {
    return format == CaptureContainerFormat::pcapng ? "pcapng" : "pcap";
}

CaptureContainerFormat captureContainerFormatFromExtension(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "pcapng" || lower == "ntar" ? CaptureContainerFormat::pcapng : CaptureContainerFormat::pcap;
}

CaptureContainerFormat captureContainerFormatFromURL(const std::filesystem::path& url) {
    return captureContainerFormatFromExtension(url.extension().string());
}

CaptureContainerFormat captureContainerFormatFromContentType(std::string_view preferredExtension) {
    return captureContainerFormatFromExtension(preferredExtension);
}

}  // namespace qor
