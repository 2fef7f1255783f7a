#pragma once
// Raw session events kept packed between classification and grouping.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "QORModels/sessions/SubscriberSession.hpp"

namespace qor {

/// A packed event read where it lies: its numbers copied out and its texts seen in the store,
/// so reading one allocates nothing. The members are those of `RawSessionEvent`; the texts
/// that an event may lack are read on demand, and the detail rows are made only when asked for.
/// Valid while its store lives.
class PackedSessionEvent {
public:
    std::size_t index = 0;  ///< the event's place in its store
    std::int64_t packetId = 0;
    double timestamp = 0;
    std::int64_t byteCount = 0;
    std::uint16_t sessionID = 0;
    SessionDirection direction = SessionDirection::clientToAC;
    SessionPhase phase = SessionPhase::data;
    SessionTransport transport = SessionTransport::pppoe;
    std::optional<AuthResult> authResult;
    std::optional<AcctStatus> acctStatus;
    std::optional<std::uint16_t> mru;
    std::optional<std::uint8_t> radiusCode, radiusIdentifier;
    std::optional<std::uint16_t> l2tpTunnelID, l2tpSessionID, l2tpMsgType, l2tpMsgCode, l2tpAssignedSessionID,
        l2tpAssignedTunnelID;
    std::string_view label, srcMAC, dstMAC, protocolName;

    [[nodiscard]] std::optional<std::string_view> annotation() const;
    [[nodiscard]] std::optional<std::string_view> username() const;
    [[nodiscard]] std::optional<std::string_view> assignedIP() const;
    [[nodiscard]] std::optional<std::string_view> acName() const;
    [[nodiscard]] std::optional<std::string_view> serviceName() const;
    [[nodiscard]] std::optional<std::string_view> ipPair() const;
    [[nodiscard]] std::optional<std::string_view> hostName() const;
    [[nodiscard]] std::optional<std::string_view> radiusUserName() const;
    [[nodiscard]] std::optional<std::string_view> aaaPeer() const;
    [[nodiscard]] std::optional<std::string_view> nasIP() const;
    [[nodiscard]] std::optional<std::string_view> acctSessionID() const;
    [[nodiscard]] std::vector<SessionDetailRow> detail() const;
    /// The event as classification gave it, texts copied.
    [[nodiscard]] RawSessionEvent unpacked() const;

private:
    friend class SessionEventStore;
    /// The optional text with presence bit `bit`, found by stepping over the present ones
    /// packed before it.
    [[nodiscard]] std::optional<std::string_view> optionalText(std::uint32_t bit) const;

    std::uint32_t present_ = 0;
    const std::byte* optionalTexts_ = nullptr;
};

/// Raw session events packed one after another into large blocks, each event's texts written
/// next to its numbers.
///
/// A `RawSessionEvent` takes about 700 bytes, most of them empty optional texts, plus its texts
/// on the heap; a trace of a million signalling packets would keep a gigabyte of them between
/// classification and grouping, written into fresh pages. Packed, a typical event takes its
/// texts' bytes and about 60 more (150 to 200 bytes in all), written into a few blocks, and the
/// classified event can be reused at once. Grouping reads the events of one group at a time in
/// place (`PackedSessionEvent`), on the core that assembles it, and copies out only the texts
/// that the sessions keep.
///
/// The packing is this process's own (native byte order and layout): it is never written out
/// or read from anywhere else. Not thread-safe for `append`; `event`, `unpack` and `timestamp` may
/// run on any number of threads once the appending is done.
class SessionEventStore {
public:
    SessionEventStore() = default;
    SessionEventStore(const SessionEventStore&) = delete;
    SessionEventStore& operator=(const SessionEventStore&) = delete;
    SessionEventStore(SessionEventStore&&) noexcept = default;
    SessionEventStore& operator=(SessionEventStore&&) noexcept = default;

    /// Where the events of one run (a group that is read together) are packed: one after
    /// another, in chunks of the run's own that grow as it does. A group's events then lie
    /// together whichever packets came between them, and reading a group walks a few chunks
    /// instead of pages all over the store. A run only belongs to the store it was used with.
    class Run {
    private:
        friend class SessionEventStore;
        std::byte* free_ = nullptr;
        std::size_t left_ = 0;
        std::size_t nextChunk_ = 0;
    };

    /// Packs a copy of `event` at the end of `run` and gives its index: 0, 1, ... in the order
    /// of the calls, whatever the run.
    std::size_t append(const RawSessionEvent& event, Run& run);
    /// The same, in the store's own run.
    std::size_t append(const RawSessionEvent& event) { return append(event, ownRun_); }
    [[nodiscard]] std::size_t size() const { return events_.size(); }
    /// The event at `index`, read in place.
    [[nodiscard]] PackedSessionEvent event(std::size_t index) const;
    /// The event at `index` as it was appended.
    [[nodiscard]] RawSessionEvent unpack(std::size_t index) const { return event(index).unpacked(); }
    /// Asks the processor to start loading the event at `index`, which is about to be read. A
    /// group's events lie scattered among the others', and reading them one after another
    /// would wait on memory for each.
    void prefetch(std::size_t index) const;
    /// The event's timestamp alone, without unpacking it.
    [[nodiscard]] double timestamp(std::size_t index) const;
    /// The bytes the packed events take, in the blocks they fill.
    [[nodiscard]] std::size_t packedBytes() const { return packedBytes_; }

private:
    /// Room for `bytes` more bytes at the end of `run`, in its chunk or a new one.
    std::byte* reserve(std::size_t bytes, Run& run);

    std::vector<std::unique_ptr<std::byte[]>> blocks_;  ///< the runs' chunks are cut from these
    std::vector<const std::byte*> events_;
    std::byte* free_ = nullptr;  ///< the rest of the last block
    std::size_t left_ = 0;
    std::size_t packedBytes_ = 0;
    Run ownRun_;
};

}  // namespace qor
