#pragma once
// Writing a pcapng file packet by packet, as a live capture receives them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "QORModels/packets/APIError.hpp"

namespace qor {

/// Writes one section with one interface to a file, block by block, in the same encoding as
/// `PcapngWriter` (little-endian, microsecond timestamps).
///
/// Every block goes to the file with one `write` call as soon as it is made, with no buffering
/// in the process: when the process is killed or crashes, the file on disk is a readable pcapng
/// file holding every packet written so far (a block is either wholly there or, if the machine
/// itself stops mid-write, cut short at the end, which readers report as a truncated last
/// record). The file is created anew (an existing file is replaced) with mode 0644 before the
/// umask. Blocks are encoded into one buffer kept for the writer's life, so a packet costs one
/// `write` and no allocation. Not thread-safe; one writer per file.
class PcapngFileWriter {
public:
    /// What the section and interface blocks say.
    struct Header {
        std::uint32_t linkType = 1;
        std::uint32_t snapLength = 262144;
        /// The interface block's if_name option; none when empty.
        std::string interfaceName;
        /// The section header's comment option; none when empty (cut to 65535 bytes, and left out
        /// when it is not UTF-8, like `PcapngWriter`'s).
        std::string sectionComment;
    };

    /// Creates `path` and writes the section header and interface blocks. Throws
    /// `APIErrorException(pcapDumpOpen)` with the system's reason when the file cannot be created
    /// or written.
    PcapngFileWriter(const std::filesystem::path& path, const Header& header);
    ~PcapngFileWriter();
    PcapngFileWriter(const PcapngFileWriter&) = delete;
    PcapngFileWriter& operator=(const PcapngFileWriter&) = delete;

    /// Writes one Enhanced Packet Block on interface 0. Bytes beyond the snapshot length are
    /// written as given. Throws `APIErrorException(pcapDump)` when the write fails (a full disk);
    /// the file then ends at the last whole block.
    void writePacket(std::uint64_t timestampMicros, std::span<const std::byte> bytes, std::uint32_t originalLength);

    [[nodiscard]] std::uint64_t packetsWritten() const { return packets_; }
    [[nodiscard]] std::uint64_t bytesWritten() const { return bytes_; }

    /// Closes the file; further writes throw. Throws `APIErrorException(pcapDump)` when closing
    /// reports an error. The destructor closes without throwing.
    void close();

private:
    struct Output;
    /// Hands the block just encoded to the file; throws `code` when the write fails.
    void flushBlock(APIError code);
    bool writeAll(std::span<const std::byte> bytes);
    std::unique_ptr<Output> output_;
    int error_ = 0;  // errno of the failed write
    int fd_ = -1;
    std::filesystem::path path_;
    std::uint64_t packets_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace qor
