#include "QORModels/packets/CaptureContainerFormat.hpp"

#include <algorithm>
#include <string>

#include "PcapngFormat.hpp"
#include "QORCommonTools/ByteReader.hpp"
#include "QORCommonTools/PCAPFileHeader.hpp"

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

std::optional<CaptureContainerFormat> detectCaptureContainerFormat(const Data& data) {
    auto first = ByteReader(data).load<std::uint32_t>(0, std::endian::native != std::endian::little);
    if (!first) return std::nullopt;
    if (*first == pcapng::kSectionHeaderBlock) return CaptureContainerFormat::pcapng;
    if (PCAPFileHeader::classicMagic(*first)) return CaptureContainerFormat::pcap;
    return std::nullopt;
}

}  // namespace qor
