#include "QORModels/packets/PcapngFileWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PcapngBlocks.hpp"
#include "QORModels/packets/APIError.hpp"
#include "QORModels/packets/PcapngWriter.hpp"

namespace qor {

namespace {

std::optional<std::string_view> optionalText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return PcapngWriter::optionText(text);
}

}  // namespace

PcapngFileWriter::PcapngFileWriter(const std::filesystem::path& path, const Header& header) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw APIErrorException(APIError::pcapDumpOpen, path.string() + ": " + std::strerror(errno));
    CaptureOutputBuffer out;
    pcapng::sectionHeaderBlock(out, optionalText(header.sectionComment));
    pcapng::interfaceBlock(out, header.linkType, header.snapLength, optionalText(header.interfaceName));
    const Data bytes = out.take();
    try {
        writeAll({bytes.data(), bytes.size()}, true);
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

PcapngFileWriter::~PcapngFileWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void PcapngFileWriter::writePacket(std::uint64_t timestampMicros, std::span<const std::byte> bytes,
                                   std::uint32_t originalLength) {
    CaptureOutputBuffer out;
    out.reserve(pcapng::kBlockFraming + pcapng::kPacketBody + pcapng::padded4(bytes.size()));
    pcapng::enhancedPacketBlock(out, 0, timestampMicros, bytes.size(), originalLength,
                                [&](CaptureOutputBuffer& o) { o.append(bytes.data(), bytes.size()); });
    const Data block = out.take();
    writeAll({block.data(), block.size()}, false);
    ++packets_;
}

void PcapngFileWriter::close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw APIErrorException(APIError::pcapDump, path_.string() + ": " + std::strerror(errno));
}

void PcapngFileWriter::writeAll(std::span<const std::byte> bytes, bool opening) {
    const APIError code = opening ? APIError::pcapDumpOpen : APIError::pcapDump;
    if (fd_ < 0) throw APIErrorException(code, path_.string() + ": closed");
    const off_t blockStart = static_cast<off_t>(bytes_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Leave the file at its last whole block, so that it stays readable.
            if (done > 0 && ::ftruncate(fd_, blockStart) == 0) ::lseek(fd_, blockStart, SEEK_SET);
            throw APIErrorException(code, path_.string() + ": " + std::strerror(error));
        }
        done += static_cast<std::size_t>(n);
    }
    bytes_ += bytes.size();
}

}  // namespace qor
