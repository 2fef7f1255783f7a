#pragma once
// Keeping every packet of a whole-file read.

#include <algorithm>
#include <memory>
#include <vector>

#include "QORModels/packets/CaptureContainerFormat.hpp"
#include "QORModels/packets/PacketArena.hpp"
#include "QORModels/packets/QORPacket.hpp"

namespace qor {

/// The packets of a read that keeps them all: their records are carved from one arena (a
/// million packets cost a handful of system calls), and the list has room reserved once for as
/// many packets as the file could hold, so no growth copies happen while reading (reserved
/// memory never touched costs nothing). A file too small to hold `kArenaFrom` packets gets no
/// arena: its few records come from the heap, which costs less than mapping a chunk.
class PacketCollection {
public:
    /// Room for `upperBound` packets (capped, so that a huge file cannot ask for more than it
    /// will use; more still fit, with growth).
    explicit PacketCollection(std::size_t upperBound) : arena_(upperBound >= kArenaFrom ? PacketArena::create() : nullptr) {
        packets_.reserve(std::min(upperBound, kMaxReserved));
    }
    ~PacketCollection() {
        if (arena_) arena_->close();
    }
    PacketCollection(const PacketCollection&) = delete;
    PacketCollection& operator=(const PacketCollection&) = delete;

    /// The most packets a file of `bytes` bytes in `format` can hold: a classic record takes at
    /// least 16 bytes after the 24-byte header, an Enhanced Packet Block at least 32.
    static std::size_t upperBound(CaptureContainerFormat format, std::size_t bytes) {
        return format == CaptureContainerFormat::pcap ? (bytes > 24 ? (bytes - 24) / 16 : 0) : bytes / 32;
    }

    /// The arena to carve records from; null for a small file (records come from the heap).
    [[nodiscard]] PacketArena* arena() const noexcept { return arena_; }
    void add(std::shared_ptr<QORPacket> packet) { packets_.push_back(std::move(packet)); }
    [[nodiscard]] std::size_t size() const noexcept { return packets_.size(); }
    /// The number of packets room was reserved for.
    [[nodiscard]] std::size_t reserved() const noexcept { return packets_.capacity(); }
    std::vector<std::shared_ptr<QORPacket>> take() { return std::move(packets_); }

    /// A whole-file read built on a sink read: `read(sink, arena)` runs the reader of `format`
    /// over `data`; every packet it hands out is kept, and the result comes back with them in
    /// its `packets`.
    template <class Read>
    static auto keepAll(CaptureContainerFormat format, std::size_t dataSize, Read&& read) {
        PacketCollection packets(upperBound(format, dataSize));
        auto result = read(
            [&](std::shared_ptr<QORPacket> p) {
                packets.add(std::move(p));
                return true;
            },
            packets.arena());
        result.packets = packets.take();
        return result;
    }

private:
    static constexpr std::size_t kMaxReserved = std::size_t{1} << 26;
    static constexpr std::size_t kArenaFrom = 4096;
    PacketArena* arena_;
    std::vector<std::shared_ptr<QORPacket>> packets_;
};

}  // namespace qor
