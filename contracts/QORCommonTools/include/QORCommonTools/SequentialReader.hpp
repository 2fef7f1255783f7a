#pragma once
// Walking a large buffer front to back without touching more of it than the walk reads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "QORPlatform/Data.hpp"

namespace qor {

/// Hands out runs of a buffer's bytes, for parsers that walk a capture's record or block
/// headers and for writers that copy a capture's packets in file order.
///
/// For a buffer made by `mapFile` the runs are read with pread into a reused window, so walking
/// a large capture never faults the mapping's pages in (on virtual machines each first touch of
/// a page costs far more than copying its bytes); packet bytes that are not walked stay slices
/// of the mapping and are faulted in only when someone reads them. For any other buffer the
/// runs are plain views of it.
///
/// Runs are served from the mapping itself instead when the window cannot help: a run longer
/// than the window and runs asked for out of order. A run the file no longer holds (it shrank
/// after it was mapped) is served by neither: it is nothing. A window is refilled only when the one before it served at least
/// `kSequentialRuns` runs (or a probe is due), so a walk in random order costs about one window
/// read per few thousand runs rather than one per run.
///
/// A reader without a window (`windowSize` 0) walking a mapped file streams the file's lines into
/// the processor's caches `kReadAhead` bytes ahead of the runs it hands out: a walk of record
/// headers otherwise waits on memory at nearly every header, since the hardware's own prefetching
/// stops at each page boundary. The packet bytes between the headers come along, ready for the
/// workers that analyse them next.
///
/// A run stays valid until the next call. Not thread-safe: one walker per reader.
class SequentialReader {
public:
    /// The window holds `windowSize` bytes; with none, every run of a mapped file comes straight
    /// from the mapping (still only while the file holds it).
    explicit SequentialReader(Data data, std::size_t windowSize = kDefaultWindowSize);

    [[nodiscard]] std::size_t size() const noexcept { return data_.size(); }
    [[nodiscard]] const Data& data() const noexcept { return data_; }
    /// Whether runs go through the window at all (the buffer is a mapped file, and a window was
    /// asked for).
    [[nodiscard]] bool isWindowed() const noexcept { return fd_ >= 0 && capacity_ > 0; }

    /// Bytes `offset ..< offset+length`, or nothing when they run past the end, or past the end
    /// of a mapped file that has shrunk since it was mapped (those bytes are gone).
    [[nodiscard]] std::optional<std::span<const std::byte>> view(std::size_t offset, std::size_t length);
    /// The same run as a buffer (bounds-checked readers and option walkers take one). Holding it
    /// past the next call is safe: the window is then replaced rather than overwritten.
    [[nodiscard]] std::optional<Data> bytes(std::size_t offset, std::size_t length);

    /// A quarter of a megabyte: `qor info` over a million-packet capture took the same time with a
    /// window of 1 MiB and held 0.9 MB more at its peak.
    static constexpr std::size_t kDefaultWindowSize = std::size_t{1} << 18;
    /// Runs a window must serve before the next miss refills it.
    static constexpr std::size_t kSequentialRuns = 4;
    /// Misses served from the mapping after which one refill is tried again.
    static constexpr std::size_t kProbeInterval = 4096;
    /// How far ahead of its runs a reader without a window prefetches a mapped file.
    static constexpr std::size_t kReadAhead = 4096;

private:
    bool fill(std::size_t offset);
    /// Starts loading the lines from the prefetch frontier (or `offset`, when the walk jumped
    /// past it) up to `kReadAhead` bytes beyond `offset` into the caches.
    void readAhead(std::size_t offset) noexcept;
    [[nodiscard]] bool inWindow(std::size_t offset, std::size_t length) const noexcept;

    Data data_;
    int fd_ = -1;
    std::uint64_t fileOffset_ = 0;
    std::size_t capacity_;
    std::shared_ptr<std::vector<std::byte>> window_;
    std::size_t windowStart_ = 0;
    std::size_t windowLength_ = 0;
    std::size_t runsServed_ = 0;
    std::size_t missesSinceFill_ = 0;
    std::size_t prefetched_ = 0;  ///< the mapping's lines before this offset were prefetched
};

}  // namespace qor
