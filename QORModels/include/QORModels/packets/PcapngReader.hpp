#pragma once
// Reading the pcapng format.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QORCommonTools/ByteReader.hpp"
#include "QORModels/packets/CaptureRecord.hpp"
#include "QORModels/packets/PacketSink.hpp"
#include "QORModels/packets/QORPacket.hpp"
#include "QORModels/packets/RecordAccess.hpp"
#include "QORPlatform/Data.hpp"

namespace qor {

class PacketArena;

/// One interface of a pcapng file, for display.
struct PcapngInterfaceInfo {
    std::uint32_t linkType = 0;
    std::optional<std::string> name;
    std::optional<std::string> descriptionText;
    std::optional<std::string> operatingSystem;
    std::optional<std::uint64_t> speed;
    /// True when a name, description or operating system is non-empty, or a speed is present.
    [[nodiscard]] bool hasDisplayableDetail() const;
    friend bool operator==(const PcapngInterfaceInfo&, const PcapngInterfaceInfo&) = default;
};

/// What a pcapng file says about itself.
struct PcapngMetadata {
    std::optional<std::string> hardware;
    std::optional<std::string> operatingSystem;
    std::optional<std::string> application;
    std::optional<std::string> sectionComment;
    std::vector<PcapngInterfaceInfo> interfaces;  ///< in file order, across all sections
    std::int64_t tlsSecretCount = 0;
    [[nodiscard]] bool isEmpty() const;
    friend bool operator==(const PcapngMetadata&, const PcapngMetadata&) = default;
};

struct PcapngReadResult {
    bool isPcapng = false;
    /// The packets, for the whole-file read only; empty when a sink received them.
    std::vector<std::shared_ptr<QORPacket>> packets;
    /// Packets handed out (to the sink, or kept in `packets`).
    std::size_t packetCount = 0;
    std::vector<std::string> secrets;  ///< text of each TLS key-log Decryption Secrets Block
    std::optional<std::string> sectionComment;
    PcapngMetadata metadata;
    /// Why the walk stopped before the end of the data (a block whose length is below 12, not a
    /// multiple of 4 or past the end), or why packet blocks were skipped; nothing for a clean file
    /// and for a read its sink stopped.
    std::optional<std::string> issue;
    static PcapngReadResult notPcapng() { return {}; }
};

/// Option areas of pcapng blocks.
struct PcapngOptions {
    struct Option {
        std::uint16_t code;
        Data value;
    };
    /// Every option of the area, up to the end-of-options option or the first one that runs past
    /// the area.
    static std::vector<Option> all(const Data& area, bool swapped);
    /// The first option with `code` as text: cut at the first zero byte, valid UTF-8, non-empty.
    static std::optional<std::string> string(const Data& area, std::uint16_t code, bool swapped);
    static std::optional<std::uint32_t> u32(const Data& area, std::uint16_t code, bool swapped);
    static std::optional<std::uint64_t> u64(const Data& area, std::uint16_t code, bool swapped);
};

/// Reads pcapng bytes into packets, interfaces, comments and TLS key-log texts. A pure function
/// of its input: it never throws, never reads past the data and allocates only for what the data
/// holds (block lengths are checked against the data before anything is read). Packets are
/// created without a data cache or file path; the capture reader sets those.
class PcapngReader {
public:
    using Progress = ReadProgress;
    /// Hands each packet to `sink` as its block is read; everything else the file says comes
    /// back in the result (with `packets` left empty). Progress is reported after every 64th
    /// Enhanced Packet Block. Packets are heap objects freed when the sink lets them go, or,
    /// when `arena` is given, carved from it (for callers that keep every packet of the file).
    /// `access` is how the blocks of a mapped file are walked.
    static PcapngReadResult read(const Data& data, const PacketSink& sink, const Progress& progress = {},
                                 PacketArena* arena = nullptr, RecordAccess access = RecordAccess::windowed);
    /// The same walk handing each packet block's record to `sink` as it is, with no packet made
    /// for it.
    static PcapngReadResult readRecords(const Data& data, const RecordSink& sink, const Progress& progress = {},
                                        RecordAccess access = RecordAccess::windowed);
    /// The whole file: every packet in `packets`, in file order.
    static PcapngReadResult read(const Data& data, const Progress& progress = {});
};

}  // namespace qor
