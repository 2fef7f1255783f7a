#pragma once
// Running a compiled display filter over a list of packets on every core.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "QORModels/packets/QORPacket.hpp"

namespace qor {

class NSPredicate;
class QORSharedMemoryQueue;

/// Evaluates a predicate over packets and gives the packets that match, in the order given.
///
/// The list is cut into consecutive pieces of `batchSize` packets; the pieces are evaluated in
/// parallel on oneTBB's workers (several pieces per worker task, so a piece of one packet does
/// not cost a task of its own), each piece in order, and the matches are put back in list order.
/// A packet is analysed on first access (its analysis decides whether it can be filtered at
/// all): a packet without analyzers (no bytes to analyse, nothing cached) is skipped, never
/// counted and never matches.
///
/// The plug-in attributes one evaluation reads of one packet share one look at its analysis
/// and its bytes, so all of them see the same analysis and bytes. Workers start loading the
/// packets a few places ahead of the one they evaluate into the processor's caches (their
/// bytes too, once the predicate has read bytes): a long list lies in far more memory than
/// those caches hold.
///
/// The engine keeps no state, so calls from several threads at once are independent. Packets
/// are read from several workers at once through their key-value access, which is safe for
/// concurrent readers.
class PacketFilterEngine {
public:
    using PacketList = std::vector<std::shared_ptr<QORPacket>>;

    PacketFilterEngine() = default;

    /// The packets of `packets` that `predicate` holds for. When `progress` is given, one is
    /// added to its `bytesRead` after every packet evaluated (matched or not).
    ///
    /// Throws `FilterEvaluationError::evaluationFailed` with the platform's reason when
    /// evaluating a packet raises a platform exception (no partial result), and
    /// `FilterEvaluationError::cancelled` when the task the caller runs in (`Task`) is cancelled
    /// while packets remain; errors that are not the platform's pass through unchanged.
    [[nodiscard]] PacketList apply(const NSPredicate& predicate, const PacketList& packets,
                                   QORSharedMemoryQueue* progress = nullptr) const;

    /// Whether `predicate` holds for one packet, analysing it first when it has not been: nothing
    /// when the packet has no analyzers (it cannot be filtered). Throws
    /// `FilterEvaluationError::evaluationFailed` when evaluating raises a platform exception.
    /// Safe from several threads at once. Streaming callers (which analyse a window of packets
    /// at a time) filter with it.
    [[nodiscard]] static std::optional<bool> evaluate(const NSPredicate& predicate, QORPacket& packet);

    /// The number of packets per piece: half the processors (when there are at least four) for
    /// lists of 10,000 packets or more, else one.
    [[nodiscard]] static std::size_t batchSize(std::size_t packetCount, unsigned processors);
};

}  // namespace qor
