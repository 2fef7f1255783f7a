#include "QORModels/filters/PacketFilterEngine.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>

#include "../packets/PacketReadScope.hpp"
#include "QORModels/filters/FilterErrors.hpp"
#include "QORModels/statistics/QORSharedMemoryQueue.hpp"
#include "QORPlatform/NSPredicate.hpp"
#include "QORPlatform/Task.hpp"
#include "qor_objc_exception/QOR_ObjC_Exception.hpp"

namespace qor {
namespace {

/// Lists shorter than this are cut into pieces of one packet.
constexpr std::size_t kLargeList = 10000;
/// Packets a worker takes at a time: enough that scheduling is lost in the evaluations.
constexpr std::size_t kPacketsPerTask = 256;
/// How far ahead a worker starts loading the analysis state (and, for filters that read packet
/// bytes, the bytes) of the packets it will evaluate; the records themselves twice as far. A
/// list of an open document is spread over far more memory than the processor caches hold.
constexpr std::size_t kReadAhead = 8;

/// The failure of an evaluation that raised: the platform's reason.
FilterEvaluationError evaluationFailure(const std::optional<NSError>& error) {
    return FilterEvaluationError::evaluationFailed(error ? error->localizedFailureReason().value_or(error->localizedDescription())
                                                         : std::string("unknown error"));
}

}  // namespace

std::optional<bool> PacketFilterEngine::evaluate(const NSPredicate& predicate, QORPacket& packet) {
    if (!packet.analyse()) return std::nullopt;
    // One reference captured: the block fits the catcher's function object without allocating,
    // which streaming filters pay for every packet.
    struct Evaluation {
        const NSPredicate& predicate;
        QORPacket& packet;
        bool holds = false;
    } evaluation{predicate, packet};
    const PacketReadScope scope(packet);
    std::optional<NSError> error;
    if (!QOR_ObjC_Exception::tryExecute([&evaluation] { evaluation.holds = evaluation.predicate.evaluateWithObject(evaluation.packet); },
                                        error)) {
        throw evaluationFailure(error);
    }
    return evaluation.holds;
}

std::size_t PacketFilterEngine::batchSize(std::size_t packetCount, unsigned processors) {
    if (packetCount < kLargeList || processors < 4) return 1;
    return processors / 2;
}

PacketFilterEngine::PacketList PacketFilterEngine::apply(const NSPredicate& predicate, const PacketList& packets,
                                                         QORSharedMemoryQueue* progress) const {
    if (packets.empty()) return {};
    const std::size_t piece = batchSize(packets.size(), std::max(1u, std::thread::hardware_concurrency()));
    const auto cancelled = Task::currentCancellationFlag();
    // The pieces are evaluated in chunks of about `kPacketsPerTask` packets. Each chunk lists its
    // matches while their records are still in the processor's caches; the lists are joined in
    // list order afterwards, so the result does not depend on which worker finished first.
    const std::size_t chunkPackets = std::max<std::size_t>(1, kPacketsPerTask / piece) * piece;
    const std::size_t chunks = (packets.size() + chunkPackets - 1) / chunkPackets;
    std::vector<PacketList> chunkMatches(chunks);

    // The first failure (a platform exception, a cancellation, anything else thrown) is kept and
    // thrown on the caller's thread once the loop is over; the pieces not yet started are
    // skipped. No exception crosses oneTBB's scheduler.
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    std::exception_ptr failure;
    // Starting the loop and waiting for it order the caller's and the workers' accesses; the two
    // atomics say so again where race checkers see it (oneTBB's own hand-over happens inside its
    // library): every piece reads `failed` after the caller's store, and the caller reads
    // `piecesDone` after every piece's addition.
    std::atomic<std::size_t> piecesDone{0};
    failed.store(false, std::memory_order_release);
    auto fail = [&](std::exception_ptr error) {
        std::lock_guard guard(failureLock);
        if (!failure) failure = std::move(error);
        failed.store(true, std::memory_order_release);
    };

    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunks), [&](const tbb::blocked_range<std::size_t>& range) {
        struct Done {
            std::atomic<std::size_t>& count;
            ~Done() { count.fetch_add(1, std::memory_order_release); }
        } done{piecesDone};
        if (failed.load(std::memory_order_acquire)) return;
        if (cancelled && cancelled->load(std::memory_order_relaxed)) {
            fail(std::make_exception_ptr(CancellationError()));
            return;
        }
        const std::size_t begin = range.begin() * chunkPackets;
        const std::size_t end = std::min(packets.size(), range.end() * chunkPackets);
        try {
            std::optional<NSError> error;
            // One catcher for the whole range: the first exception ends the range and the call.
            const bool finished = QOR_ObjC_Exception::tryExecute(
                [&] {
                    bool readsBytes = false;  // whether the last evaluation read packet bytes
                    for (std::size_t i = begin; i < end; ++i) {
                        if (i + 2 * kReadAhead < end) {
                            // The record's lines, and the one before it, where a shared record's
                            // reference count usually lives (a match copies the reference).
                            const auto ahead = reinterpret_cast<std::uintptr_t>(packets[i + 2 * kReadAhead].get()) - 64;
                            for (std::size_t line = 0; line <= sizeof(QORPacket); line += 64)
                                __builtin_prefetch(reinterpret_cast<const void*>(ahead + line));
                        }
                        if (i + kReadAhead < end) packets[i + kReadAhead]->prefetch(readsBytes);
                        QORPacket& packet = *packets[i];
                        if (!packet.analyse()) continue;  // nothing to filter on
                        if (cancelled && cancelled->load(std::memory_order_relaxed)) throw FilterEvaluationError::cancelled();
                        const PacketReadScope scope(packet);
                        if (predicate.evaluateWithObject(packet)) chunkMatches[i / chunkPackets].push_back(packets[i]);
                        readsBytes = scope.fetchedBytes();
                        if (progress) progress->appendBytesRead(1.0);
                    }
                },
                error);
            if (!finished) fail(std::make_exception_ptr(evaluationFailure(error)));
        } catch (...) {
            fail(std::current_exception());
        }
    });
    (void)piecesDone.load(std::memory_order_acquire);
    if (failure) std::rethrow_exception(failure);

    std::size_t total = 0;
    for (const auto& matches : chunkMatches) total += matches.size();
    PacketList out;
    out.reserve(total);
    for (auto& matches : chunkMatches) std::move(matches.begin(), matches.end(), std::back_inserter(out));
    return out;
}

}  // namespace qor
