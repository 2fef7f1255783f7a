#pragma once
// Raw session events kept packed between classification and grouping.

#include <cstddef>
#include <memory>
#include <vector>

#include "QORModels/sessions/SubscriberSession.hpp"

namespace qor {

/// Raw session events packed one after another into large blocks, each event's texts written
/// next to its numbers.
///
/// A `RawSessionEvent` takes about 700 bytes, most of them empty optional texts, plus its texts
/// on the heap; a trace of a million signalling packets would keep a gigabyte of them between
/// classification and grouping, written into fresh pages. Packed, a typical event takes its
/// texts' bytes and about 60 more (150 to 200 bytes in all), written into a few blocks, and the
/// classified event can be reused at once. Grouping unpacks the events of one group at a time,
/// on the core that assembles it.
///
/// The packing is this process's own (native byte order and layout): it is never written out
/// or read from anywhere else. Not thread-safe for `append`; `unpack` and `timestamp` may run on
/// any number of threads once the appending is done.
class SessionEventStore {
public:
    SessionEventStore() = default;
    SessionEventStore(const SessionEventStore&) = delete;
    SessionEventStore& operator=(const SessionEventStore&) = delete;
    SessionEventStore(SessionEventStore&&) noexcept = default;
    SessionEventStore& operator=(SessionEventStore&&) noexcept = default;

    /// Packs a copy of `event` and gives its index: 0, 1, ... in the order of the calls.
    std::size_t append(const RawSessionEvent& event);
    [[nodiscard]] std::size_t size() const { return events_.size(); }
    /// The event at `index`, unpacked into `into` (whose previous contents are replaced; its
    /// texts' capacity is reused).
    void unpack(std::size_t index, RawSessionEvent& into) const;
    [[nodiscard]] RawSessionEvent unpack(std::size_t index) const;
    /// The event's timestamp alone, without unpacking it.
    [[nodiscard]] double timestamp(std::size_t index) const;
    /// The bytes the packed events take, in the blocks they fill.
    [[nodiscard]] std::size_t packedBytes() const { return packedBytes_; }

private:
    /// Room for `bytes` more bytes in the current block, or a new block.
    std::byte* reserve(std::size_t bytes);

    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::vector<const std::byte*> events_;
    std::byte* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t packedBytes_ = 0;
};

}  // namespace qor
