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

/// The encoding buffer: larger than any block (the largest packet plus its framing and options),
/// so that every block reaches the file in one write.
constexpr std::size_t kBlockBufferSize = 512 * 1024;

std::optional<std::string_view> optionalText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return PcapngWriter::optionText(text);
}

}  // namespace

struct PcapngFileWriter::Output {
    CaptureOutputBuffer buffer;
};

PcapngFileWriter::PcapngFileWriter(const std::filesystem::path& path, const Header& header)
    : output_(std::make_unique<Output>()), path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw APIErrorException(APIError::pcapDumpOpen, path.string() + ": " + std::strerror(errno));
    output_->buffer.streamTo([this](std::span<const std::byte> bytes) { return writeAll(bytes); }, kBlockBufferSize);
    pcapng::sectionHeaderBlock(output_->buffer, optionalText(header.sectionComment));
    pcapng::interfaceBlock(output_->buffer, header.linkType, header.snapLength, optionalText(header.interfaceName));
    try {
        flushBlock(APIError::pcapDumpOpen);
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
    if (fd_ < 0 || error_ != 0) {
        throw APIErrorException(APIError::pcapDump, path_.string() + ": " + (fd_ < 0 ? "closed" : std::strerror(error_)));
    }
    pcapng::enhancedPacketBlock(output_->buffer, 0, timestampMicros, bytes.size(), originalLength,
                                [&](CaptureOutputBuffer& o) { o.append(bytes.data(), bytes.size()); });
    flushBlock(APIError::pcapDump);
    ++packets_;
}

void PcapngFileWriter::close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw APIErrorException(APIError::pcapDump, path_.string() + ": " + std::strerror(errno));
}

void PcapngFileWriter::flushBlock(APIError code) {
    if (output_->buffer.finish()) return;
    throw APIErrorException(code, path_.string() + ": " + std::strerror(error_));
}

bool PcapngFileWriter::writeAll(std::span<const std::byte> bytes) {
    const auto blockStart = static_cast<off_t>(bytes_);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : ENOSPC;
            // Leave the file at its last whole block, so that it stays readable.
            if (done > 0 && ::ftruncate(fd_, blockStart) == 0) ::lseek(fd_, blockStart, SEEK_SET);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes_ += bytes.size();
    return true;
}

}  // namespace qor
